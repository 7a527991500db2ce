"""Threads that really run at once: on a free-threaded interpreter the
module runs with the GIL off, so eight threads enter methods of the same
instances, share the same payloads and Err texts, and drop deep chains that
other threads built, all in parallel. On a GIL interpreter the same script
checks the same results with threads switching.

Afterwards every result must have been right, every payload's reference
count must be back where it started, every finaliser must have run, and on
a free-threaded interpreter the GIL must still be off.
"""
from __future__ import annotations

import subprocess
import sys
import sysconfig
import textwrap

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

SCRIPT = """
import queue, sys, threading
import tarnwick
R, M = tarnwick.Result, tarnwick.MayBe
THREADS, ROUNDS = int(sys.argv[1]), int(sys.argv[2])

class P:
    def __str__(self):
        return "P"

finalised = [0]
count_lock = threading.Lock()

class Counted:
    def __del__(self):
        with count_lock:
            finalised[0] += 1

value, details, held = P(), P(), P()
ok, err = R.ok(value), R.err("boom", "E1", details)
just, nothing = M.just(held), M.nothing()
watch = [value, details, held, ok, err, just, nothing]
before = [sys.getrefcount(o) for o in watch]

def same(v):
    return v

checks = {
    "map": lambda: ok.map(same).unwrap() is value,
    "map on Err": lambda: err.map(same).unwrap_err() == ("boom", "E1", details),
    "map_err": lambda: err.map_err(lambda m, c, d: (m + "!", c, d)).unwrap_err() == ("boom!", "E1", details),
    "flat_map": lambda: ok.flat_map(R.ok).unwrap() is value,
    "flat_map on Err": lambda: err.flat_map(R.ok).unwrap_err()[2] is details,
    ">>": lambda: (just >> M.just).unwrap() is held and (nothing >> M.just).is_nothing(),
    "match": lambda: ok.match(ok=same) is value and err.match(err=lambda m, c, d: c) == "E1",
    "match MayBe": lambda: just.match(just=same) is held and nothing.match(nothing=lambda: 1) == 1,
    "repr": lambda: (repr(ok), repr(err), repr(just), repr(nothing))
    == ("Ok(P)", "Err('boom', code='E1')", "Just(P)", "Nothing"),
    "dict form": lambda: R.from_dict(err.to_dict()).unwrap_err() == ("boom", "E1", details)
    and R.from_dict(ok.to_dict()).unwrap() is value,
    "|": lambda: (err | 5) == 5 and (just | 5) is held,
}

def deep_chain(n):
    chain = R.ok(Counted()) if n % 2 else M.just(Counted())
    for i in range(n):
        chain = R.ok(chain) if i % 2 else M.just(chain)
    return chain

handover = queue.Queue()
failures = []
barrier = threading.Barrier(THREADS)
built = [0]

def worker():
    barrier.wait()
    for r in range(ROUNDS):
        for name, check in checks.items():
            if not check():
                failures.append(name)
        if r % 10 == 0:
            # Built here, dropped by whichever thread takes it.
            handover.put(deep_chain(150 + r % 7))
            with count_lock:
                built[0] += 1
            try:
                taken = handover.get_nowait()
            except queue.Empty:
                pass
            else:
                del taken

threads = [threading.Thread(target=worker) for _ in range(THREADS)]
for t in threads:
    t.start()
for t in threads:
    t.join()
while not handover.empty():
    handover.get_nowait()
assert not failures, sorted(set(failures))
after = [sys.getrefcount(o) for o in watch]
assert after == before, (before, after)
assert finalised[0] == built[0], (finalised[0], built[0])
gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
print("gil", gil)
print("ok")
"""


def run_stress(threads: int, rounds: int) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(SCRIPT), str(threads), str(rounds)],
                          capture_output=True, text=True, timeout=300)


def test_eight_threads_share_instances_payloads_and_chains() -> None:
    proc = run_stress(8, 1500)
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.split()
    assert lines[-1] == "ok", proc.stdout
    if FREE_THREADED:
        # Importing tarnwick did not turn the GIL back on.
        assert proc.stdout.splitlines()[-2] == "gil False", proc.stdout
        assert "GIL" not in proc.stderr, proc.stderr
