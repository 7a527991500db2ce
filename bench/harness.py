"""Shared pieces of the benchmarks: loop compilation and the import path."""
from __future__ import annotations

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The module as built by `make lib`, and the floor and probe built by mk/bench.mk;
# TARNWICK_BENCH_PATH names other folders instead (a free-threaded build).
DEFAULT_PATH = (os.path.join(ROOT, "build", "bench"), os.path.join(ROOT, "build", "cmake"))
for path in os.environ.get("TARNWICK_BENCH_PATH", "").split(os.pathsep) if "TARNWICK_BENCH_PATH" in os.environ \
        else DEFAULT_PATH:
    if path not in sys.path:
        sys.path.insert(0, path)


def make_loop(setup: str, stmt: str, namespace: dict):
    """Compile `for _ in repeat(None, n): <stmt>` with every name that setup
    defines bound as a local (default argument), so the loop body pays for
    LOAD_FAST only. itertools.repeat makes no objects, which keeps the empty
    loop cheap and steady."""
    ns = dict(namespace)
    exec(setup, ns)
    names = sorted(k for k in ns if k not in namespace and k != "__builtins__")
    body = "\n".join("        " + line for line in stmt.splitlines())
    args = "".join(f", {k}={k}" for k in names)
    code = f"from itertools import repeat\ndef loop(n{args}):\n    for _ in repeat(None, n):\n{body}\n"
    exec(code, ns)
    return ns["loop"]
