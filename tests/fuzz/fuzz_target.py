"""Coverage-guided fuzz target: random programs over the whole call surface of
tarnwick, compared with the reference model (see fuzz_program.py).

    python tests/fuzz/fuzz_target.py [--skip SHAPES] [--findings DIR] [libFuzzer options] [CORPUS]
        fuzz with atheris (libFuzzer options such as -max_total_time=60)
    python tests/fuzz/fuzz_target.py --random N [--seed S] [--skip SHAPES]
        N pseudo-random inputs, without atheris
    python tests/fuzz/fuzz_target.py --replay FILE [FILE ...]
        run saved inputs, print their programs and the first difference

A difference from the model is written to DIR/mismatch-<signature>.txt (the
program, both outcomes, the replay command) with the input beside it
(.bin); a later input with the same signature replaces it when shorter. The
run goes on: a mismatch is a finding, not a stop. A crash (a signal, an ASan
or UBSan report) ends the process, and libFuzzer writes the input as
crash-<sha1> in the -artifact_prefix directory.

--skip takes a comma-separated list of the known open shapes
(fuzz_program.KNOWN_SHAPES), or "known" for all of them.
"""
from __future__ import annotations

import argparse
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)


def parse_skip(text: str) -> frozenset[str]:
    import fuzz_program

    names = {n.strip() for n in text.split(",") if n.strip()}
    if "known" in names:
        names = (names - {"known"}) | set(fuzz_program.KNOWN_SHAPES)
    unknown = names - set(fuzz_program.KNOWN_SHAPES)
    if unknown:
        raise SystemExit(f"unknown shapes to skip: {sorted(unknown)}; known: {fuzz_program.KNOWN_SHAPES}")
    return frozenset(names)


class Findings:
    """Mismatches by signature, written to a directory when one is given."""

    def __init__(self, directory: str | None) -> None:
        self.directory = directory
        self.counts: dict[str, int] = {}
        if directory:
            os.makedirs(directory, exist_ok=True)

    def record(self, mismatch, data: bytes, program) -> None:
        import fuzz_program

        sig = mismatch.signature()
        first = sig not in self.counts
        self.counts[sig] = self.counts.get(sig, 0) + 1
        if first:
            print(f"\n== MISMATCH {sig}: {mismatch}", file=sys.stderr, flush=True)
        if not self.directory:
            return
        base = os.path.join(self.directory, "mismatch-" + sig)
        if os.path.exists(base + ".bin") and os.path.getsize(base + ".bin") <= len(data):
            return
        with open(base + ".bin", "wb") as f:
            f.write(data)
        with open(base + ".txt", "w", encoding="utf-8", errors="backslashreplace") as f:
            f.write(describe_mismatch(mismatch, program))
            f.write(f"\nreplay: python {os.path.relpath(__file__)} --replay {base}.bin\n")
        del fuzz_program


def describe_mismatch(mismatch, program) -> str:
    import fuzz_program

    return (f"{mismatch}\n\nprogram:\n{fuzz_program.render(program)}\n\n"
            f"step {mismatch.step_index}: {mismatch.step!r}\n"
            f"  tarnwick: {mismatch.real!r}\n"
            f"  model:    {mismatch.model!r}\n")


def make_one_input(skip: frozenset[str], findings: Findings):
    import tarnwick

    import fuzz_program

    def one_input(data: bytes) -> None:
        program = fuzz_program.decode(data, skip)
        try:
            fuzz_program.run_program(program, tarnwick)
        except fuzz_program.Mismatch as mismatch:
            findings.record(mismatch, data, program)

    return one_input


def random_inputs(count: int, seed: int):
    rng = random.Random(seed)
    for _ in range(count):
        yield rng.randbytes(rng.randrange(0, 160))


def run_random(count: int, seed: int, skip: frozenset[str], findings: Findings) -> int:
    one_input = make_one_input(skip, findings)
    start = time.monotonic()
    for data in random_inputs(count, seed):
        one_input(data)
    elapsed = time.monotonic() - start
    print(f"{count} inputs in {elapsed:.1f} s ({count / max(elapsed, 1e-9):.0f}/s); "
          f"mismatches: {sum(findings.counts.values())} in {len(findings.counts)} signatures")
    for sig, n in sorted(findings.counts.items()):
        print(f"  {n:6}  {sig}")
    return 1 if findings.counts else 0


def replay(paths: list[str], skip: frozenset[str]) -> int:
    import tarnwick

    import fuzz_program

    status = 0
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        program = fuzz_program.decode(data, skip)
        print(f"== {path}\n{fuzz_program.render(program)}", flush=True)
        try:
            fuzz_program.run_program(program, tarnwick)
        except fuzz_program.Mismatch as mismatch:
            print(describe_mismatch(mismatch, program))
            status = 1
        else:
            print("same as the model")
    return status


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--skip", default="", help="known shapes to leave out (comma-separated, or 'known')")
    parser.add_argument("--findings", default=None, help="directory for mismatch reports")
    parser.add_argument("--random", type=int, default=None, metavar="N")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--replay", nargs="+", default=None, metavar="FILE")
    args, rest = parser.parse_known_args(argv[1:])
    fuzzing = args.replay is None and args.random is None
    if fuzzing:
        import atheris

        # Python-level coverage of the model and of the program runner (the
        # extension itself is not instrumented): imported here first.
        with atheris.instrument_imports():
            import fuzz_model  # noqa: F401
            import fuzz_program
    skip = parse_skip(args.skip)
    if args.replay:
        return replay(args.replay, skip)
    findings = Findings(args.findings)
    if args.random is not None:
        return run_random(args.random, args.seed, skip, findings)
    fuzz_program.REPLACE_RESULT_NEW = True
    atheris.Setup([argv[0], *rest], make_one_input(skip, findings), internal_libfuzzer=True)
    atheris.Fuzz()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
