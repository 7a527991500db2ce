"""The cyclic garbage collector: reference cycles that run through an
instance are reclaimed, and only instances that can be part of one are
tracked."""
from __future__ import annotations

import functools
import gc
import os
import subprocess
import sys
import weakref

import pytest

from tarnwick import MayBe, Result


class Probe:
    """Put inside each cycle: its weak reference dies with the cycle."""


class Int(int):
    pass


class Holder:
    pass


def caught_as(wrap):
    """The error-handling idiom: the caught exception kept in an instance,
    whose frame (held by the exception's traceback) holds the instance."""
    def build(probe):
        def parse(text):
            keep = probe  # noqa: F841 - the frame holds the probe
            try:
                return Result.ok(int(text))
            except ValueError as e:
                made = wrap(e)
                return made
        parse("x")
    return build


def closed_by(make):
    """A list holding the probe and the instance that holds the list."""
    def build(probe):
        box = [probe]
        box.append(make(box))
    return build


CYCLES = {
    "Err details: caught exception": caught_as(lambda e: Result.err(str(e), "bad_int", e)),
    "Just: caught exception": caught_as(MayBe.just),
    "Ok value: list": closed_by(Result.ok),
    "Err details: dict": lambda probe: (d := {"probe": probe}).update(err=Result.err("m", "c", d)),
    "Just: object attribute": lambda probe: vars(o := Holder()).update(probe=probe, inner=MayBe.just(o)),
    "MayBe(obj)": closed_by(MayBe),
    "nested": closed_by(lambda box: MayBe.just(Result.ok(MayBe.just(Result.err("m", None, box))))),
    "Result.map": closed_by(lambda box: Result.ok(0).map(lambda _: box)),
    "MayBe.map": closed_by(lambda box: MayBe.just(0).map(lambda _: box)),
    "Result.flat_map": closed_by(lambda box: Result.ok(0).flat_map(lambda _: Result.ok(box))),
    "MayBe >>": closed_by(lambda box: MayBe.just(0) >> (lambda _: MayBe.just(box))),
    "map_err": closed_by(lambda box: Result.err("m").map_err(lambda m, c, d: (m, c, box))),
    "Err pass-through": closed_by(lambda box: Result.err("m", "c", box).map(abs)),
    "from_dict": closed_by(lambda box: Result.from_dict({"ok": True, "value": box})),
}


@pytest.fixture
def collector_off():
    gc.collect()
    gc.disable()
    yield
    gc.enable()


@pytest.mark.parametrize("build", CYCLES.values(), ids=CYCLES.keys())
def test_cycle_through_an_instance_is_reclaimed(build, collector_off) -> None:
    classes = sys.getrefcount(Result), sys.getrefcount(MayBe)
    probe = Probe()
    alive = weakref.ref(probe)
    build(probe)
    del probe
    assert alive() is not None  # a cycle: reference counting alone keeps it
    gc.collect()
    assert alive() is None
    assert (sys.getrefcount(Result), sys.getrefcount(MayBe)) == classes  # every instance freed


# Tracked exactly when a payload could lead back: None, bool, int, float,
# str and bytes (exact types) and untracked instances cannot.
TRACKING = [
    ("Result.ok(3)", False), ("Result.ok(None)", False), ("Result.ok(True)", False),
    ("Result.ok(2.5)", False), ("Result.ok('s')", False), ("Result.ok(b'b')", False),
    ("Result.err('m')", False), ("Result.err('m', 'c', 7)", False), ("MayBe.nothing()", False),
    ("MayBe.just(None)", False), ("Result.ok(Result.err('m'))", False),
    ("MayBe.just(MayBe.just(Result.ok(1)))", False), ("Result.ok(1).map(str)", False),
    ("Result.err('m', 'c').map(abs)", False), ("MayBe.just(1) >> MayBe.just", False),
    ("Result.from_dict({'ok': False, 'error': 'm', 'details': None})", False),
    ("Result.ok([])", True), ("Result.ok({})", True), ("Result.ok(())", True), ("Result.ok(Int(3))", True),
    ("Result.ok(object())", True), ("Result.ok(int)", True), ("Result.err('m', 'c', {})", True),
    ("MayBe.just(Result.ok([]))", True), ("Result.ok(MayBe([]))", True), ("Result.ok(1).map(lambda v: [v])", True),
    ("Result.err('m', 'c', [1]).map(abs)", True), ("Result.from_dict({'ok': True, 'value': []})", True),
]


@pytest.mark.parametrize("expr, tracked", TRACKING, ids=[e for e, _ in TRACKING])
def test_tracked_only_when_a_payload_could_close_a_cycle(expr, tracked) -> None:
    made = eval(expr, {"Result": Result, "MayBe": MayBe, "Int": Int})
    assert gc.is_tracked(made) is tracked
    # the collector sees the class and every held object of a tracked
    # instance; an untracked one is no collector object at all, so a tuple or
    # dict that holds it can be untracked, as if it held an int
    form = made.to_dict() if type(made) is Result else {"value": v for v in made}
    held = [type(made), *(form[k] for k in ("value", "details") if k in form)]
    assert gc.get_referents(made) == (held if tracked else [])
    holders, like_int = [(1, made), {"k": made}], [(1, 1), {"k": 1}]
    gc.collect()  # untracks the tuples that can be
    assert [gc.is_tracked(h) for h in holders] == [tracked or gc.is_tracked(h) for h in like_int]


@pytest.mark.parametrize("expr", ["Result.ok(3)", "Result.err('m', 'c')", "MayBe.just('s')", "Result.ok(1).map(str)",
                                  "Result.ok([])", "MayBe.just({})", "Result.err('m', 'c', []).map(abs)"])
def test_instances_leave_the_collectors_allocation_count_as_it_was(expr, collector_off) -> None:
    # The count that starts automatic collections: each instance gives back
    # what its allocation added, and no more. An untracked instance counted
    # off without having been counted would hold the count down between
    # other allocations, and automatic collections would stop coming.
    make = eval(f"lambda: {expr}", {"Result": Result, "MayBe": MayBe})
    kept = []
    before = gc.get_count()[0]
    for _ in range(20_000):
        kept.append([])  # one collector allocation each
        make()
    assert abs(gc.get_count()[0] - before - 20_000) < 1_100  # free-threaded: counted per thread up to 512


@pytest.mark.parametrize("wrap", [Result.ok, MayBe.just, lambda v: Result.err("m", "c", v)],
                         ids=["Ok", "Just", "Err"])
def test_finaliser_run_by_a_collection_may_resurrect_and_reenter(wrap, collector_off) -> None:
    saved, made = [], []

    class Phoenix:
        def __del__(self) -> None:  # runs inside gc.collect(), the instance still whole
            inst = self.inst
            saved.append(inst)
            made.append((repr(inst), list(inst), inst.match(lambda *a: a, lambda *a: a), MayBe.just(inst)))

    # Every instance holds its class: the counts tell what is still alive.
    classes = sys.getrefcount(Phoenix), sys.getrefcount(Result), sys.getrefcount(MayBe)
    phoenix = Phoenix()
    phoenix.inst = wrap(phoenix)
    del phoenix
    gc.collect()
    assert type(gc.get_referents(saved[0])[1]) is Phoenix
    assert gc.is_tracked(made[0][3]) and repr(saved[0]) == made[0][0]
    saved.clear()
    made.clear()
    gc.collect()  # the finaliser has run once: the cycle now goes
    assert (sys.getrefcount(Phoenix), sys.getrefcount(Result), sys.getrefcount(MayBe)) == classes


@pytest.mark.parametrize("make", [Result.ok, MayBe.just], ids=["Result", "MayBe"])
@pytest.mark.parametrize("fate", ["dropped", "resurrected-lent", "resurrected-deep"])
def test_a_finaliser_assigned_to_the_class_runs_for_each_collected_cycle(make, fate, collector_off) -> None:
    # The collector marks in its header what it finalized; memory reused for
    # a later instance must not come with that mark.
    cls, ran, saved = type(make(0)), [], []

    def finalise(self):
        ran.append(1)
        if fate != "dropped":
            saved.append(self)

    cls.__del__ = finalise
    try:
        for _ in range(3):
            box = [0]
            box.append(make(box))
            del box
            gc.collect()
            if fate == "resurrected-deep":
                # The resurrected instance, out of its cycle, innermost in a
                # chain that puts it at the nesting depth (65) where
                # deallocation queues instead of recursing; the instances held
                # meanwhile leave the free list room for its block.
                (box,) = inst = saved.pop()
                box.pop()
                room = [make(i) for i in range(150)]
                chain = inst
                for _ in range(64):
                    chain = make(chain)
                del box, inst, chain
                assert not any(gc.is_finalized(make([])) for _ in range(4))
                del room
            elif fate == "resurrected-lent":
                # The resurrected instance, out of its cycle, lent as map's
                # receiver by partial and dropped while map runs: it is
                # freed when map gives it back, its payload still alive.
                (box,) = inst = saved.pop()
                box.pop()
                lender = functools.partial(cls.map, inst)
                del inst
                assert lender(lambda _: lender.__setstate__((cls.map, (make(1),), None, None))).unwrap() is None
        assert ran == [1, 1, 1]
        assert not any(gc.is_finalized(make([])) for _ in range(4))
    finally:
        del cls.__del__


def assert_script_prints_ok(code: str, timeout: int, env: dict | None = None) -> None:
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=env)
    assert proc.returncode == 0 and proc.stdout.split() == ["ok"], (proc.returncode, proc.stderr[-2000:])


def test_deep_chain_closing_a_cycle_is_reclaimed_without_deep_recursion() -> None:
    code = """if True:
        import gc, sys, weakref, tarnwick
        R, M = tarnwick.Result, tarnwick.MayBe
        class Probe: pass
        probe = Probe(); alive = weakref.ref(probe)
        classes = sys.getrefcount(R), sys.getrefcount(M)
        gc.disable()
        box = x = [probe]
        wraps = (R.ok, M.just, lambda v: R.err("m", None, v))
        for i in range(1_000_000):
            x = wraps[i % 3](x)
        box.append(x)
        del x, probe, box
        gc.collect()
        assert alive() is None and (sys.getrefcount(R), sys.getrefcount(M)) == classes
        print("ok")
    """
    assert_script_prints_ok(code, timeout=300)


def test_untracked_instances_freed_by_the_interpreters_trashcan_keep_the_heap_whole() -> None:
    # Nested lists freed on a small thread stack: CPython 3.14 and later
    # postpone the deallocation of any collector object met near the end of
    # the stack, untracked instances too, by writing into the collector's
    # header; the debug allocator reports a write outside the block.
    code = """if True:
        import threading
        from tarnwick import MayBe, Result
        def free_nest():
            nest = None
            for i in range(20_000):
                nest = [Result.ok(i), MayBe.just(i), nest]
            del nest
        threading.stack_size(512 * 1024)
        thread = threading.Thread(target=free_nest)
        thread.start()
        thread.join()
        print("ok")
    """
    assert_script_prints_ok(code, timeout=120, env=dict(os.environ, PYTHONMALLOC="debug"))
