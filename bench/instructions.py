"""Instructions per operation, counted by callgrind, for tarnwick and the floor.

Run as `python bench/instructions.py` (it starts itself again under
`valgrind --tool=callgrind`). Inside valgrind each operation runs in a loop
compiled for it; the counters are zeroed right before the loop and dumped
right after, and the same loop with an empty body is measured the same way.
Instructions per operation = (loop - empty loop) / iterations, so the loop,
the call that runs it and the client requests cancel out. The cyclic
collector is off while the loops run (as in bench_ops.py): otherwise a
collection that the allocations before a loop happen to schedule lands in
it, and adds its whole cost to that one operation.

`--profile OP` keeps the dump of one operation and prints callgrind_annotate's
per-function (self) counts for it.
"""
from __future__ import annotations

import argparse
import gc
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

from harness import make_loop

ITERATIONS = 20_000
WARMUP = 500

# (name, setup for tarnwick, statement for tarnwick, setup for the floor,
# statement for the floor). The floor has only ok, is_ok, unwrap_or, map and
# the truth value; its columns are None elsewhere.
OPS = [
    ("ok", "f = Result.ok; x = 7", "f(x)", "f = Floor.ok; x = 7", "f(x)"),
    ("is_ok", "r = Result.ok(7)", "r.is_ok()", "r = Floor.ok(7)", "r.is_ok()"),
    ("unwrap_or", "r = Result.ok(7); d = 0", "r.unwrap_or(d)", "r = Floor.ok(7); d = 0", "r.unwrap_or(d)"),
    ("map", "r = Result.ok(7); g = abs", "r.map(g)", "r = Floor.ok(7); g = abs", "r.map(g)"),
    ("truth value", "r = Result.ok(7)", "if r: pass", "r = Floor.ok(7)", "if r: pass"),
    # tarnwick only, for the profile
    ("err(msg, code)", "f = Result.err; m = 'bad input'; c = 'E42'", "f(m, c)", None, None),
    ("MayBe(x)", "f = MayBe; x = 7", "f(x)", None, None),
    ("just", "f = MayBe.just; x = 7", "f(x)", None, None),
    ("nothing", "f = MayBe.nothing", "f()", None, None),
    ("unwrap", "r = Result.ok(7)", "r.unwrap()", None, None),
    ("and_then", "r = Result.ok(7); g = Result.ok", "r.and_then(g)", None, None),
    ("r >> f", "r = Result.ok(7); g = Result.ok", "r >> g", None, None),
    ("r \\| d", "r = Result.ok(7); d = 0", "r | d", None, None),
    ("map (Err)", "r = Result.err('bad input', 'E42'); g = abs", "r.map(g)", None, None),
    ("match(ok=)", "r = Result.ok(7); g = abs", "r.match(ok=g)", None, None),
    ("unwrap_or(default=)", "r = Result.ok(7); d = 0", "r.unwrap_or(default=d)", None, None),
    ("to_dict", "r = Result.ok(7)", "r.to_dict()", None, None),
    ("repr", "r = Result.ok(7)", "repr(r)", None, None),
    ("iteration", "r = Result.ok(7)", "for v in r: pass", None, None),
    ("unwrap_err", "r = Result.err('bad input', 'E42')", "r.unwrap_err()", None, None),
    ("err(msg, code, details)", "f = Result.err; m = 'bad input'; c = 'E42'; d = {}", "f(m, c, d)", None, None),
    ("MayBe.nothing()", "f = MayBe.nothing", "f()", None, None),
    ("map (Nothing)", "m = MayBe.nothing(); g = abs", "m.map(g)", None, None),
    ("flat_map (Err)", "r = Result.err('bad input', 'E42'); g = Result.ok", "r.flat_map(g)", None, None),
    ("repr (Just)", "m = MayBe.just(7)", "repr(m)", None, None),
    ("repr (Nothing)", "m = MayBe.nothing()", "repr(m)", None, None),
    ("repr (Err)", "r = Result.err('bad input', 'E42')", "repr(r)", None, None),
    ("match(ok=, err=)", "r = Result.ok(7); g = abs; h = len", "r.match(ok=g, err=h)", None, None),
    ("match(f, g)", "r = Result.ok(7); g = abs; h = len", "r.match(g, h)", None, None),
    ("to_dict (Err)", "r = Result.err('bad input', 'E42', 5)", "r.to_dict()", None, None),
    ("ok(3).map(f).unwrap_or(0)", "ok = Result.ok; g = abs; z = 0", "ok(3).map(g).unwrap_or(z)", None, None),
    # payloads the cyclic collector tracks (a container) beside ones it does not
    ("ok(list)", "f = Result.ok; x = [1, 2]", "f(x)", None, None),
    ("err(msg, code, dict)", "f = Result.err; m = 'bad input'; c = 'E42'; d = {'field': 'port'}", "f(m, c, d)",
     None, None),
    ("map (list result)", "r = Result.ok(7); g = [0].__mul__", "r.map(g)", None, None),
]


def measure_inside(selected: list[str]) -> None:
    import cgprobe
    import tarnwick

    try:
        import floor
    except ImportError:  # a free-threaded interpreter cannot load the abi3 floor
        floor = None
    namespace = {"Result": tarnwick.Result, "MayBe": tarnwick.MayBe}
    if floor is not None:
        namespace["Floor"] = floor.Floor

    gc.disable()

    def run(label, loop):
        gc.collect()
        loop(WARMUP)
        cgprobe.zero()
        loop(ITERATIONS)
        cgprobe.dump(label)

    for name, t_setup, t_stmt, f_setup, f_stmt in OPS:
        if selected and name not in selected:
            continue
        run(f"empty|{name}|tarnwick", make_loop(t_setup, "pass", namespace))
        run(f"op|{name}|tarnwick", make_loop(t_setup, t_stmt, namespace))
        if f_setup is not None and floor is not None:
            run(f"empty|{name}|floor", make_loop(f_setup, "pass", namespace))
            run(f"op|{name}|floor", make_loop(f_setup, f_stmt, namespace))


def measure_in_subinterpreter(selected: list[str]) -> None:
    try:
        import _interpreters as low
    except ImportError:
        import _xxsubinterpreters as low
    interp = low.create(low.new_config("legacy")) if hasattr(low, "new_config") else low.create(isolated=False)
    code = (f"import sys\nsys.path[:] = {sys.path!r}\nimport instructions\n"
            f"instructions.measure_inside({selected!r})\n")
    failure = (getattr(low, "exec", None) or low.run_string)(interp, code)
    if failure is not None:
        raise SystemExit(f"the sub-interpreter raised: {failure}")
    low.destroy(interp)


def read_dumps(prefix: str) -> dict[str, tuple[int, str]]:
    counts = {}
    for path in glob.glob(prefix + ".*"):
        label = total = None
        with open(path, encoding="utf-8", errors="replace") as fh:
            for line in fh:
                if line.startswith("desc: Trigger: Client Request: "):
                    label = line.removeprefix("desc: Trigger: Client Request: ").strip()
                elif line.startswith("summary:"):
                    total = int(line.split()[1])
        if label and total is not None:
            counts[label] = (total, path)
    return counts


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--profile", metavar="OP", help="print per-function counts for one tarnwick operation")
    parser.add_argument("--floor-profile", action="store_true", help="with --profile: profile the floor instead")
    parser.add_argument("--save", metavar="FILE", help="also write the tarnwick counts as JSON")
    parser.add_argument("--baseline", metavar="FILE", help="show the counts of a --save file beside these")
    parser.add_argument("--subinterpreter", action="store_true",
                        help="measure inside a sub-interpreter (sharing the main GIL, so that the probes load)")
    parser.add_argument("ops", nargs="*", help="operations to measure (default: all)")
    args = parser.parse_args()
    if args.inside:
        if args.subinterpreter:
            measure_in_subinterpreter(args.ops)
        else:
            measure_inside(args.ops)
        return 0

    if shutil.which("valgrind") is None:
        print("valgrind is not installed (Debian: apt-get install valgrind)", file=sys.stderr)
        return 2
    selected = [args.profile] if args.profile else args.ops
    workdir = tempfile.mkdtemp(prefix="tarnwick-cg-")
    prefix = os.path.join(workdir, "cg")
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={prefix}", sys.executable, __file__, "--inside",
           *(["--subinterpreter"] if args.subinterpreter else []), *selected]
    done = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        print(done.stderr, file=sys.stderr)
        return done.returncode
    counts = read_dumps(prefix)

    def per_op(name, impl):
        op = counts.get(f"op|{name}|{impl}")
        empty = counts.get(f"empty|{name}|{impl}")
        if op is None or empty is None:
            return None
        return (op[0] - empty[0]) / ITERATIONS

    if args.profile:
        impl = "floor" if args.floor_profile else "tarnwick"
        path = counts[f"op|{args.profile}|{impl}"][1]
        print(f"{args.profile} ({impl}): {per_op(args.profile, impl):.1f} instructions per operation net of loop")
        annotated = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", path],
                                   capture_output=True, text=True).stdout
        program_total = None
        for line in annotated.splitlines():
            m = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)", line)
            if not m:
                continue
            count = int(m.group(1).replace(",", ""))
            if program_total is None:
                program_total = count
                continue
            if count < program_total and count >= ITERATIONS // 2:
                where = re.sub(r"^\S*/", "", m.group(2))  # drop source paths
                print(f"{count / ITERATIONS:8.1f}  {where}")
        shutil.rmtree(workdir, ignore_errors=True)
        return 0

    names = [name for name, *_ in OPS if not selected or name in selected]
    measured = {name: per_op(name, "tarnwick") for name in names}
    if args.save:
        with open(args.save, "w", encoding="utf-8") as fh:
            json.dump(measured, fh, indent=1)
            fh.write("\n")
    before = {}
    if args.baseline:
        with open(args.baseline, encoding="utf-8") as fh:
            before = json.load(fh)

    def cell(v):
        return f"{v:.1f}" if v is not None else "—"

    print(f"Instructions per operation (callgrind, net of an empty loop, {ITERATIONS} iterations)\n")
    head = "| operation | tarnwick | floor | tarnwick / floor |"
    rule = "|---|---:|---:|---:|"
    if args.baseline:
        head += f" {os.path.basename(args.baseline)} | now / then |"
        rule += "---:|---:|"
    print(head)
    print(rule)
    for name in names:
        t = measured[name]
        f = per_op(name, "floor")
        ratio = f"{t / f:.3f}x" if t is not None and f else "—"
        row = f"| {name} | {cell(t)} | {cell(f)} | {ratio} |"
        if args.baseline:
            b = before.get(name)
            row += f" {cell(b)} | {f'{t / b:.3f}x' if t is not None and b else '—'} |"
        print(row)
    shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
