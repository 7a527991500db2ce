"""No leaks: every operation of the catalogue, many times over.

Each operation of rel_ops.OPS (success and error paths of every method and
slot) runs ITERATIONS times after a warm-up; the payloads' reference counts,
sys.getallocatedblocks() (the small-object allocator) and glibc's
mallinfo2().uordblks (the malloc heap in use, where large texts live) must not
grow beyond a small bound. A leak of one block or one reference per call
would show as ITERATIONS.

TARNWICK_LEAK_ITERATIONS overrides the 10**5 iterations (the valgrind run
uses a few hundred: memcheck is the leak detector there).
"""
from __future__ import annotations

import ctypes
import ctypes.util
import gc
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import rel_ops  # noqa: E402

ITERATIONS = int(os.environ.get("TARNWICK_LEAK_ITERATIONS", 100_000))
WARMUP = 500
MAX_BLOCKS = 64           # allocator noise: free lists, caches
MAX_HEAP_BYTES = 256 << 10


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _heap_in_use():
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
    except OSError:  # no C library under that name (Windows, some musl systems)
        return None
    fn = getattr(libc, "mallinfo2", None)
    if fn is None:  # pragma: no cover - glibc older than 2.33
        return None
    fn.restype = _MallInfo2
    return lambda: fn().uordblks + fn().hblkhd


HEAP = _heap_in_use()


def _measure(case: rel_ops.OpCase):
    gc.collect()
    return rel_ops.refcounts(case.watch), sys.getallocatedblocks(), HEAP() if HEAP else 0


def _loop(call, n: int) -> None:
    for _ in range(n):
        try:
            call()
        except BaseException:  # noqa: BLE001 - error paths are measured too
            pass


def _run(name: str) -> tuple[int, int]:
    case = rel_ops.OPS[name]()
    for w in case.watch:  # a raised exception keeps its last traceback
        if isinstance(w, BaseException):
            w.__traceback__ = None
    _loop(case.call, WARMUP)
    for w in case.watch:
        if isinstance(w, BaseException):
            w.__traceback__ = w.__context__ = None
    refs0, blocks0, heap0 = _measure(case)
    _loop(case.call, ITERATIONS)
    for w in case.watch:
        if isinstance(w, BaseException):
            w.__traceback__ = w.__context__ = None
    refs1, blocks1, heap1 = _measure(case)
    assert refs1 == refs0, f"{name}: payload refcounts {refs0} -> {refs1}"
    return blocks1 - blocks0, heap1 - heap0


# Grouped so that a failure names its operation but pytest does not pay a
# test item per operation.
GROUPS = sorted({n.split("/")[0] for n in rel_ops.OPS})


@pytest.mark.parametrize("group", GROUPS)
def test_no_growth(group: str) -> None:
    worst = {}
    for name in [n for n in rel_ops.OPS if n.split("/")[0] == group]:
        blocks, heap = _run(name)
        worst[name] = (blocks, heap)
        assert blocks <= MAX_BLOCKS, f"{name}: {blocks} allocated blocks more after {ITERATIONS} calls"
        assert heap <= MAX_HEAP_BYTES, f"{name}: malloc heap grew by {heap} bytes after {ITERATIONS} calls"
    name, (blocks, heap) = max(worst.items(), key=lambda kv: kv[1])
    print(f"\n{group}: {len(worst)} ops x {ITERATIONS}; worst {name}: {blocks} blocks, {heap} heap bytes")


def test_the_measure_sees_a_leak() -> None:
    # A control: one kept object per call must trip the bound.
    if os.environ.get("TARNWICK_UNDER_VALGRIND"):
        pytest.skip("memcheck replaces malloc: neither allocator counter sees the heap")
    kept: list = []
    rel_ops.OPS["control.leak"] = lambda: rel_ops.OpCase(lambda: kept.append(object()))
    try:
        blocks, heap = _run("control.leak")
    finally:
        del rel_ops.OPS["control.leak"]
    # With PYTHONMALLOC=malloc (the valgrind run) only the malloc heap counts.
    assert blocks >= ITERATIONS or heap >= 16 * ITERATIONS
