"""The release pipeline's test step for one wheel, run on this machine.

cibuildwheel tests every wheel it builds the same way: a fresh virtual
environment of the interpreter under test, the wheel installed with its test
extras and then the test requirements (both under the test environment), the
`test-sources` copied into an empty folder, and the test command run there.
This script does the same with a wheel built here, taking every one of those
settings from `[tool.cibuildwheel]` of pyproject.toml as the given build
identifier resolves them (overrides included). It runs under the Python of
the cibuildwheel version that builds that identifier in the workflow, and
uses that version's own option reader and copy and command helpers.

    python mk/release_check.py --identifier cp312-manylinux_x86_64 \\
        --python python3.12 --wheel dist/tarnwick-...whl --work build/release/check
    (extra NAME=VALUE arguments are set as the workflow sets them, e.g.
    CIBW_BUILD=cp313t-* CIBW_ENABLE=cpython-freethreading)

Run from the project root (where pyproject.toml is).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path

from cibuildwheel.options import CommandLineArguments, compute_options
from cibuildwheel.util.file import copy_test_sources
from cibuildwheel.util.helpers import prepare_command

# Variables of a developer's shell that would let the tests import something
# other than the installed wheel; the pipeline's runners have none of them.
DROPPED = ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "VIRTUAL_ENV", "PIP_REQUIRE_VIRTUALENV")


def run(args: list[str], env: dict[str, str], cwd: Path | None = None) -> None:
    print("+", " ".join(args), flush=True)
    subprocess.run(args, env=env, cwd=cwd, check=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--identifier", required=True, help="cibuildwheel build identifier, e.g. cp313-manylinux_x86_64")
    parser.add_argument("--python", required=True, help="the interpreter under test")
    parser.add_argument("--wheel", required=True, type=Path)
    parser.add_argument("--work", required=True, type=Path, help="scratch folder, emptied first")
    parser.add_argument("settings", nargs="*", metavar="NAME=VALUE", help="environment the workflow sets for cibuildwheel")
    ns = parser.parse_args()

    project = Path.cwd()
    base_env = {k: v for k, v in os.environ.items() if k not in DROPPED}
    cibw_env = dict(base_env)
    for setting in ns.settings:
        name, sep, value = setting.partition("=")
        if not sep:
            parser.error(f"not NAME=VALUE: {setting}")
        cibw_env[name] = value
    options = compute_options("linux", CommandLineArguments.defaults(), cibw_env).build_options(ns.identifier)
    if not options.test_command:
        print(f"{ns.identifier}: the pipeline runs no tests for it", file=sys.stderr)
        return 1

    work = ns.work.resolve()
    shutil.rmtree(work, ignore_errors=True)
    venv, test_cwd = work / "venv", work / "test_cwd"
    run([ns.python, "-m", "venv", str(venv)], base_env)

    env = dict(base_env)
    env["PATH"] = f"{venv / 'bin'}{os.pathsep}{env.get('PATH', '')}"
    env["VIRTUAL_ENV"] = str(venv)
    env = options.test_environment.as_dictionary(prev_environment=env)
    pip = [str(venv / "bin" / "python"), "-m", "pip", "--disable-pip-version-check"]
    run([*pip, "install", "--quiet", "--upgrade", "pip"], env)
    if options.before_test:
        run(["sh", "-c", prepare_command(options.before_test, project=project, package=project)], env)
    run([*pip, "install", str(ns.wheel.resolve()) + options.test_extras], env)
    if options.test_requires:
        run([*pip, "install", *options.test_requires], env)

    test_cwd.mkdir(parents=True)
    copy_test_sources(options.test_sources, project, test_cwd)
    command = prepare_command(options.test_command, project=project, package=project, wheel=ns.wheel.resolve())
    print(f"== {ns.identifier}: in {test_cwd} (holding {', '.join(options.test_sources) or 'nothing'})", flush=True)
    run(["sh", "-c", command], env, cwd=test_cwd)
    return 0


if __name__ == "__main__":
    sys.exit(main())
