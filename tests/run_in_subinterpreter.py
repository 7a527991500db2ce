"""Runs pytest inside a sub-interpreter of a fresh process.

    python tests/run_in_subinterpreter.py isolated|legacy [pytest args...]

isolated: an interpreter with its own GIL and the strict checks for
extension modules (from concurrent.interpreters on 3.14 and later); legacy: one that
shares the main interpreter's GIL, as mod_wsgi and plugin hosts make them.
The exit status is pytest's, or 3 when the interpreter raised.
"""
from __future__ import annotations

import json
import os
import sys

try:  # 3.13
    import _interpreters as _low
except ImportError:  # 3.12
    import _xxsubinterpreters as _low  # type: ignore[no-redef]


def run_public(code: str) -> str | None:
    """3.14 and later: an isolated interpreter from the standard concurrent.interpreters."""
    from concurrent import interpreters

    interp = interpreters.create()
    try:
        interp.exec(code)
    except interpreters.ExecutionFailed as failure:
        return str(failure)
    finally:
        interp.close()
    return None


def create(kind: str):
    if hasattr(_low, "new_config"):
        return _low.create(_low.new_config(kind))
    return _low.create(isolated=(kind == "isolated"))


def main() -> int:
    kind, args = sys.argv[1], sys.argv[2:]
    read_fd, write_fd = os.pipe()
    code = f"""
import os, sys
sys.path[:] = {sys.path!r}
sys.argv = ["pytest"]
os.environ["TARNWICK_SUBINTERPRETER"] = {kind!r}
import pytest
status = pytest.main({args!r})
os.write({write_fd}, str(int(status)).encode())
"""
    # CPython 3.12 aborts while destroying an isolated interpreter that has
    # loaded pytest (free() of an invalid pointer, with or without tarnwick):
    # there the interpreter is left for the process exit, which skips it.
    keep = kind == "isolated" and sys.version_info < (3, 13)
    if kind == "isolated" and sys.version_info >= (3, 14):
        try:
            failure = run_public(code)
        finally:
            os.close(write_fd)
    else:
        interp = create(kind)
        try:
            run_string = getattr(_low, "exec", None) or _low.run_string
            failure = run_string(interp, code)
        finally:
            os.close(write_fd)
            if not keep:
                _low.destroy(interp)
    with os.fdopen(read_fd) as pipe:
        status = pipe.read()
    if failure is not None:
        print(f"the sub-interpreter raised: {failure}", file=sys.stderr)
    result = int(status) if status else 3
    if keep:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(result)
    return result


if __name__ == "__main__":
    sys.exit(main())
