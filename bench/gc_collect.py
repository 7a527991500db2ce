"""Wall time of gc.collect() with many instances alive that the collector
does not track (Ok(int), Err(message, code), Nothing, Just(str)), held in one
list: what a full collection costs a program that keeps a million untracked
instances; then a million of one kind at a time, each in a new process.

Then each class beside its floor: the same count of CPython's own untracked
tuples of the same size. A full collection reads the collector header of every
element a scanned list holds, so its time follows the memory those elements
take; a tuple of the same size is the least any object the collector knows can
cost it.

Last, the same collection over a million 32-byte instances of three
hand-written classes (bench/gc_layouts.c) that differ only in how they meet
the collector: outside it, inside it with its header on every instance, and
inside it through a tp_is_gc slot that lets untracked instances go without the
header. It shows what taking part in the collector costs any class in a GIL
build, whatever its instances hold.

Run as `python bench/gc_collect.py [--count N] [--repeat R]`; the module comes
from build/cmake (or TARNWICK_BENCH_PATH, see harness.py).
"""
from __future__ import annotations

import argparse
import gc
import statistics
import subprocess
import sys
import time

import harness  # noqa: F401  (import path)
from tarnwick import MayBe, Result


KINDS = {"Result.ok(i)": lambda i: Result.ok(i), "Result.err(m, c)": lambda i: Result.err("bad input", "E42"),
         "MayBe.nothing()": lambda i: MayBe.nothing(), "MayBe.just(s)": lambda i: MayBe.just("text")}


def collect_times(repeat: int) -> list[float]:
    gc.collect()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        gc.collect()
        times.append(time.perf_counter() - start)
    return times


def summary(times: list[float]) -> str:
    return f"median {statistics.median(times) * 1e3:.2f} ms, min {min(times) * 1e3:.2f} ms"


def tuple_of_size(size: int):
    """A maker of untracked tuples whose sys.getsizeof is size, or None."""
    for length in range(1, 8):
        if sys.getsizeof((None,) * length) == size:
            # Built at run time, so that each call makes a new tuple.
            return lambda i, n=None, k=length: (n,) * k
    return None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=21)
    parser.add_argument("--kind", choices=KINDS, help="only a list of this kind (in this process)")
    args = parser.parse_args()
    if args.kind:
        make = KINDS[args.kind]
        alive = [make(i) for i in range(args.count)]
        print(f"  {args.kind:17} {summary(collect_times(args.repeat))}")
        return
    makers = tuple(KINDS.values())
    alive = [makers[i % 4](i) for i in range(args.count)]
    times = collect_times(args.repeat)
    tracked = sum(map(gc.is_tracked, alive[:4]))
    print(f"gc.collect() with {len(alive):,} instances alive ({tracked} of the first 4 tracked): "
          f"{summary(times)} over {args.repeat} runs")
    del alive
    # One kind at a time, each in a new process: the time follows where the
    # instances sit in memory, which differs by kind and by what the process
    # allocated and freed before.
    print(f"{args.count:,} of one kind alive, each in a new process:")
    for kind in KINDS:
        subprocess.run([sys.executable, __file__, "--count", str(args.count), "--repeat", str(args.repeat),
                        "--kind", kind], check=True)

    print(f"beside the floor, {args.count:,} of each alive (tuples of the same size, untracked):")
    for name, make in (("Result.ok(None)", lambda i: Result.ok(None)), ("MayBe.just(None)", lambda i: MayBe.just(None))):
        size = sys.getsizeof(make(0))
        floor = tuple_of_size(size)
        # Alternate the two, so that drift in the machine falls on both.
        ours, theirs = [], []
        for _ in range(3):
            for maker, into in ((make, ours), (floor, theirs)):
                if maker is None:
                    continue
                alive = [maker(i) for i in range(args.count)]
                into.extend(collect_times(args.repeat // 3 or 1))
                # A tuple is untracked by the first collection that sees it.
                assert not any(map(gc.is_tracked, alive[-3:])) and alive[-1] is not alive[-2]
                del alive
        line = f"  {name:17} {size} bytes: {summary(ours)}"
        if theirs:
            ratio = statistics.median(ours) / statistics.median(theirs)
            line += f"; tuple: {summary(theirs)}; {ratio:.3f}x"
        print(line)

    try:
        import gc_layouts
    except ImportError:
        print("(bench/gc_layouts.c not built: `make bench-gc` builds it)")
        return
    print(f"hand-written 32-byte classes, {args.count:,} of each alive (none tracked):")
    medians = []
    for kind, name in enumerate(("outside the collector", "header on every instance", "tp_is_gc, no header")):
        times = []
        for _ in range(3):
            alive = gc_layouts.make(kind, args.count)
            times.extend(collect_times(args.repeat // 3 or 1))
            del alive
        medians.append(statistics.median(times))
        print(f"  {name:25} {summary(times)}; {medians[-1] / medians[0]:.3f}x")


if __name__ == "__main__":
    main()
