"""tarnwick in every interpreter of a process: sub-interpreters (isolated,
with their own GIL, and legacy ones sharing the main GIL), interpreters
running in parallel threads, many created and destroyed, and a thread that
switches interpreters in the middle of a deep release.

Each scenario runs in a fresh process.
"""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

try:
    import _interpreters as low  # 3.13 and later
except ImportError:
    try:
        import _xxsubinterpreters as low  # type: ignore[no-redef]  # 3.12
    except ImportError:
        low = None

TESTS = Path(__file__).parent
INSIDE = os.environ.get("TARNWICK_SUBINTERPRETER")
needs_interpreters = pytest.mark.skipif(low is None or INSIDE is not None,
                                        reason="needs sub-interpreters, from the main interpreter")

# The behaviour tests, which the runner runs inside a sub-interpreter.
BEHAVIOUR = ["test_result.py", "test_maybe.py", "test_result_dict.py", "test_shared.py", "test_binding.py",
             "test_reuse.py", "test_module.py", "test_internal_failure.py"]

# Creates an interpreter of either kind with whichever module this CPython has.
PRELUDE = """
import os, sys, threading
try:
    import _interpreters as low
except ImportError:
    import _xxsubinterpreters as low
# CPython itself can fail to create interpreters concurrently ("Failed to
# import encodings module", python/cpython#109700): creation is serialised,
# everything after it runs in parallel.
creating = threading.Lock()
def create(kind="isolated"):
    with creating:
        if hasattr(low, "new_config"):
            return low.create(low.new_config(kind))
        return low.create(isolated=(kind == "isolated"))
def run(interp, code):
    failure = (getattr(low, "exec", None) or low.run_string)(interp, code)
    assert failure is None, failure
"""


def run_python(code: str, timeout: float = 300) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


def assert_clean(proc: subprocess.CompletedProcess[str]) -> None:
    assert proc.returncode == 0, (proc.returncode, proc.stdout[-2000:], proc.stderr[-3000:])
    assert proc.stdout.strip().splitlines()[-1:] == ["ok"], proc.stdout[-2000:]


@needs_interpreters
@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_behaviour_tests_pass_inside_a_subinterpreter(kind: str) -> None:
    args = [sys.executable, str(TESTS / "run_in_subinterpreter.py"), kind, "-q", "-p", "no:cacheprovider",
            "-p", "no:faulthandler", "-p", "no:hypothesispytest", *(str(TESTS / f) for f in BEHAVIOUR)]
    proc = subprocess.run(args, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, (proc.stdout[-3000:], proc.stderr[-3000:])
    assert " passed" in proc.stdout and " failed" not in proc.stdout, proc.stdout[-3000:]


# Each interpreter builds and shares its own instances, payloads, deep chains
# and callables between its threads' calls; the main interpreter does the
# same meanwhile. Results are checked inside each interpreter.
WORKLOAD = """
import tarnwick
R, M = tarnwick.Result, tarnwick.MayBe
payload = [1, 2]
shared = [R.ok(payload), R.err("bad", "E1", {"k": payload}), M.just(payload), M.nothing()]
for round in range(ROUNDS):
    assert shared[0].map(len).unwrap() == 2
    assert shared[1].map_err(lambda m, c, d: (m + "!", c, d)).unwrap_err()[0] == "bad!"
    assert (shared[2] >> (lambda v: M.just(v[0]))).unwrap() == 1
    assert shared[3].map(len).is_nothing() and (shared[3] | 5) == 5
    assert R.from_dict(shared[1].to_dict()).unwrap_err()[2]["k"] is payload
    assert repr(shared[0]) == "Ok([1, 2])" and repr(shared[3]) == "Nothing"
    assert R.ok(round).unwrap_or(default=-1) == round
    chain = R.ok(0)
    for _ in range(200):
        chain = R.ok(chain) if round % 2 else M.just(chain)
    del chain
assert sys.getrefcount(payload) == 2 + 3, sys.getrefcount(payload)
"""


@needs_interpreters
@pytest.mark.parametrize(("interpreters", "rounds"), [(1, 300), (25, 2)], ids=["long-lived", "churn"])
def test_isolated_interpreters_in_parallel_threads(interpreters: int, rounds: int) -> None:
    # Each thread runs its interpreters one after the other: one long-lived,
    # or many short-lived, whose classes come and go while the other threads'
    # interpreters look theirs up.
    proc = run_python(f"""
        import tarnwick
        WORKLOAD = {WORKLOAD!r}
        errors = []
        def worker():
            try:
                for _ in range({interpreters}):
                    interp = create("isolated")
                    run(interp, "import sys\\nROUNDS = {rounds}\\n" + WORKLOAD)
                    low.destroy(interp)
            except BaseException as exc:
                errors.append(exc)
        threads = [threading.Thread(target=worker) for _ in range(4)]
        for t in threads:
            t.start()
        ROUNDS = 300
        exec(WORKLOAD)
        for t in threads:
            t.join()
        assert not errors, errors
        print("ok")
    """)
    assert_clean(proc)


@needs_interpreters
def test_many_interpreters_created_used_and_destroyed() -> None:
    proc = run_python(f"""
        import tarnwick
        WORKLOAD = {WORKLOAD!r}
        for i in range(200):
            interp = create("isolated" if i % 2 else "legacy")
            run(interp, "import sys\\nROUNDS = 2\\n" + WORKLOAD)
            low.destroy(interp)
        # More classes alive at once than the class table has room for: the
        # ones past it are found through their module.
        alive = [create("legacy") for _ in range(300)]
        for interp in alive:
            run(interp, "import sys\\nROUNDS = 1\\n" + WORKLOAD)
        for interp in alive:
            low.destroy(interp)
        assert tarnwick.Result.ok(1).map(lambda v: v + 1).unwrap() == 2
        print("ok")
    """)
    assert_clean(proc)


SUB_RELEASE = """
import tarnwick
R, M = tarnwick.Result, tarnwick.MayBe
for _ in range(3):
    chain = M.just([0])
    for _ in range(1000):
        chain = R.ok([chain])
    del chain
"""


@needs_interpreters
@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_finaliser_switching_interpreters_mid_release(kind: str) -> None:
    # A payload finaliser 70 deallocations deep, while this thread's queue
    # holds the main interpreter's instances, runs code in a sub-interpreter
    # that releases deep chains of its own; the main interpreter then drains
    # its queue. Neither may release the other's instances.
    proc = run_python(f"""
        import tarnwick
        SUB_RELEASE = {SUB_RELEASE!r}
        R = tarnwick.Result
        interp = create({kind!r})
        run(interp, "import tarnwick")
        ran = []
        class SwitchOnDel:
            def __del__(self):
                run(interp, SUB_RELEASE)
                ran.append(True)
        for _ in range(3):
            chain = R.ok(SwitchOnDel())
            for _ in range(1000):
                chain = R.ok([chain])
            del chain
        assert len(ran) == 3
        low.destroy(interp)
        chain = R.ok(0)
        for _ in range(10000):
            chain = R.ok(chain)
        del chain
        print("ok")
    """)
    assert_clean(proc)


OWN_CLASSES = """
import os, tarnwick, sys
first = tarnwick.Result
del sys.modules["tarnwick"]
import tarnwick
assert tarnwick.Result is first, "a re-import binds the same classes"
made = [tarnwick.Result.ok(1), tarnwick.Result.err("m"), tarnwick.MayBe.just(1), tarnwick.MayBe.nothing(),
        tarnwick.Result.from_dict({"ok": True, "value": 1}), tarnwick.MayBe(2)]
assert all(type(x) in (tarnwick.Result, tarnwick.MayBe) for x in made)
assert type(tarnwick.Result.__dict__["ok"]).__name__ == "staticmethod"
os.write(FD, repr((id(tarnwick.Result), id(tarnwick.MayBe))).encode())
"""


def test_each_interpreter_has_its_own_classes() -> None:
    if low is None or INSIDE is not None:
        pytest.skip("needs sub-interpreters, from the main interpreter")
    proc = run_python(f"""
        import tarnwick
        OWN_CLASSES = {OWN_CLASSES!r}
        main_ids = (id(tarnwick.Result), id(tarnwick.MayBe))
        r, w = os.pipe()
        interp = create("isolated")
        run(interp, OWN_CLASSES.replace("FD", str(w)))
        os.close(w)
        sub_ids = eval(os.read(r, 100))
        assert not set(sub_ids) & set(main_ids), (sub_ids, main_ids)
        low.destroy(interp)
        print("ok")
    """)
    assert_clean(proc)
