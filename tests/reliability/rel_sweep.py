"""Allocation-failure sweep, run in a child interpreter.

    python rel_sweep.py NAME [NAME ...]

For each named operation of rel_ops.OPS and k = 0, 1, 2, ... the k-th
allocation made while the operation runs is failed (_testcapi.set_nomemory(k,
k + 1)), the hooks are removed right after the call, and the run is judged:
it must end in a return value equal to the fault-free one, or in an
exception (MemoryError, or the operation's own fault-free exception); the
payloads' reference counts must be back where they were and the receivers
unchanged. The sweep of an operation ends at the first k whose window the
operation never reached: a probe made of allocations of a known kind
(_testcapi.test_pymem_alloc0) runs while the hooks are still armed and meets
the failure itself.

Progress goes to stdout ("run NAME K" before each armed call, flushed), so a
parent that sees the child die knows which operation and which k killed it.
The last line per operation is "result NAME {json}".
"""
from __future__ import annotations

import faulthandler
import gc
import itertools
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _testcapi  # noqa: E402

import rel_ops  # noqa: E402

PROBE_CALLS = 4000
MAX_K = 5000

_alloc0 = _testcapi.test_pymem_alloc0


def _probe_untouched(rep) -> bool:
    """True when the armed failure is still ahead: the probe meets it."""
    try:
        for _ in rep:
            _alloc0()
    except RuntimeError:
        return True
    return False


# The module keeps up to 100 released instance blocks of each class and 100
# Err text blocks for reuse. While they hold any, most operations allocate
# nothing that could be failed, so more live instances and texts than that
# are held while the failure is armed: instance and text allocations then
# reach the allocator.
DRAIN = 150


def _drain() -> list:
    return [make(i) for i in range(DRAIN)
            for make in (rel_ops.R.ok, rel_ops.M.just, lambda i: rel_ops.R.err(str(i)))]


def _scrub(watch: list) -> None:
    # A watched exception keeps the traceback of its last raise, and through
    # its frames the arguments of the callable that raised it.
    for w in watch:
        if isinstance(w, BaseException):
            w.__traceback__ = None
            w.__context__ = None


def sweep(name: str) -> dict:
    setup = rel_ops.OPS.get(name) or rel_ops.CONTROLS[name]
    # Fault-free runs first: lazily made caches (interned names, dict keys)
    # exist from then on, so every k sees the same state.
    baseline = rel_ops.outcome(setup())
    again = rel_ops.outcome(setup())
    assert baseline == again, (name, baseline, again)
    report = {"name": name, "points": None, "memory_errors": 0, "same_error": 0, "anomalies": []}
    for k in range(MAX_K):
        case = setup()
        _scrub(case.watch)
        gc.collect()
        before = rel_ops.refcounts(case.watch)
        recv_before = [rel_ops.shape(r, case.watch) for r in case.receivers]
        call = case.call
        rep = itertools.repeat(None, PROBE_CALLS)
        value = raised = None
        print("run", name, k, flush=True)
        hold = _drain()
        _testcapi.set_nomemory(k, k + 1)
        try:
            value = call()
        except BaseException as exc:  # noqa: BLE001
            raised = exc
        untouched = _probe_untouched(rep)
        _testcapi.remove_mem_hooks()
        call = hold = None  # call holds the case's objects until the next case is made

        if raised is not None:
            got = ("raised", type(raised).__name__, str(raised))
            if type(raised) is MemoryError:
                report["memory_errors"] += 1
            elif got == baseline:
                report["same_error"] += 1
            else:
                report["anomalies"].append({"k": k, "kind": "other exception", "got": got})
        else:
            got = ("returned", rel_ops.shape(value, case.watch))
            if got != baseline:
                report["anomalies"].append({"k": k, "kind": "wrong result", "got": repr(got)})
        value = raised = None
        _scrub(case.watch)
        gc.collect()
        after = rel_ops.refcounts(case.watch)
        if after != before:
            report["anomalies"].append({"k": k, "kind": "refcounts", "before": before, "after": after})
        recv_after = [rel_ops.shape(r, case.watch) for r in case.receivers]
        if recv_after != recv_before:
            report["anomalies"].append({"k": k, "kind": "receiver changed"})
        if untouched:
            if got != baseline:
                report["anomalies"].append({"k": k, "kind": "untouched run differs", "got": repr(got)})
            report["points"] = k
            break
    return report


def main(names: list[str]) -> None:
    faulthandler.enable()
    for name in names:
        report = sweep(name)
        print("result", name, json.dumps(report), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:] or list(rel_ops.OPS))
