"""Wall time of gc.collect() with many instances alive that the collector
does not track (Ok(int), Err(message, code), Nothing, Just(str)), held in one
list: what a full collection costs a program that keeps a million untracked
instances. Then, each in a new process, a million of one kind in a list, and
a million Ok(int) held in the two containers CPython untracks when nothing
they hold is a collector object: tuples (in a list) and a dict.

Last, the same collections over a million instances of four hand-written
classes of one layout (bench/gc_layouts.c) that differ only in how they meet
the collector: outside it; inside it with its header on every instance;
inside it through a tp_is_gc slot, untracked instances without the header;
and with both the header and the slot, as the module's classes are. A list of
instances shows what the slot's call costs a scan; a list of (int, instance)
tuples what the collector pays when the tuples cannot be untracked.

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


# The untracked kinds, each made from its index.
KINDS = {"Result.ok(i)": lambda i: Result.ok(i), "Result.err(m, c)": lambda i: Result.err("bad input", "E42"),
         "MayBe.nothing()": lambda i: MayBe.nothing(), "MayBe.just(s)": lambda i: MayBe.just("text")}
# Each shape: n instances held one way, built in a new process.
SHAPES = {f"[{kind}]": (lambda n, make=make: [make(i) for i in range(n)]) for kind, make in KINDS.items()} | {
    "[(i, Result.ok(i))]": lambda n: [(i, Result.ok(i)) for i in range(n)],
    "{i: Result.ok(i)}": lambda n: {i: Result.ok(i) for i in range(n)},
}


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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=21)
    parser.add_argument("--shape", choices=SHAPES, help="only this shape (in this process)")
    args = parser.parse_args()
    if args.shape:
        alive = SHAPES[args.shape](args.count)
        print(f"  {args.shape:20} {summary(collect_times(args.repeat))}")
        return
    makers = tuple(KINDS.values())
    alive = [makers[i % 4](i) for i in range(args.count)]
    times = collect_times(args.repeat)
    tracked = sum(map(gc.is_tracked, alive[:4]))
    print(f"gc.collect() with {len(alive):,} instances alive ({tracked} of the first 4 tracked): "
          f"{summary(times)} over {args.repeat} runs")
    del alive
    # Each shape in a new process: the time follows where the objects sit in
    # memory, which differs by shape and by what the process allocated and
    # freed before.
    print(f"{args.count:,} alive, each shape in a new process:")
    for shape in SHAPES:
        subprocess.run([sys.executable, __file__, "--count", str(args.count), "--repeat", str(args.repeat),
                        "--shape", shape], check=True)

    try:
        import gc_layouts
    except ImportError:
        print("(bench/gc_layouts.c not built: `make bench-gc` builds it)")
        return
    ways = ("outside the collector", "header", "tp_is_gc, no header", "header and tp_is_gc")
    for shape, hold in (("a list of instances", lambda made: made),
                        ("a list of (int, instance) tuples", lambda made: list(enumerate(made)))):
        print(f"hand-written classes, {args.count:,} untracked instances alive in {shape}:")
        medians = []
        for kind, name in enumerate(ways):
            times = []
            for _ in range(3):
                alive = hold(gc_layouts.make(kind, args.count))
                times.extend(collect_times(args.repeat // 3 or 1))
                del alive
            medians.append(statistics.median(times))
            print(f"  {name:22} {summary(times)}; {medians[-1] / medians[0]:.3f}x")

if __name__ == "__main__":
    main()
