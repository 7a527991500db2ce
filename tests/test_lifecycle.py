"""Process lifecycles: threads ended at interpreter exit, receivers the
interpreter lends without a reference, instances not made by a constructor,
per-thread deallocation state (threads, fork) and abstract classes.

Each scenario that could crash or hang runs in a child interpreter of its own.
"""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code: str, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


def assert_clean(proc: subprocess.CompletedProcess[str], expected: str = "ok") -> None:
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    assert proc.stdout.strip().splitlines()[-1:] == [expected], proc.stdout


# --------------------------------------------------------------------------
# Threads ended by the interpreter at exit
#
# While the interpreter finalises, a daemon thread that tries to take the
# interpreter lock is ended with pthread_exit (CPython 3.12/3.13), which
# unwinds its stack. The daemon thread below sits inside a tarnwick call,
# in Python code that keeps giving up and retaking the lock; a finaliser of
# the main module sleeps during shutdown, so the daemon thread is woken up
# and ended while tarnwick's frames are on its stack.

DAEMON_PRELUDE = """
import threading, time, tarnwick
R = tarnwick.Result
inside = threading.Event()
def work(*args):
    inside.set()
    while True:
        time.sleep(0.0005)
"""

DAEMON_SHAPES = {
    "callable": """
def worker():
    while True:
        R.ok(1).map(work)
""",
    "str in repr": """
class Payload:
    def __str__(self):
        work()
        return "x"
def worker():
    while True:
        repr(R.ok(Payload()))
""",
    "payload finaliser": """
class Payload:
    def __del__(self):
        work()
def worker():
    while True:
        R.ok(Payload())
""",
    "dict key comparison": """
class Key:
    def __hash__(self):
        return hash("ok")
    def __eq__(self, other):
        work()
        return False
def worker():
    while True:
        R.from_dict({Key(): True})
""",
}

DAEMON_MAIN = """
threading.Thread(target=worker, daemon=True).start()
assert inside.wait(30)
class BusyAtExit:
    def __del__(self):
        time.sleep(0.02)
busy = BusyAtExit()
print("ok")
"""

RUNS_PER_SHAPE = 20


@pytest.mark.parametrize("shape", sorted(DAEMON_SHAPES))
def test_daemon_thread_inside_a_call_ends_quietly_at_exit(shape: str) -> None:
    code = DAEMON_PRELUDE + DAEMON_SHAPES[shape] + DAEMON_MAIN
    # A few runs at a time: each child mostly sleeps.
    outcomes = []
    for start in range(0, RUNS_PER_SHAPE, 5):
        procs = [subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
                 for _ in range(start, min(start + 5, RUNS_PER_SHAPE))]
        for p in procs:
            out, err = p.communicate(timeout=60)
            outcomes.append((p.returncode, out.strip(), err[-500:]))
    failures = [o for o in outcomes if o[0] != 0 or o[1] != "ok"]
    assert not failures, failures[:3]


# --------------------------------------------------------------------------
# Receivers lent without a reference

BORROWED_RECEIVER = """
import tarnwick
keep = []
class Evil:
    def __str__(self):
        lst.clear()                       # drops the last reference to the receiver
        keep.append(tarnwick.{cls}.{make}(1))  # likely reuses its memory
        return "x"
lst = [tarnwick.{cls}.{make}(Evil())]
assert repr(lst) == "[{wrapper}(x)]"
assert keep[0].unwrap() == 1 and bool(keep[0])
print("ok")
"""


@pytest.mark.parametrize(("cls", "make", "wrapper"), [("Result", "ok", "Ok"), ("MayBe", "just", "Just")])
def test_receiver_dropped_during_repr_stays_alive_until_the_call_ends(cls: str, make: str, wrapper: str) -> None:
    assert_clean(run_python(BORROWED_RECEIVER.format(cls=cls, make=make, wrapper=wrapper)))


@pytest.mark.parametrize("cls", ["Result", "MayBe"])
def test_receiver_dropped_during_repr_inside_a_deep_deallocation(cls: str) -> None:
    # The repr runs from a payload finaliser 70 deallocations deep, where
    # releases are queued on the deferred list.
    make = "ok" if cls == "Result" else "just"
    proc = run_python(f"""
        import tarnwick
        C = tarnwick.{cls}
        keep = []
        class Evil:
            def __str__(self):
                lst.clear()
                keep.append(C.{make}(1))
                return "x"
        class PrintOnDel:
            def __del__(self):
                global lst
                lst = [C.{make}(Evil())]
                repr(lst)
        chain = C.{make}(PrintOnDel())
        for _ in range(70):
            chain = C.{make}(chain)
        del chain
        assert keep and keep[0].unwrap() == 1
        # The deferred list is intact: a further deep chain is released.
        for _ in range(3):
            chain = C.{make}(0)
            for _ in range(1000):
                chain = C.{make}(chain)
            del chain
        print("ok")
    """)
    assert_clean(proc)


# Standard-library callers that lend a method its receiver: each passes the
# receiver from storage it owns and lets the user's callable replace that
# storage while the method runs. The callable then makes new instances, which
# would reuse the freed receiver's memory.

LENT_PRELUDE = """
import functools, itertools, tarnwick
C = tarnwick.{cls}
make = C.{make}
fresh = []
def make_fresh():
    fresh.extend(make(i) for i in range(4))
"""

LENT_CALLERS = {
    # The accumulator's running total is map's receiver; calling next() on the
    # same accumulator from the mapped function replaces the total.
    "accumulate": """
def again(v):
    return v
def replace_total(v):
    next(acc)
    make_fresh()
    return v
def items():  # yields each item without keeping it
    yield make([1])
    yield replace_total
    yield again
acc = itertools.accumulate(items(), C.map)
next(acc)
assert next(acc).unwrap() == [1]
""",
    # The key object's obj is match's receiver.
    "cmp_to_key": """
K = functools.cmp_to_key(C.match)
def handler(v):
    k1.obj = None
    make_fresh()
    return 0
k1, k2 = K(make([1])), K(handler)
assert not k1 < k2
""",
    # partial's stored argument is match's receiver; __setstate__ replaces it.
    "partial": """
p = functools.partial(C.match, make([1]))
def handler(v):
    p.__setstate__((C.match, (make(2),), None, None))
    make_fresh()
    return v
assert p(handler) == [1]
""",
}

LENT_CHECK = """
assert [f.unwrap() for f in fresh] == [0, 1, 2, 3]
assert [f.map(lambda v: v + 1).unwrap() for f in fresh] == [1, 2, 3, 4]
print("ok")
"""

# The same, run from a payload finaliser 70 deallocations deep: the dropped
# receiver's release is deferred onto the list threaded through its borrow
# word, which a late give-back of shared access would overwrite.
LENT_DEEP = """
class RunOnDel:
    def __del__(self):
        exec(SCENARIO, globals())
chain = make(RunOnDel())
for _ in range(70):
    chain = make(chain)
del chain
for _ in range(3):
    chain = make(0)
    for _ in range(1000):
        chain = make(chain)
    del chain
"""


@pytest.mark.parametrize("deep", [False, True], ids=["direct", "deferred release"])
@pytest.mark.parametrize("caller", sorted(LENT_CALLERS))
@pytest.mark.parametrize(("cls", "make"), [("Result", "ok"), ("MayBe", "just")])
def test_method_keeps_a_lent_receiver_alive(cls: str, make: str, caller: str, deep: bool) -> None:
    scenario = LENT_CALLERS[caller]
    body = f"SCENARIO = {scenario!r}\n" + LENT_DEEP if deep else scenario
    code = LENT_PRELUDE.format(cls=cls, make=make) + body + LENT_CHECK
    if deep:
        code = code.replace(LENT_CHECK, "assert fresh, 'the finaliser did not run'\n" + LENT_CHECK)
    assert_clean(run_python(code))


# --------------------------------------------------------------------------
# Instances not made by a constructor


def test_result_cannot_be_made_bypassing_its_constructors() -> None:
    proc = run_python("""
        import copy, gc, tarnwick
        R = tarnwick.Result
        R.__new__ = staticmethod(lambda cls: None)
        try:
            object.__new__(R)
        except TypeError as e:
            assert str(e) == "cannot create 'builtins.Result' instances", e
        else:
            raise AssertionError("an empty Result was made")
        del R.__new__
        assert R.ok(1).unwrap() == 1 and R.err("m").unwrap_err() == ("m", None, None)
        # A MayBe with an empty record is a valid Nothing, untracked as every
        # Nothing is (its memory is reused by later instances).
        M = tarnwick.MayBe
        M.__new__ = staticmethod(lambda cls: None)
        m = object.__new__(M)
        assert m.is_nothing() and repr(m) == "Nothing" and list(m) == []
        assert not gc.is_tracked(m)
        del m
        kept = [M.just([]) for _ in range(3)]
        gc.collect()
        print("ok")
    """)
    assert_clean(proc)


# --------------------------------------------------------------------------
# Per-thread deallocation state


def test_finaliser_waiting_in_one_thread_does_not_hold_up_another() -> None:
    # Thread A waits, inside a payload finaliser, for an event that only the
    # release of the main thread's 101-deep chain sets.
    proc = run_python("""
        import threading, tarnwick
        R = tarnwick.Result
        event = threading.Event()
        waited = []
        class Waits:
            def __del__(self):
                waited.append(event.wait(20))
        class Sets:
            def __del__(self):
                event.set()
        def a():
            r = R.ok(Waits())
            started.set()
            del r
        started = threading.Event()
        t = threading.Thread(target=a)
        t.start()
        started.wait()
        chain = R.ok(Sets())
        for _ in range(100):
            chain = R.ok(chain)
        del chain
        t.join(30)
        assert waited == [True], waited
        print("ok")
    """)
    assert_clean(proc)


# Thread A drops a 70-deep chain whose innermost payload's finaliser waits
# until `release` is set; `deep` is set once A is waiting there.
DEEP_WAITING_THREAD = """
import os, threading, warnings, tarnwick
warnings.simplefilter("ignore", DeprecationWarning)   # fork with threads
R = tarnwick.Result
deep = threading.Event(); release = threading.Event()
class Waits:
    def __del__(self):
        deep.set()
        release.wait(20)
def a():
    chain = R.ok(Waits())
    for _ in range(70):
        chain = R.ok(chain)
    del chain
t = threading.Thread(target=a)
t.start()
assert deep.wait(20)
"""


def test_instances_dropped_by_a_thread_are_released_on_that_thread() -> None:
    # While thread A sits 70 deallocations deep in a waiting finaliser, an
    # instance the main thread drops is released at once, on the main thread.
    proc = run_python(DEEP_WAITING_THREAD + textwrap.dedent("""
        where = []
        class Tracks:
            def __del__(self):
                where.append(threading.get_ident())
        r = R.ok(Tracks())
        del r
        assert where == [threading.get_ident()], where
        chain = R.ok(Tracks())
        for _ in range(200):
            chain = R.ok(chain)
        del chain
        assert where == [threading.get_ident()] * 2, where
        release.set()
        t.join(30)
        print("ok")
    """))
    assert_clean(proc)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_forked_child_releases_what_it_drops() -> None:
    # Another thread is 70 deallocations deep when the process forks.
    proc = run_python(DEEP_WAITING_THREAD + textwrap.dedent("""
        released = []
        class Tracks:
            def __del__(self):
                released.append(1)
        pid = os.fork()
        if pid == 0:
            r = R.ok(Tracks()); del r
            chain = R.ok(Tracks())
            for _ in range(100):
                chain = R.ok(chain)
            del chain
            os._exit(0 if released == [1, 1] else 1)
        _, status = os.waitpid(pid, 0)
        release.set()
        t.join(30)
        assert os.waitstatus_to_exitcode(status) == 0, status
        print("ok")
    """))
    assert_clean(proc)


# --------------------------------------------------------------------------
# Abstract classes


def test_abstract_class_refuses_every_allocation_as_object_does() -> None:
    proc = run_python("""
        import tarnwick
        R, M = tarnwick.Result, tarnwick.MayBe
        ok, just = R.ok(1), M.just(1)
        def raised(f):
            try:
                f()
            except TypeError as e:
                return str(e)
            raise AssertionError("no TypeError")
        for cls, ops in [
            (M, [lambda: M(1), lambda: M(None), lambda: M.just(1), lambda: M.nothing(),
                 lambda: just.map(abs), lambda: just.flat_map(M.just), lambda: just >> M.just]),
            (R, [lambda: R.ok(1), lambda: R.err("m"), lambda: R.from_dict({"ok": True, "value": 1}),
                 lambda: ok.map(abs), lambda: ok.map_err(abs)]),
        ]:
            cls.__abstractmethods__ = frozenset({"f"})
            # object's own refusal for a class in the same state, whatever
            # this interpreter's wording
            class Probe:
                pass
            Probe.__abstractmethods__ = frozenset({"f"})
            expected = raised(lambda: object.__new__(Probe)).replace("Probe", f"builtins.{cls.__name__}")
            assert "abstract" in expected
            for op in ops:
                assert raised(op) == expected, (cls, raised(op))
            del cls.__abstractmethods__
            assert ops[0]() is not None
        print("ok")
    """)
    assert_clean(proc)
