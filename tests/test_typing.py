"""The type stubs: checked by mypy --strict and basedpyright (strict), and against the module.

The type checkers run as subprocesses of the current interpreter's environment,
over the examples and tests/typing/typed_usage.py (which must be clean) and over
tests/typing/wrong_uses.py (which must produce exactly the errors its lines name).
The stubs are offered to both tools as a plain `tarnwick` stub package in a
temporary directory, so an installed copy in site-packages cannot stand in for them.
"""

import ast
import importlib.util
import inspect
import json
import os
import re
import runpy
import shutil
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

import tarnwick

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "tarnwick-stubs" / "__init__.pyi"
TYPING_DIR = ROOT / "tests" / "typing"
CLEAN_FILES = [
    ROOT / "examples" / "tour.py",
    ROOT / "examples" / "orders.py",
    TYPING_DIR / "typed_usage.py",
]
WRONG_USES = TYPING_DIR / "wrong_uses.py"

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed in this interpreter's environment"
)
needs_pyright = pytest.mark.skipif(
    importlib.util.find_spec("basedpyright") is None,
    reason="basedpyright is not installed in this interpreter's environment",
)


def tool_env() -> dict[str, str]:
    env = dict(os.environ)
    if env.get("PYTHONPATH"):  # made absolute: the tools may resolve it from another directory
        env["PYTHONPATH"] = os.pathsep.join(str(Path(p).resolve()) for p in env["PYTHONPATH"].split(os.pathsep))
    return env


@pytest.fixture(scope="module")
def stub_dir(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A directory holding the stubs as the package `tarnwick` (what mypy's MYPYPATH needs)."""
    root = tmp_path_factory.mktemp("stubs")
    (root / "tarnwick").mkdir()
    shutil.copy(STUB, root / "tarnwick" / "__init__.pyi")
    return root


def run_mypy(stub_dir: Path, files: list[Path]) -> list[tuple[Path, int, str, str]]:
    """(file, line, code, message) for every mypy error."""
    cache = stub_dir.parent / f"mypy-cache-{sys.version_info.major}.{sys.version_info.minor}"
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--no-error-summary",
         "--hide-error-context", "--cache-dir", str(cache), *map(str, files)],
        cwd=ROOT, env={**tool_env(), "MYPYPATH": str(stub_dir)}, capture_output=True, text=True, timeout=300,
    )
    errors = []
    for line in proc.stdout.splitlines():
        m = re.match(r"(.+?):(\d+): error: (.*?)\s+\[([a-z0-9-]+)\]$", line)
        if m:
            errors.append((Path(m[1]).resolve(), int(m[2]), m[4], m[3]))
        elif ": error:" in line:
            errors.append((Path(), 0, "?", line))
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    assert proc.returncode == 0 or errors, proc.stdout + proc.stderr
    return errors


def run_pyright(stub_dir: Path, files: list[Path]) -> list[tuple[Path, int, str, str]]:
    """(file, line, rule, message) for every basedpyright error or warning."""
    config = stub_dir.parent / "pyrightconfig.json"
    config.write_text(json.dumps({
        "typeCheckingMode": "strict",
        "stubPath": str(stub_dir),
        "pythonVersion": f"{sys.version_info.major}.{sys.version_info.minor}",
        # The types come from the stubs; where the compiled module lives is not in question here.
        "reportMissingModuleSource": "none",
    }))
    proc = subprocess.run(
        [sys.executable, "-m", "basedpyright", "--outputjson", "--pythonpath", sys.executable,
         "--project", str(config), *map(str, files)],
        cwd=ROOT, env=tool_env(), capture_output=True, text=True, timeout=300,
    )
    try:
        report = json.loads(proc.stdout)
    except json.JSONDecodeError:
        pytest.fail(f"basedpyright did not run (exit {proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    assert report["summary"]["filesAnalyzed"] >= len(files), report["summary"]
    return [
        (Path(d["file"]).resolve(), d["range"]["start"]["line"] + 1, d.get("rule", "?"), d["message"])
        for d in report["generalDiagnostics"]
        if d["severity"] in ("error", "warning")
    ]


def format_errors(errors: list[tuple[Path, int, str, str]]) -> str:
    return "\n".join(f"{f.name}:{line}: [{code}] {message}" for f, line, code, message in errors)


@needs_mypy
def test_mypy_strict_accepts_stubs_examples_and_typed_usage(stub_dir: Path) -> None:
    errors = run_mypy(stub_dir, [stub_dir / "tarnwick" / "__init__.pyi", *CLEAN_FILES])
    assert not errors, format_errors(errors)


@needs_pyright
def test_basedpyright_strict_accepts_stubs_examples_and_typed_usage(stub_dir: Path) -> None:
    errors = run_pyright(stub_dir, [stub_dir / "tarnwick" / "__init__.pyi", *CLEAN_FILES])
    assert not errors, format_errors(errors)


def expected_errors(tool: str) -> set[tuple[int, str]]:
    """(line, code) pairs named by `# expect: mypy[...] pyright[...]` comments."""
    expected = set()
    for number, line in enumerate(WRONG_USES.read_text(encoding="utf-8").splitlines(), 1):
        if "  # expect:" not in line:
            continue
        m = re.search(rf"\b{tool}\[([^\]]*)\]", line.split("  # expect:", 1)[1])
        assert m, f"wrong_uses.py:{number} names no {tool} errors"
        expected |= {(number, code.strip()) for code in m[1].split(",") if code.strip()}
    return expected


def check_wrong_uses(tool: str, errors: list[tuple[Path, int, str, str]]) -> None:
    assert all(f == WRONG_USES for f, *_ in errors), format_errors(errors)
    found = {(line, code) for _, line, code, _ in errors}
    expected = expected_errors(tool)
    assert len({line for line, _ in expected}) >= 35, "wrong_uses.py lost its marked lines"
    missing = sorted(expected - found)
    unexpected = sorted(found - expected)
    assert not missing and not unexpected, (
        f"{tool}: expected but not reported: {missing}\n"
        f"reported but not expected:\n{format_errors([e for e in errors if (e[1], e[2]) in unexpected])}"
    )


@needs_mypy
def test_mypy_rejects_each_wrong_use(stub_dir: Path) -> None:
    check_wrong_uses("mypy", run_mypy(stub_dir, [WRONG_USES]))


@needs_pyright
def test_basedpyright_rejects_each_wrong_use(stub_dir: Path) -> None:
    check_wrong_uses("pyright", run_pyright(stub_dir, [WRONG_USES]))


def test_typed_usage_holds_at_run_time() -> None:
    """The typed file's assertions describe the real module's behaviour."""
    runpy.run_path(str(TYPING_DIR / "typed_usage.py"), run_name="__main__")


# ---------------------------------------------------------------------------
# The stubs against the module: same classes, same methods, same parameter names.

# Interpreter-made reflected wrappers of the | and >> slots (they always decline) and
# the subscription hook (Generic provides it to type checkers) are not in the stubs.
NOT_IN_STUBS = {"__doc__", "__module__", "__class_getitem__", "__ror__", "__rrshift__", "__new__"}


def stub_classes() -> dict[str, dict[str, list[ast.FunctionDef]]]:
    """Class name -> method name -> its definitions (several for an overload)."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    classes: dict[str, dict[str, list[ast.FunctionDef]]] = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            methods: dict[str, list[ast.FunctionDef]] = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    methods.setdefault(item.name, []).append(item)
            classes[node.name] = methods
    return classes


STUBS = stub_classes()


def runtime_methods(cls: type) -> Iterator[str]:
    return (name for name in sorted(vars(cls)) if name not in NOT_IN_STUBS)


def is_static(definition: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in definition.decorator_list)


def stub_parameters(definition: ast.FunctionDef) -> list[tuple[str, inspect._ParameterKind, bool]]:
    """(name, kind, has default) of each parameter, without self or cls."""
    a = definition.args
    positional = [*a.posonlyargs, *a.args]
    first_default = len(positional) - len(a.defaults)
    params = [
        (arg.arg, inspect.Parameter.POSITIONAL_ONLY if i < len(a.posonlyargs) else inspect.Parameter.POSITIONAL_OR_KEYWORD,
         i >= first_default)
        for i, arg in enumerate(positional)
    ]
    params += [(arg.arg, inspect.Parameter.KEYWORD_ONLY, default is not None)
               for arg, default in zip(a.kwonlyargs, a.kw_defaults)]
    return params if is_static(definition) else params[1:]


def runtime_parameters(func: object) -> list[tuple[str, inspect._ParameterKind, bool]]:
    params = list(inspect.signature(func).parameters.values())
    if params and params[0].name == "self":
        params = params[1:]
    return [(p.name, p.kind, p.default is not inspect.Parameter.empty) for p in params]


CASES = [(cls, name) for cls in (tarnwick.Result, tarnwick.MayBe) for name in runtime_methods(cls)] + [
    (tarnwick.MayBe, "__new__"),
]


def test_stubs_and_module_have_the_same_methods() -> None:
    for cls in (tarnwick.Result, tarnwick.MayBe):
        at_run_time = {name for c, name in CASES if c is cls}
        assert set(STUBS[cls.__name__]) == at_run_time, cls.__name__
    assert {"map", "flat_map", "match", "__rshift__", "__or__", "__iter__"} <= set(STUBS["MayBe"])


@pytest.mark.parametrize(("cls", "name"), CASES, ids=[f"{c.__name__}.{n}" for c, n in CASES])
def test_signature_matches_stub(cls: type, name: str) -> None:
    definitions = STUBS[cls.__name__].get(name)
    assert definitions, f"{cls.__name__}.{name} is not in the stubs"
    runtime = runtime_parameters(cls if name == "__new__" else getattr(cls, name))
    overloaded = len(definitions) > 1
    for definition in definitions:
        declared = stub_parameters(definition)
        if overloaded:
            # Overloads may narrow defaults or make a parameter keyword-only, but must
            # keep the runtime's names in the runtime's order.
            assert [n for n, _, _ in declared] == [n for n, _, _ in runtime], ast.unparse(definition.args)
        else:
            assert declared == runtime
    if overloaded:
        # Together the overloads still allow every runtime default to be left out.
        optional = {n for n, _, has_default in runtime if has_default}
        for n in optional:
            assert any(dict((p, d) for p, _, d in stub_parameters(df)).get(n) for df in definitions), n


def test_static_methods_are_static_in_stubs() -> None:
    for cls in (tarnwick.Result, tarnwick.MayBe):
        for name, definitions in STUBS[cls.__name__].items():
            if name == "__new__":
                continue
            runtime_static = isinstance(inspect.getattr_static(cls, name), staticmethod)
            assert all(is_static(d) == runtime_static for d in definitions), f"{cls.__name__}.{name}"
