"""Wall time of one tarnwick workload run twice: in one thread, in two
threads of the same interpreter, and in two isolated interpreters (each with
its own GIL) in two threads.

With the GIL, two threads of one interpreter take turns, so they take about
twice as long as one; two isolated interpreters run truly in parallel, so on
a machine with two free cores they take about as long as one, unless
something they share (a lock, a process-wide cache line) serialises them.
Prints the median of REPEATS runs of each shape, in seconds, and the ratio
to the single run.
"""
from __future__ import annotations

import argparse
import statistics
import sys
import threading
import time

try:
    import _interpreters as low  # 3.13 and later
except ImportError:
    import _xxsubinterpreters as low  # type: ignore[no-redef]  # 3.12

# The workload: constructors, combinators that call back into Python, the
# dict form, repr and a deep chain, over instances the loop shares.
WORKLOAD = """
import tarnwick
R, M = tarnwick.Result, tarnwick.MayBe
inc = lambda v: v + 1
shared = R.ok(1)
for i in range(ROUNDS):
    r = R.ok(i).map(inc).and_then(R.ok)
    e = R.err("bad", "E1").map(inc)
    m = M.just(i).map(inc) | 0
    d = R.from_dict(shared.to_dict())
    s = repr(e)
    if i % 100 == 0:
        chain = R.ok(0)
        for _ in range(100):
            chain = M.just(chain)
        del chain
"""


def create_isolated():
    if hasattr(low, "new_config"):
        return low.create(low.new_config("isolated"))
    return low.create(isolated=True)


def run_in(interp, code: str) -> None:
    failure = (getattr(low, "exec", None) or low.run_string)(interp, code)
    assert failure is None, failure


def timed(threads: list[threading.Thread]) -> float:
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=50_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    code = f"import sys\nsys.path[:] = {sys.path!r}\nROUNDS = {args.rounds}\n" + WORKLOAD
    interps = [create_isolated() for _ in range(2)]
    for interp in interps:
        run_in(interp, code.replace(f"ROUNDS = {args.rounds}", "ROUNDS = 10"))  # import, warm up

    def in_main() -> None:
        exec(code, {})

    shapes = {
        "1 thread, main interpreter": lambda: [threading.Thread(target=in_main)],
        "2 threads, one interpreter": lambda: [threading.Thread(target=in_main) for _ in range(2)],
        "2 threads, 2 isolated interpreters": lambda: [threading.Thread(target=run_in, args=(i, code))
                                                       for i in interps],
    }
    times = {name: statistics.median(timed(make()) for _ in range(args.repeats)) for name, make in shapes.items()}
    base = times["1 thread, main interpreter"]
    print(f"Parallel interpreters (Python {sys.version.split()[0]}, {args.rounds} rounds per worker, "
          f"median of {args.repeats})\n")
    print("| shape | seconds | / one thread |\n|---|---:|---:|")
    for name, seconds in times.items():
        print(f"| {name} | {seconds:.3f} | {seconds / base:.2f}x |")
    for interp in interps:
        low.destroy(interp)
    return 0


if __name__ == "__main__":
    sys.exit(main())
