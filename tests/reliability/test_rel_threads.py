"""Threads: eight threads share instances of both classes.

With sys.setswitchinterval(1e-6) and user callables that call time.sleep(0),
the interpreter switches threads inside nearly every callable the module
runs, so other threads enter methods of the same instances while shared
access is held, and deallocations (including deep chains, whose release the
module defers and drains) interleave across threads. Every result is checked,
and afterwards the payloads' reference counts must be where they started.

TARNWICK_RELIABILITY_FULL=1 (make check-reliability) runs 10**5 operations
per thread; the default run is smaller.
"""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap

FULL = os.environ.get("TARNWICK_RELIABILITY_FULL") == "1"
OPS_PER_THREAD = 100_000 if FULL else 4_000

SCRIPT = """
import faulthandler, gc, sys, threading, time
import tarnwick
faulthandler.enable()
R, M = tarnwick.Result, tarnwick.MayBe
N = int(sys.argv[1])
THREADS = 8

class P:
    def __init__(self, tag): self.tag = tag
    def __str__(self): return "P" + str(self.tag)

class Slow:
    # A payload whose finaliser lets other threads run mid-deallocation.
    def __del__(self):
        time.sleep(0)

value, details, held = P("v"), P("d"), P("h")
ok, err = R.ok(value), R.err("boom", "E1", details)
just, nothing = M.just(held), M.nothing()
shared = [ok, err, just, nothing]
watch = [value, details, held, ok, err, just, nothing]

def yielding(f):
    def g(*args):
        time.sleep(0)
        return f(*args)
    return g

def reenter(v):
    time.sleep(0)
    # Re-enter the shared instances from inside a callable.
    assert ok.unwrap() is value and just.unwrap() is held and err.is_err()
    return v

checks = [
    lambda: ok.map(yielding(lambda v: v)).unwrap() is value,
    lambda: err.map(yielding(lambda v: 1)).unwrap_err() == ("boom", "E1", details),
    lambda: err.map_err(yielding(lambda m, c, d: (m + "!", c, d))).unwrap_err() == ("boom!", "E1", details),
    lambda: ok.flat_map(yielding(lambda v: err)).unwrap_err()[2] is details,
    lambda: (ok >> yielding(lambda v: ok)).unwrap() is value,
    lambda: ok.match(reenter, None) is value,
    lambda: err.match(None, yielding(lambda m, c, d: d)) is details,
    lambda: (ok | 0) is value and (err | 0) == 0,
    lambda: repr(ok) == "Ok(Pv)" and repr(err) == "Err('boom', code='E1')",
    lambda: ok.to_dict() == {"ok": True, "value": value},
    lambda: R.from_dict(err.to_dict()).unwrap_err() == ("boom", "E1", details),
    lambda: list(ok) == [value] and list(err) == [] and len(ok) == 1 and not err,
    lambda: just.map(yielding(reenter)).unwrap() is held,
    lambda: just.flat_map(yielding(lambda v: nothing)).is_nothing(),
    lambda: (just >> yielding(lambda v: just)).unwrap() is held,
    lambda: just.match(yielding(lambda v: v), None) is held,
    lambda: nothing.match(None, yielding(lambda: 7)) == 7,
    lambda: (just | 0) is held and (nothing | 5) == 5,
    lambda: repr(just) == "Just(Ph)" and repr(nothing) == "Nothing",
    lambda: list(just) == [held] and just.or_else(1) is held and nothing.to_option() is None,
    lambda: _raises(lambda: err.unwrap(), ValueError, "Tried to unwrap an Err: boom"),
    lambda: _raises(lambda: nothing.unwrap(), ValueError, "Tried to unwrap a Nothing"),
    lambda: _raises(lambda: ok.flat_map(yielding(lambda v: 5)), TypeError,
                    "'int' object is not an instance of 'Result'"),
    lambda: _chain(),
]

def _raises(f, kind, text):
    try:
        f()
    except kind as exc:
        return str(exc) == text
    return False

def _chain():
    # Build and drop a chain deep enough for deferred release, with
    # finalisers that switch threads in the middle of it.
    x = R.ok(Slow())
    for i in range(300):
        x = R.ok(x) if i % 3 else M.just((x, Slow()))
    del x
    return True

failures = []

def worker(seed):
    try:
        for i in range(N):
            k = (i * 7 + seed) % len(checks)
            if not checks[k]():
                failures.append((seed, i, k))
    except BaseException as exc:
        failures.append((seed, repr(exc)))

gc.collect()
before = [sys.getrefcount(o) for o in watch]
sys.setswitchinterval(1e-6)
threads = [threading.Thread(target=worker, args=(s,)) for s in range(THREADS)]
for t in threads: t.start()
for t in threads: t.join()
sys.setswitchinterval(0.005)
gc.collect()
after = [sys.getrefcount(o) for o in watch]
assert not failures, failures[:10]
assert before == after, (before, after)
assert repr(ok) == "Ok(Pv)" and err.unwrap_err() == ("boom", "E1", details) and just.unwrap() is held
print("ok", THREADS * N)
"""


def test_eight_threads_share_instances() -> None:
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(SCRIPT), str(OPS_PER_THREAD)],
        capture_output=True, text=True, timeout=3000,
    )
    assert proc.returncode == 0, f"rc={proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-4000:]}"
    assert proc.stdout.split() == ["ok", str(8 * OPS_PER_THREAD)]
