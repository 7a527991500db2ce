"""Wall time of gc.collect() with many instances alive that the collector
does not track (Ok(int), Err(message, code), Nothing, Just(str)), held in one
list: what a full collection costs a program that keeps a million untracked
instances.

Run as `python bench/gc_collect.py [--count N] [--repeat R]`; the module comes
from build/cmake (or TARNWICK_BENCH_PATH, see harness.py).
"""
from __future__ import annotations

import argparse
import gc
import statistics
import time

import harness  # noqa: F401  (import path)
from tarnwick import MayBe, Result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=21)
    args = parser.parse_args()
    makers = (lambda i: Result.ok(i), lambda i: Result.err("bad input", "E42"),
              lambda i: MayBe.nothing(), lambda i: MayBe.just("text"))
    alive = [makers[i % 4](i) for i in range(args.count)]
    gc.collect()
    times = []
    for _ in range(args.repeat):
        start = time.perf_counter()
        gc.collect()
        times.append(time.perf_counter() - start)
    tracked = sum(map(gc.is_tracked, alive[:4]))
    print(f"gc.collect() with {len(alive):,} instances alive ({tracked} of the first 4 tracked): "
          f"median {statistics.median(times) * 1e3:.2f} ms, min {min(times) * 1e3:.2f} ms "
          f"over {args.repeat} runs")


if __name__ == "__main__":
    main()
