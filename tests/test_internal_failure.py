"""The internal-failure exception: how it is raised and how it crosses calls.

It can only be provoked from outside by exhausting memory at the one point
where module execution treats a failure as internal (appending to __all__),
so these tests arm the allocator fault hooks of _testcapi in a subprocess.
"""
import subprocess
import sys
import textwrap

import pytest

_testcapi = pytest.importorskip("_testcapi", exc_type=ImportError)  # isolated interpreters refuse it

PROVOKE = textwrap.dedent(
    """
    import importlib.util, sys, _testcapi
    import tarnwick

    def provoke():
        # A preset, already large list: appending reallocates it, and that
        # reallocation is the only allocation of the step that can fail.
        for k in range(0, 40):
            spec = importlib.util.find_spec("tarnwick")
            module = importlib.util.module_from_spec(spec)
            module.__all__ = [None] * 4
            _testcapi.set_nomemory(k, k + 1)
            try:
                spec.loader.exec_module(module)
            except BaseException as exc:
                _testcapi.remove_mem_hooks()
                if type(exc).__name__ == "InternalError":
                    return exc
            else:
                _testcapi.remove_mem_hooks()
        raise SystemExit("no internal failure provoked")
    """
)


def run(body: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", PROVOKE + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_failed_append_to_all_is_an_internal_failure() -> None:
    proc = run(
        """
        exc = provoke()
        t = type(exc)
        assert str(exc) == "could not append __name__ to __all__", str(exc)
        assert exc.args == ("could not append __name__ to __all__",)
        assert issubclass(t, BaseException) and not issubclass(t, Exception)
        assert t.__module__ == "tarnwick" and t.__qualname__ == "InternalError"
        assert t.__doc__
        assert not hasattr(tarnwick, "InternalError")
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_internal_failure_from_a_callable_is_reported_and_rethrown() -> None:
    proc = run(
        """
        t = type(provoke())
        original = t("boom inside")
        def callback(v):
            raise original
        try:
            tarnwick.Result.ok(1).map(callback)
        except BaseException as exc:
            assert type(exc) is t, type(exc)
            assert exc is not original
            assert str(exc) == "boom inside"
            print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"
    # A two-line banner, then the original exception with its traceback.
    lines = proc.stderr.splitlines()
    assert lines[0].startswith("tarnwick:") and lines[1].startswith("tarnwick:")
    assert "boom inside" in proc.stderr and "Traceback" in proc.stderr
