"""Wall time per operation: tarnwick beside the floor and the pure-Python peers.

Every operation is compiled into a loop of its own per implementation (names
bound as locals, see harness.make_loop). Each repetition runs the loops of all
implementations of an operation, and their empty loops, in a shuffled order in
this one process, with the garbage collector off; after a warm-up run the
median over the repetitions is taken and the median of the empty loop is
subtracted. The pipelines run whole (10^5 records per run) and are reported
per record.

Prints one markdown table (ns per operation, then ratios: how many times
longer the peer takes than tarnwick, and tarnwick against the floor), then
the instance sizes and heap use per Err.
"""
from __future__ import annotations

import argparse
import gc
import platform
import random
import statistics
import sys
import time
import tracemalloc

from harness import make_loop

import tarnwick

try:
    import floor
except ImportError:  # built by `make bench`; the table shows — without it
    floor = None
try:
    import result as result_pkg
    from result import Err, Ok
except ImportError:
    result_pkg = None
try:
    import returns as returns_pkg  # noqa: F401
    from returns.maybe import Maybe, Nothing, Some
    from returns.pipeline import is_successful
    from returns.result import Failure, Success
except ImportError:
    returns_pkg = None

import pipelines

IMPLS = ["tarnwick", "floor", "result", "returns"]

NAMESPACES = {
    "tarnwick": {"Result": tarnwick.Result, "MayBe": tarnwick.MayBe},
    "floor": {"Floor": floor.Floor} if floor else None,
    "result": {"Ok": Ok, "Err": Err} if result_pkg else None,
    "returns": {"Success": Success, "Failure": Failure, "Some": Some, "Nothing": Nothing, "Maybe": Maybe,
                "is_successful": is_successful} if returns_pkg else None,
}

# Setups shared by many rows. `f` is the function handed to map and friends:
# the builtin abs, the same for everyone, so the row measures the library.
T_OK = "r = Result.ok(7); f = abs"
T_ERR = "r = Result.err('bad input', 'E42'); f = abs"
T_JUST = "m = MayBe.just(7); f = abs"
T_NOTHING = "m = MayBe.nothing(); f = abs"
R_OK = "r = Ok(7); f = abs"
R_ERR = "r = Err('bad input'); f = abs"
S_OK = "r = Success(7); f = abs"
S_ERR = "r = Failure('bad input'); f = abs"
S_SOME = "m = Some(7); f = abs"
S_NOTHING = "m = Nothing; f = abs"

MATCH_RESULT = """match r:
    case Ok(v):
        f(v)
    case Err(e):
        g(e)"""
MATCH_RETURNS = """match r:
    case Success(v):
        f(v)
    case Failure(e):
        g(e)"""

# (group, row, {impl: (setup, statement)}); the statements are what a user of
# each library would write for the operation.
CASES = [
    ("construction", "Result.ok(x)", {
        "tarnwick": ("ok = Result.ok; x = 7", "ok(x)"),
        "floor": ("ok = Floor.ok; x = 7", "ok(x)"),
        "result": ("x = 7", "Ok(x)"),
        "returns": ("x = 7", "Success(x)")}),
    ("construction", "Result.err(msg)", {
        "tarnwick": ("err = Result.err; m = 'bad input'", "err(m)"),
        "result": ("m = 'bad input'", "Err(m)"),
        "returns": ("m = 'bad input'", "Failure(m)")}),
    ("construction", "Result.err(msg, code)", {
        "tarnwick": ("err = Result.err; m = 'bad input'; c = 'E42'", "err(m, c)"),
        "result": ("m = 'bad input'; c = 'E42'", "Err((m, c))"),
        "returns": ("m = 'bad input'; c = 'E42'", "Failure((m, c))")}),
    ("construction", "MayBe(x)", {
        "tarnwick": ("x = 7", "MayBe(x)"),
        "returns": ("x = 7; from_optional = Maybe.from_optional", "from_optional(x)")}),
    ("construction", "MayBe.just(x)", {
        "tarnwick": ("just = MayBe.just; x = 7", "just(x)"),
        "returns": ("x = 7", "Some(x)")}),
    ("construction", "MayBe.nothing()", {
        "tarnwick": ("nothing = MayBe.nothing", "nothing()"),
        "returns": ("from_optional = Maybe.from_optional", "from_optional(None)")}),
    ("predicates", "is_ok() on Ok", {
        "tarnwick": (T_OK, "r.is_ok()"), "floor": ("r = Floor.ok(7)", "r.is_ok()"),
        "result": (R_OK, "r.is_ok()"), "returns": (S_OK, "is_successful(r)")}),
    ("predicates", "is_err() on Err", {
        "tarnwick": (T_ERR, "r.is_err()"), "result": (R_ERR, "r.is_err()"),
        "returns": (S_ERR, "not is_successful(r)")}),
    ("predicates", "is_just() on Just", {
        "tarnwick": (T_JUST, "m.is_just()"), "returns": (S_SOME, "is_successful(m)")}),
    ("predicates", "truth value (if r:)", {
        "tarnwick": (T_OK, "if r: pass"), "floor": ("r = Floor.ok(7)", "if r: pass"),
        "result": (R_OK, "if r: pass"), "returns": (S_OK, "if r: pass")}),
    ("unwrap", "unwrap() on Ok", {
        "tarnwick": (T_OK, "r.unwrap()"), "result": (R_OK, "r.unwrap()"), "returns": (S_OK, "r.unwrap()")}),
    ("unwrap", "unwrap_or(d) on Ok", {
        "tarnwick": (T_OK + "; d = 0", "r.unwrap_or(d)"), "floor": ("r = Floor.ok(7); d = 0", "r.unwrap_or(d)"),
        "result": (R_OK + "; d = 0", "r.unwrap_or(d)"), "returns": (S_OK + "; d = 0", "r.value_or(d)")}),
    ("unwrap", "unwrap_or(d) on Err", {
        "tarnwick": (T_ERR + "; d = 0", "r.unwrap_or(d)"), "result": (R_ERR + "; d = 0", "r.unwrap_or(d)"),
        "returns": (S_ERR + "; d = 0", "r.value_or(d)")}),
    ("unwrap", "unwrap_err() on Err", {
        "tarnwick": (T_ERR, "r.unwrap_err()"), "result": (R_ERR, "r.unwrap_err()"),
        "returns": (S_ERR, "r.failure()")}),
    ("unwrap", "expect(msg) on Ok", {
        "tarnwick": (T_OK + "; s = 'boom'", "r.expect(s)"), "result": (R_OK + "; s = 'boom'", "r.expect(s)")}),
    ("unwrap", "to_option() on Ok", {
        "tarnwick": (T_OK, "r.to_option()"), "result": (R_OK, "r.ok()")}),
    ("unwrap", "MayBe.or_else(d) on Nothing", {
        "tarnwick": (T_NOTHING + "; d = 0", "m.or_else(d)"), "returns": (S_NOTHING + "; d = 0", "m.value_or(d)")}),
    ("map", "map(f) on Ok", {
        "tarnwick": (T_OK, "r.map(f)"), "floor": ("r = Floor.ok(7); f = abs", "r.map(f)"),
        "result": (R_OK, "r.map(f)"), "returns": (S_OK, "r.map(f)")}),
    ("map", "map(f) on Err", {
        "tarnwick": (T_ERR, "r.map(f)"), "result": (R_ERR, "r.map(f)"), "returns": (S_ERR, "r.map(f)")}),
    ("map", "MayBe.map(f) on Just", {
        "tarnwick": (T_JUST, "m.map(f)"), "returns": (S_SOME, "m.map(f)")}),
    ("map", "map_err(g) on Err", {
        "tarnwick": (T_ERR + "\ndef g(m, c, d): return m, c, d", "r.map_err(g)"),
        "result": (R_ERR + "\ndef g(e): return e", "r.map_err(g)"),
        "returns": (S_ERR + "\ndef g(e): return e", "r.alt(g)")}),
    ("map", "and_then(k) on Ok", {
        "tarnwick": (T_OK + "; k = Result.ok", "r.and_then(k)"),
        "result": (R_OK + "; k = Ok", "r.and_then(k)"),
        "returns": (S_OK + "; k = Success", "r.bind(k)")}),
    ("map", "flat_map(k) on Ok", {
        "tarnwick": (T_OK + "; k = Result.ok", "r.flat_map(k)"),
        "result": (R_OK + "; k = Ok", "r.and_then(k)"),
        "returns": (S_OK + "; k = Success", "r.bind(k)")}),
    ("map", "and_then(k) on Err", {
        "tarnwick": (T_ERR + "; k = Result.ok", "r.and_then(k)"),
        "result": (R_ERR + "; k = Ok", "r.and_then(k)"),
        "returns": (S_ERR + "; k = Success", "r.bind(k)")}),
    ("map", "MayBe.flat_map(k) on Just", {
        "tarnwick": (T_JUST + "; k = MayBe.just", "m.flat_map(k)"),
        "returns": (S_SOME + "; k = Some", "m.bind(k)")}),
    ("operators", "r >> k on Ok", {
        "tarnwick": (T_OK + "; k = Result.ok", "r >> k"),
        "result": (R_OK + "; k = Ok", "r.and_then(k)"),
        "returns": (S_OK + "; k = Success", "r.bind(k)")}),
    ("operators", "r \\| d on Err", {
        "tarnwick": (T_ERR + "; d = 0", "r | d"),
        "result": (R_ERR + "; d = 0", "r.unwrap_or(d)"),
        "returns": (S_ERR + "; d = 0", "r.value_or(d)")}),
    ("match", "match on Ok", {
        "tarnwick": (T_OK + "; g = len", "r.match(ok=f, err=g)"),
        "result": (R_OK + "; g = len", MATCH_RESULT),
        "returns": (S_OK + "; g = len", MATCH_RETURNS)}),
    ("match", "match on Err", {
        "tarnwick": (T_ERR + "\ndef g(m, c, d): return m", "r.match(ok=f, err=g)"),
        "result": (R_ERR + "\ndef g(e): return e", MATCH_RESULT),
        "returns": (S_ERR + "\ndef g(e): return e", MATCH_RETURNS)}),
    ("dict form", "to_dict() on Err", {
        "tarnwick": ("r = Result.err('bad input', 'E42')", "r.to_dict()")}),
    ("dict form", "from_dict(d) of an Err", {
        "tarnwick": ("fd = Result.from_dict; d = Result.err('bad input', 'E42').to_dict()", "fd(d)")}),
    ("repr", "repr() of Ok", {
        "tarnwick": ("r = Result.ok(7)", "repr(r)"), "result": ("r = Ok(7)", "repr(r)"),
        "returns": ("r = Success(7)", "repr(r)")}),
    ("repr", "repr() of Err", {
        "tarnwick": ("r = Result.err('bad input', 'E42')", "repr(r)"), "result": ("r = Err('bad input')", "repr(r)"),
        "returns": ("r = Failure('bad input')", "repr(r)")}),
    ("iteration", "for v in r (Ok)", {
        "tarnwick": (T_OK, "for v in r: pass"), "result": (R_OK, "for v in r: pass"),
        "returns": (S_OK, "for v in r: pass")}),
]


def calibrate(loop, target_s: float) -> int:
    n = 1000
    while True:
        start = time.perf_counter()
        loop(n)
        elapsed = time.perf_counter() - start
        if elapsed >= target_s / 4 or n >= 10_000_000:
            return max(1000, int(n * target_s / max(elapsed, 1e-9)))
        n *= 4


def time_loop(loop, n: int) -> float:
    start = time.perf_counter_ns()
    loop(n)
    return time.perf_counter_ns() - start


def bench_case(impls: dict, repeat: int, target_s: float, rng: random.Random) -> dict[str, float]:
    """ns per operation for each implementation of one row."""
    jobs = []  # (impl, kind, loop, n)
    for impl, (setup, stmt) in impls.items():
        ns = NAMESPACES[impl]
        if ns is None:
            continue
        op = make_loop(setup, stmt, ns)
        empty = make_loop(setup, "pass", ns)
        op(200)  # warm-up: specialisation, caches
        empty(200)
        n = calibrate(op, target_s)
        jobs += [(impl, "op", op, n), (impl, "empty", empty, n)]
    samples = {(impl, kind): [] for impl, kind, _, _ in jobs}
    for _ in range(repeat):
        rng.shuffle(jobs)
        for impl, kind, loop, n in jobs:
            samples[(impl, kind)].append(time_loop(loop, n) / n)
    return {impl: statistics.median(samples[(impl, "op")]) - statistics.median(samples[(impl, "empty")])
            for impl, kind, _, _ in jobs if kind == "op"}


def bench_pipelines(repeat: int, rng: random.Random) -> list[tuple[str, dict[str, float]]]:
    records = pipelines.make_records(pipelines.RECORDS)
    runs = {"tarnwick": pipelines.run_tarnwick}
    if result_pkg:
        runs["result"] = pipelines.run_result
    if returns_pkg:
        runs["returns"] = pipelines.run_returns
    plain, bare = pipelines.run_plain, pipelines.run_bare
    expected = plain(records)
    if bare(records) != expected:
        raise SystemExit("bare pipeline disagrees with try/except")
    for name, run in runs.items():
        got = run(records)
        if got != expected:
            raise SystemExit(f"pipeline {name} disagrees with try/except: {got} != {expected}")
    jobs = [(name, run) for name, run in runs.items()] + [("plain", plain), ("bare", bare)]
    samples = {name: [] for name, _ in jobs}
    for _ in range(repeat):
        rng.shuffle(jobs)
        for name, run in jobs:
            start = time.perf_counter_ns()
            run(records)
            samples[name].append((time.perf_counter_ns() - start) / len(records))
    per_record = {name: statistics.median(v) for name, v in samples.items()}
    chains = {k: v for k, v in per_record.items() if k not in ("plain", "bare")}
    library = {k: v - per_record["bare"] for k, v in chains.items()}
    return [(f"pipeline, Result chains (per record, {len(records):,} records)", chains),
            ("pipeline, library share (chains minus the bare steps)", library),
            ("pipeline, plain try/except (per record; tarnwick column)", {"tarnwick": per_record["plain"]}),
            ("pipeline, bare steps, no library (per record; tarnwick column)", {"tarnwick": per_record["bare"]})]


def fmt_ns(v: float | None) -> str:
    if v is None:
        return "—"
    return f"{v:,.0f}" if v >= 100 else f"{v:.1f}"


def fmt_ratio(num: float | None, den: float | None) -> str:
    if num is None or den is None or den <= 0:
        return "—"
    return f"{num / den:.2f}x"


def sizes_section() -> list[str]:
    R, M = tarnwick.Result, tarnwick.MayBe
    lines = ["", "Instance sizes (sys.getsizeof, bytes)", "",
             "| instance | tarnwick | result 0.17.0 | returns 0.30.0 |", "|---|---:|---:|---:|"]
    rows = [
        ("Ok(x)", R.ok(7), Ok(7) if result_pkg else None, Success(7) if returns_pkg else None),
        ("Err(msg)", R.err("bad input"), Err("bad input") if result_pkg else None,
         Failure("bad input") if returns_pkg else None),
        ("Err(msg, code, details)", R.err("bad input", "E42", {"k": 1}), None, None),
        ("Just(x)", M.just(7), None, Some(7) if returns_pkg else None),
        ("Nothing", M.nothing(), None, Nothing if returns_pkg else None),
    ]
    for label, *objs in rows:
        cells = [str(sys.getsizeof(o)) if o is not None else "—" for o in objs]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    lines += ["", "Heap per Err with message and code (tracemalloc, 10,000 Errs, fresh 20-character message each,"
              " shared code; the texts are counted, the instance too)", "",
              "| implementation | bytes per Err | blocks per Err |", "|---|---:|---:|"]
    makers = [("tarnwick Result.err(msg, code)", lambda m, c: R.err(m, c))]
    if result_pkg:
        makers.append(("result Err((msg, code))", lambda m, c: Err((m, c))))
    if returns_pkg:
        makers.append(("returns Failure((msg, code))", lambda m, c: Failure((m, c))))
    count = 10_000
    for label, make in makers:
        gc.collect()
        code = "E_VALIDATION"
        tracemalloc.start()
        base = tracemalloc.take_snapshot()
        kept = [make(f"value out of range {i:02d}", code) for i in range(count)]
        snap = tracemalloc.take_snapshot()
        tracemalloc.stop()
        stats = [s for s in snap.compare_to(base, "filename") if s.size_diff > 0]
        size = sum(s.size_diff for s in stats)
        blocks = sum(s.count_diff for s in stats)
        # the list holding them: one pointer per Err, not part of an Err
        list_bytes = sys.getsizeof(kept)
        lines.append(f"| {label} | {(size - list_bytes) / count:.1f} | {(blocks - 1) / count:.2f} |")
        del kept
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=25, help="repetitions per row (median taken)")
    parser.add_argument("--target", type=float, default=0.004, help="seconds per sample")
    parser.add_argument("--pipeline-repeat", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="few repetitions, for a smoke run")
    parser.add_argument("--only", help="run the rows whose name contains this text")
    args = parser.parse_args()
    if args.quick:
        args.repeat, args.target, args.pipeline_repeat = 3, 0.001, 1
    rng = random.Random(12345)

    rows = []
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for group, row, impls in CASES:
            if args.only and args.only not in row:
                continue
            rows.append((row, bench_case(impls, args.repeat, args.target, rng)))
        if not args.only or "pipeline" in args.only:
            gc.enable()  # the pipelines make 10^5 records: run them as a program would
            rows += bench_pipelines(args.pipeline_repeat, rng)
    finally:
        if gc_was:
            gc.enable()

    print(f"Python {platform.python_version()} ({sys.executable}), {platform.machine()}; "
          f"median of {args.repeat} interleaved repetitions, ns per operation net of an empty loop")
    print()
    print("| operation | tarnwick | floor | result 0.17.0 | returns 0.30.0 | result ÷ tarnwick |"
          " returns ÷ tarnwick | tarnwick ÷ floor |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for row, t in rows:
        tw, fl, rs, rt = (t.get(k) for k in IMPLS)
        print(f"| {row} | {fmt_ns(tw)} | {fmt_ns(fl)} | {fmt_ns(rs)} | {fmt_ns(rt)} | {fmt_ratio(rs, tw)} |"
              f" {fmt_ratio(rt, tw)} | {fmt_ratio(tw, fl)} |")
    print("\n".join(sizes_section()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
