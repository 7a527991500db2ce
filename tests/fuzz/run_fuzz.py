"""Bounded fuzzing campaign: runs fuzz_target.py under atheris for a fixed
time, restarting it after a crash so that one finding does not end the run,
then reports executions, rate, time and findings.

    python tests/fuzz/run_fuzz.py --seconds 600 --out build/fuzz [--skip SHAPES]

The environment decides what is fuzzed (PYTHONPATH to the ASan+UBSan build
and LD_PRELOAD of the sanitizer runtimes, as `make check-fuzz` sets them).
When the sanitizer runtimes are preloaded, each fuzzing process gets, besides:
- atheris's libFuzzer preloaded ahead of them: the runtimes define weak
  stand-ins for libFuzzer's coverage callbacks, and the first definition in
  the search order wins, so otherwise atheris's coverage reaches nobody
  (ASan is told not to insist on coming first: verify_asan_link_order=0;
  nothing ahead of it defines an allocation function);
- PYTHONMALLOC=malloc, so that Python objects are malloc blocks that ASan
  watches (a write to a freed instance is a heap-use-after-free report
  instead of a write into the interpreter's own pools);
- UBSan's abort_on_error=1: UBSan keeps its own death callbacks, which
  libFuzzer does not know; an abort it does catch, and saves the input.
In --out: corpus/ (kept between runs, it is the fuzzer's memory),
mismatch-*.txt/.bin (differences from the model), crash-*/timeout-*/oom-*
(inputs that killed the process, each with a .txt: the program and the end of
the report), run-N.log (each process's output) and summary.txt. Findings of
an earlier run are removed first. Exit status 1 on any finding.
"""
from __future__ import annotations

import argparse
import glob
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

ARTIFACTS = ("crash-", "timeout-", "oom-", "leak-", "slow-unit-")
MAX_STARTS = 40


def finding_files(out: str) -> list[str]:
    names = sorted(os.listdir(out))
    return [n for n in names if n.startswith("mismatch-") and n.endswith(".txt")
            or n.startswith(ARTIFACTS) and "." not in n]


def executions(log: str) -> int:
    stat = re.findall(r"stat::number_of_executed_units:\s*(\d+)", log)
    if stat:
        return int(stat[-1])
    done = re.findall(r"^Done (\d+) runs", log, re.M)
    if done:
        return int(done[-1])
    pulses = re.findall(r"^#(\d+)\s", log, re.M)
    return int(pulses[-1]) if pulses else 0


def report_excerpt(log: str) -> str:
    """The sanitizer's or the interpreter's report, from its first line."""
    for marker in ("==ERROR:", "runtime error:", "Fatal Python error", "==== MISMATCH", "ALARM:",
                   "out-of-memory", "deadly signal"):
        at = log.find(marker)
        if at >= 0:
            start = log.rfind("\n", 0, at) + 1
            return log[start:start + 6000]
    return log[-3000:]


def child_environment() -> dict:
    env = dict(os.environ)
    if "libasan" not in env.get("LD_PRELOAD", ""):
        return env
    import atheris

    core = glob.glob(os.path.join(os.path.dirname(atheris.__file__), "core_with_libfuzzer*.so"))
    if core:
        env["LD_PRELOAD"] = core[0] + " " + env["LD_PRELOAD"]
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), "verify_asan_link_order=0"]))
    env["UBSAN_OPTIONS"] = ":".join(filter(None, [env.get("UBSAN_OPTIONS", ""), "abort_on_error=1"]))
    env.setdefault("PYTHONMALLOC", "malloc")
    return env


def describe_artifact(out: str, name: str, log: str, skip: str) -> None:
    import fuzz_program
    import fuzz_target

    path = os.path.join(out, name)
    with open(path, "rb") as f:
        data = f.read()
    program = fuzz_program.decode(data, fuzz_target.parse_skip(skip))
    with open(path + ".txt", "w", encoding="utf-8", errors="backslashreplace") as f:
        f.write(f"{name}: the process died on this input\n\nprogram:\n{fuzz_program.render(program)}\n\n")
        f.write(f"report:\n{report_excerpt(log)}\n")
        f.write(f"\nreplay: python {os.path.relpath(os.path.join(HERE, 'fuzz_target.py'))} --replay {path}"
                f"{' --skip ' + skip if skip else ''}\n")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=600)
    parser.add_argument("--out", default="build/fuzz")
    parser.add_argument("--skip", default="")
    parser.add_argument("--max-len", type=int, default=512)
    args = parser.parse_args()

    out = os.path.abspath(args.out)
    corpus = os.path.join(out, "corpus")
    os.makedirs(corpus, exist_ok=True)
    for name in os.listdir(out):
        if name.startswith(("mismatch-", "run-", "summary") + ARTIFACTS):
            os.remove(os.path.join(out, name))

    target = os.path.join(HERE, "fuzz_target.py")
    env = child_environment()
    start = time.monotonic()
    total, starts, crashes = 0, 0, []
    while starts < MAX_STARTS:
        remaining = int(args.seconds - (time.monotonic() - start))
        if remaining < 2:
            break
        starts += 1
        before = set(os.listdir(out))
        cmd = [sys.executable, target, "--findings", out]
        if args.skip:
            cmd += ["--skip", args.skip]
        cmd += [f"-max_total_time={remaining}", f"-artifact_prefix={out}/", "-timeout=60",
                "-rss_limit_mb=4096", f"-max_len={args.max_len}", "-print_final_stats=1", corpus]
        log_path = os.path.join(out, f"run-{starts}.log")
        print(f"[run_fuzz] start {starts}: {remaining} s left", flush=True)
        with open(log_path, "w") as log_file:
            rc = subprocess.call(cmd, stdout=log_file, stderr=subprocess.STDOUT, env=env)
        with open(log_path, errors="backslashreplace") as f:
            log = f.read()
        total += executions(log)
        new = [n for n in sorted(set(os.listdir(out)) - before) if n.startswith(ARTIFACTS)]
        for name in new:
            describe_artifact(out, name, log, args.skip)
            # The same input in the corpus would end the next process while
            # it loads the corpus (libFuzzer names both by the input's SHA-1).
            stale = os.path.join(corpus, name.split("-", 1)[1])
            if os.path.exists(stale):
                os.remove(stale)
            crashes.append(name)
            print(f"[run_fuzz] process died (status {rc}): {name}", flush=True)
        if rc != 0 and not new:
            print(f"[run_fuzz] process ended with status {rc} and no artifact; see {log_path}", flush=True)
            crashes.append(f"status {rc}, {os.path.basename(log_path)}")
            break
        if rc == 0:
            break

    elapsed = time.monotonic() - start
    findings = finding_files(out)
    lines = [
        f"fuzzing time:  {elapsed:.0f} s ({starts} process start{'s' if starts != 1 else ''})",
        f"executions:    {total} ({total / max(elapsed, 1e-9):.0f}/s)",
        f"corpus:        {len(os.listdir(corpus))} inputs",
        f"skipped shapes: {args.skip or 'none'}",
        f"environment:   LD_PRELOAD={env.get('LD_PRELOAD', '')} PYTHONMALLOC={env.get('PYTHONMALLOC', '')}",
        f"findings:      {len(findings)}",
        *[f"  {os.path.join(args.out, n)}" for n in findings],
    ]
    for n in crashes:
        if not n.startswith(ARTIFACTS):
            lines.append(f"  {n}")
    text = "\n".join(lines) + "\n"
    with open(os.path.join(out, "summary.txt"), "w") as f:
        f.write(text)
    print(text, end="")
    return 1 if findings or crashes else 0


if __name__ == "__main__":
    sys.exit(main())
