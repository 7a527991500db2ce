"""No leaks: every operation of the catalogue, many times over.

Each operation of rel_ops.OPS (success and error paths of every method and
slot) runs ITERATIONS times after a warm-up. The payloads' reference counts
must come back exactly. Two allocator counters are watched as well:
sys.getallocatedblocks() (the small-object allocator) and glibc's
mallinfo2().uordblks (the malloc heap in use, where large texts live).

Those counters also move for reasons that have nothing to do with the
operation: free lists filling up, a cache or a dict resized once, garbage of
earlier tests collected late. Such noise is a one-off amount, whatever the
number of calls; a leak grows with the number of calls. So an operation whose
growth over ITERATIONS calls stays within a small bound passes at once; one
that exceeds it runs 2 * ITERATIONS calls more, and fails only when that
second window grew past twice the bound and by at least 1.5 times the first
window's growth (a leak of k blocks per call grows by k*N, then by 2k*N; a
one-off jump does not repeat in proportion).

TARNWICK_LEAK_ITERATIONS overrides the 10**5 iterations (the valgrind run
uses a few hundred: memcheck is the leak detector there).
"""
from __future__ import annotations

import ctypes
import ctypes.util
import gc
import os
import sys
from dataclasses import dataclass

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import rel_ops  # noqa: E402

ITERATIONS = int(os.environ.get("TARNWICK_LEAK_ITERATIONS", 100_000))
WARMUP = 500
MAX_BLOCKS = 64           # allocator noise: free lists, caches
MAX_HEAP_BYTES = 256 << 10
SCALING = 1.5             # second window (2N calls) against the first (N calls)


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


def _scrub(case: rel_ops.OpCase) -> None:
    # A raised exception keeps its last traceback, and through it the frames.
    for w in case.watch:
        if isinstance(w, BaseException):
            w.__traceback__ = w.__context__ = None


def _measure(case: rel_ops.OpCase) -> tuple[list[int], int, int]:
    _scrub(case)
    gc.collect()
    return rel_ops.refcounts(case.watch), sys.getallocatedblocks(), HEAP() if HEAP else 0


def _loop(call, n: int) -> None:
    for _ in range(n):
        try:
            call()
        except BaseException:  # noqa: BLE001 - error paths are measured too
            pass


@dataclass
class Growth:
    name: str
    first: tuple[int, int]                 # (blocks, heap bytes) over N calls
    second: tuple[int, int] | None = None  # over the next 2N calls, when measured

    @staticmethod
    def _scales(first: int, second: int, bound: int) -> bool:
        return first > bound and second > 2 * bound and second >= SCALING * first

    @property
    def leaks(self) -> bool:
        if self.second is None:
            return False
        return (self._scales(self.first[0], self.second[0], MAX_BLOCKS)
                or self._scales(self.first[1], self.second[1], MAX_HEAP_BYTES))

    def __str__(self) -> str:
        text = f"{self.name}: {self.first[0]} blocks, {self.first[1]} heap bytes more after {ITERATIONS} calls"
        if self.second is not None:
            text += f"; then {self.second[0]} blocks, {self.second[1]} heap bytes after {2 * ITERATIONS} calls more"
        return text


def measure_growth(name: str, case: rel_ops.OpCase) -> Growth:
    _loop(case.call, WARMUP)
    refs0, blocks0, heap0 = _measure(case)
    _loop(case.call, ITERATIONS)
    refs1, blocks1, heap1 = _measure(case)
    assert refs1 == refs0, f"{name}: payload refcounts {refs0} -> {refs1}"
    growth = Growth(name, (blocks1 - blocks0, heap1 - heap0))
    if growth.first[0] > MAX_BLOCKS or growth.first[1] > MAX_HEAP_BYTES:
        # Above the noise bound: see whether it grows with the number of calls.
        _loop(case.call, 2 * ITERATIONS)
        refs2, blocks2, heap2 = _measure(case)
        assert refs2 == refs0, f"{name}: payload refcounts {refs0} -> {refs2}"
        growth.second = (blocks2 - blocks1, heap2 - heap1)
    return growth


# Grouped so that a failure names its operation but pytest does not pay a
# test item per operation.
GROUPS = sorted({n.split("/")[0] for n in rel_ops.OPS})


@pytest.mark.parametrize("group", GROUPS)
def test_no_growth(group: str) -> None:
    results = [measure_growth(name, rel_ops.OPS[name]())
               for name in rel_ops.OPS if name.split("/")[0] == group]
    leaks = [str(g) for g in results if g.leaks]
    assert not leaks, "grows with the number of calls:\n" + "\n".join(leaks)
    worst = max(results, key=lambda g: g.first)
    print(f"\n{group}: {len(results)} ops x {ITERATIONS}; worst {worst}")


# ---------------------------------------------------------------------------
# The detector itself: it must see a leak of one block per call, in either
# counter, and must not take a one-off jump for a leak.


def _counting(action):
    """A call that runs action(i) on its i-th invocation."""
    count = [0]

    def call():
        count[0] += 1
        action(count[0])

    return call


def _one_off(at: set[int], kept: list):
    def action(i):
        if i in at:
            kept.extend(object() for _ in range(20 * MAX_BLOCKS))
            kept.append(bytes(2 * MAX_HEAP_BYTES))

    return action


DETECTOR_CASES = {
    # one small object per call: the small-object allocator's count
    "leak-object": (True, lambda kept: lambda i: kept.append(object())),
    # one instance of the module's own per call
    "leak-instance": (True, lambda kept: lambda i: kept.append(rel_ops.R.ok(i))),
    # one block past the small-object limit per call: only the malloc heap sees it
    "leak-malloc-block": (True, lambda kept: lambda i: kept.append(bytes(600))),
    # one object every second call: half a block per call still scales
    "leak-every-other-call": (True, lambda kept: lambda i: i % 2 or kept.append(object())),
    # a one-off jump in the first window, far above the bound
    "noise-first-window": (False, lambda kept: _one_off({WARMUP + 10}, kept)),
    # jumps of the same size in both windows: not proportional to the count
    "noise-both-windows": (False, lambda kept: _one_off({WARMUP + 10, WARMUP + ITERATIONS + 10}, kept)),
}


@pytest.mark.parametrize("kind", sorted(DETECTOR_CASES))
def test_the_detector(kind: str) -> None:
    if os.environ.get("TARNWICK_UNDER_VALGRIND"):
        pytest.skip("memcheck replaces malloc: neither allocator counter sees the heap")
    expected, make = DETECTOR_CASES[kind]
    kept: list = []
    growth = measure_growth(kind, rel_ops.OpCase(_counting(make(kept))))
    assert growth.leaks is expected, str(growth)
