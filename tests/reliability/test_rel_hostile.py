"""Hostile input: user code that mutates, raises, re-enters or drops objects
while the module is using them, huge texts and very deep chains.

The memory-sensitive scenarios run in child interpreters under
PYTHONMALLOC=debug, whose allocator poisons freed memory and checks buffer
ends, so a use-after-free or an overrun shows as a crash or a fatal error
instead of passing by luck. Every child must exit 0 and print its marker.
"""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

import tarnwick

R = tarnwick.Result
M = tarnwick.MayBe


def run_child(body: str, *, debug: bool = True, timeout: int = 300) -> str:
    env = dict(os.environ)
    if debug:
        env["PYTHONMALLOC"] = "debug"
    code = "import faulthandler, sys, tarnwick\nfaulthandler.enable()\nR, M = tarnwick.Result, tarnwick.MayBe\n"
    code += textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=timeout)
    assert proc.returncode == 0, f"rc={proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-4000:]}"
    return proc.stdout


# ---------------------------------------------------------------------------
# Dicts whose keys mutate them during from_dict's lookups


MUTATING_KEYS = """
import gc

ARMED = []

class Key:
    # Collides with one of the dict form's keys and runs code on comparison
    # once armed (inserting the real key after it compares them too).
    def __init__(self, target, action):
        self.target, self.action = target, action
    def __hash__(self):
        return hash(self.target)
    def __eq__(self, other):
        if ARMED:
            self.action()
        return False

def armed(d):
    ARMED.append(1)
    return d

def disarm():
    ARMED.clear()

class Sub(dict):
    pass

def check(make, expect):
    d = armed(make())
    try:
        out = R.from_dict(d)
    except (ValueError, TypeError, KeyError) as exc:
        out = (type(exc).__name__, str(exc))
    else:
        out = out.to_dict()
    disarm()
    assert expect(out), out
    del d
    gc.collect()

for kind in (dict, Sub):
    # Emptying the dict when "ok" is looked up: the lookup starts over on the
    # emptied table and finds nothing.
    def make_clear(kind=kind, target="ok"):
        d = kind()
        d[Key(target, lambda: d.clear())] = 1
        d.update(ok=True, value=[1])
        return d
    check(make_clear, lambda out: out == ("ValueError", "Missing 'ok' key in dict") or out == {"ok": True, "value": [1]})
    for target in ("value", "error", "code", "details"):
        def make(kind=kind, target=target):
            d = kind()
            d.update(ok=target == "value", error="e" * 50, code="c", details=[2])
            # Dropping every other entry, whose values die with them.
            d[Key(target, lambda: d.clear())] = 1
            d.update(value=[3])
            return d
        check(make, lambda out: isinstance(out, (dict, tuple)))
    # A key that raises from __eq__: the exception comes out of from_dict.
    class Boom(Exception):
        pass
    def raise_():
        raise Boom("eq")
    for target in ("ok", "value", "error", "code", "details"):
        d = kind()
        d[Key(target, raise_)] = 1
        d.update(ok=target == "value", value=1, error="e", code="c", details=2)
        try:
            R.from_dict(armed(d))
        except Boom:
            pass
        else:
            raise AssertionError(target)
        disarm()

# A key whose __hash__ mutates the dict is hashed on insertion, not on
# lookup; one whose __eq__ adds entries forces the table to be rebuilt.
d = {}
def grow():
    for i in range(100):
        d[("filler", i)] = i
d[Key("value", grow)] = 1
d.update(ok=True, value="kept")
assert R.from_dict(armed(d)).unwrap() == "kept"
disarm()
print("ok")
"""


def test_keys_that_mutate_the_dict_during_lookup() -> None:
    assert run_child(MUTATING_KEYS).strip() == "ok"


FLAGS = """
import gc

def numpy_like(bool_impl):
    cls = type("bool_", (), {"__module__": "numpy", "__bool__": bool_impl})
    return cls()

# __bool__ that empties the dict, drops the value it guards, or returns a
# non-bool: the module must hold its own references throughout.
for action in ("clear", "replace", "drop-self"):
    value = [object()]
    d = {}
    def impl(self, d=d, action=action):
        if action == "clear":
            d.clear()
        elif action == "replace":
            d["value"] = "replaced"
            d["ok"] = None
        else:
            del d["ok"]
        return True
    d["ok"] = numpy_like(impl)
    d["value"] = value
    try:
        out = R.from_dict(d).to_dict()
    except ValueError as exc:
        assert str(exc) == "Missing 'value' key for Ok result", exc
    else:
        assert out["ok"] is True and out["value"] in ("replaced",) or out["value"] is value, out
    del d
    gc.collect()

for returned in (1, None, "yes", numpy_like(lambda self: True)):
    try:
        R.from_dict({"ok": numpy_like(lambda self, r=returned: r), "value": 1})
    except TypeError as exc:
        assert "is not an instance of 'bool'" in str(exc), exc
    else:
        raise AssertionError(returned)

class Boom(Exception):
    pass
def raising(self):
    raise Boom()
try:
    R.from_dict({"ok": numpy_like(raising), "value": 1})
except Boom:
    pass
else:
    raise AssertionError
print("ok")
"""


def test_flags_whose_bool_mutates_or_misbehaves() -> None:
    assert run_child(FLAGS).strip() == "ok"


# ---------------------------------------------------------------------------
# __str__ of held values


class StrSub(str):
    def __str__(self):  # never used: the str() of a str subclass is a str copy
        return "sub-str"


class ReturnsSub:
    def __str__(self):
        return StrSub("inner\0text")


class ReturnsNonStr:
    def __str__(self):
        return 5


class Raises:
    def __str__(self):
        raise KeyError("str")


@pytest.mark.parametrize("wrap", [R.ok, M.just], ids=["Result", "MayBe"])
@pytest.mark.parametrize(
    ("held", "expected"),
    [
        (ReturnsSub(), "inner\0text"),
        ("a\0b", "a\0b"),
        ("é\U0001f600", "é\U0001f600"),
        (ReturnsNonStr(), TypeError),
        (Raises(), KeyError),
        ("\udc80", UnicodeEncodeError),
        ("x\ud800y", UnicodeEncodeError),
    ],
)
def test_repr_of_hostile_str(wrap, held, expected) -> None:
    m = wrap(held)
    prefix = "Ok(" if wrap is R.ok else "Just("
    if isinstance(expected, str):
        assert type(repr(m)) is str and repr(m) == prefix + expected + ")"
    else:
        with pytest.raises(expected):
            repr(m)
    assert m.unwrap() is held  # the instance is intact


def test_err_texts_with_nul_and_surrogates() -> None:
    r = R.err("a\0b\0", "\0")
    assert r.unwrap_err()[:2] == ("a\0b\0", "\0")
    assert repr(r) == "Err('a\0b\0', code='\0')"
    for bad in ("\udc80", "ok\ud800"):
        with pytest.raises(UnicodeEncodeError):
            R.err(bad)
        with pytest.raises(UnicodeEncodeError):
            R.err("m", bad)
        with pytest.raises(UnicodeEncodeError):
            R.ok(1).expect(bad)
        with pytest.raises(UnicodeEncodeError):
            R.err("e").map_err(lambda m, c, d: (bad, None, None))
    assert R.from_dict({"ok": False, "error": "e", "code": "\udc80"}).unwrap_err() == ("e", None, None)


def test_str_that_reenters_repr_of_the_same_instance() -> None:
    holder = []

    class Loop:
        def __str__(self):
            return repr(holder[0])

    holder.append(R.ok(Loop()))
    holder.append(M.just(Loop()))
    for target in list(holder):
        holder[0] = target
        with pytest.raises(RecursionError):
            repr(target)


# ---------------------------------------------------------------------------
# Callables that raise, re-enter, drop the last reference or return the receiver


REENTRY = """
import gc, sys

class Boom(Exception):
    pass

def instances():
    return [R.ok([1]), R.err("e", "c", [2]), M.just([3]), M.nothing()]

# Re-entering every method of the receiver from inside its own callable.
def everything(x):
    if type(x) is R:
        out = [x.is_ok(), x.is_err(), x.to_option(), x.unwrap_or(0), bool(x), len(x), list(x), repr(x),
               x.to_dict(), x.map(lambda v: v), x.map_err(lambda *t: t), x.match(lambda v: v, lambda *t: t), x | 0]
    else:
        out = [x.is_just(), x.is_nothing(), x.to_option(), x.or_else(0), bool(x), len(x), list(x), repr(x),
               x.map(lambda v: v), x.match(lambda v: v, lambda: 0), x | 0]
    return out

for x in instances():
    depth = [0]
    def f(*args, x=x):
        depth[0] += 1
        if depth[0] < 50:
            everything(x)
            x.match(f, f)
        return args[0] if len(args) == 1 else args
    x.match(f, f)
    if type(x) is R:
        x.map(f); x.map_err(f)
    else:
        x.map(f)
        x.match(f, f)

# Dropping the last outside reference to the receiver from inside its own
# callable: the call keeps the receiver alive until it returns.
class Dropper:
    def __init__(self, holder):
        self.holder = holder
    def __str__(self):
        self.holder.clear()
        gc.collect()
        return "dropped"

def dropping(holder, returns):
    def drop(*args):
        holder.clear()
        gc.collect()
        return returns
    return drop

makers = {"Result": lambda: R.ok([1]), "Err": lambda: R.err("e", None, [2]), "MayBe": lambda: M.just([3])}
for kind, make in makers.items():
    same = R.ok(1) if kind != "MayBe" else M.just(1)
    calls = {
        "map": lambda h, r=same: h[0].map(dropping(h, r)),
        "flat_map": lambda h, r=same: h[0].flat_map(dropping(h, r)),
        "match": lambda h, r=same: h[0].match(dropping(h, r), dropping(h, r)),
        "rshift": lambda h, r=same: h[0] >> dropping(h, r),
    }
    if kind != "MayBe":
        calls["map_err"] = lambda h: h[0].map_err(dropping(h, ("m", None, None)))
    for name, call in calls.items():
        holder = [make()]
        out = call(holder)
        assert holder == [] or kind == "Err" or name == "map_err", (kind, name)
        del out
    holder = []
    holder.append(R.ok(Dropper(holder)) if kind != "MayBe" else M.just(Dropper(holder)))
    assert repr(holder[0]).endswith("(dropped)")
    assert holder == []

# Returning the receiver itself: a new instance is made, never the receiver.
r = R.ok(1)
assert r.flat_map(lambda v: r) is not r and r.flat_map(lambda v: r).unwrap() == 1
assert (r >> (lambda v: r)) is not r
assert r.map(lambda v: r).unwrap() is r
m = M.just(1)
assert m.flat_map(lambda v: m) is not m and (m >> (lambda v: m)).unwrap() == 1
assert m.map(lambda v: m).unwrap() is m
e = R.err("e")
t = e.unwrap_err()
assert e.map_err(lambda *a: t).unwrap_err() == t
assert e.match(err=lambda *a: e) is e

# Callables that raise: the same exception object, the instance unchanged.
for x in instances():
    exc = Boom()
    def boom(*a):
        raise exc
    for call in (lambda: x.map(boom), lambda: x.match(boom, boom), lambda: x >> boom,
                 lambda: x.flat_map(boom)) + ((lambda: x.map_err(boom),) if type(x) is R else ()):
        try:
            call()
        except Boom as caught:
            assert caught is exc
    assert repr(x) in {"Ok([1])", "Err('e', code='c')", "Just([3])", "Nothing"}
print("ok")
"""


def test_callables_that_reenter_drop_or_return_the_receiver() -> None:
    assert run_child(REENTRY).strip() == "ok"


# ---------------------------------------------------------------------------
# Size


HUGE = """
n = 100 * 1024 * 1024
text = "é" * (n // 2)            # 100 MiB of UTF-8
r = R.err(text, text[:10], details=None)
msg, code, details = r.unwrap_err()
assert msg == text and code == text[:10]
try:
    r.unwrap()
except ValueError as exc:
    assert len(str(exc)) == len("Tried to unwrap an Err: ") + len(text)
try:
    r.expect(text)
except ValueError as exc:
    assert str(exc) == text
rep = repr(r)
assert len(rep) == len(text) + len("Err('', code='')") + 10
d = r.to_dict()
assert R.from_dict(d).unwrap_err()[0] == text
assert repr(R.ok(text)) == "Ok(" + text + ")"
assert repr(M.just(text))[5:-1] == text
del msg, rep, d
print("ok")
"""


def test_hundred_megabyte_texts() -> None:
    # Not under the debug allocator: its per-byte checks make this minutes.
    assert run_child(HUGE, debug=False).strip() == "ok"


DEEP = """
import gc, sys

N = 1_000_000

def chain(step, n):
    x = step(None)
    for _ in range(n):
        x = step(x)
    return x

# 10**6-deep chains of each kind, dropped in one go.
for step in (R.ok, M.just, lambda x: R.err("e", None, x), lambda x: M(x) if x is not None else M.just(0)):
    x = chain(step, N)
    del x

# Chains mixing Python containers and instances: the interpreter's own
# deferred deallocation and the module's interleave.
x = None
for i in range(N // 2):
    x = [R.ok(x)] if i % 2 else M.just((x,))
del x

# Payloads whose finaliser builds and drops chains of their own while a deep
# chain is being released.
class Dropper:
    count = 0
    def __del__(self):
        Dropper.count += 1
        y = chain(R.ok, 200)
        del y
x = None
for i in range(20_000):
    x = R.ok((x, Dropper()))
del x
gc.collect()
assert Dropper.count == 20_000, Dropper.count

# repr of a 10**5-deep chain: RecursionError, never a crash.
for step in (R.ok, M.just):
    x = chain(step, 100_000)
    try:
        repr(x)
    except RecursionError:
        pass
    else:
        raise AssertionError("no RecursionError")
    # and the chain still works afterwards
    assert x.unwrap().unwrap() is not None
    del x
print("ok")
"""


def test_deep_chains_built_dropped_and_printed() -> None:
    assert run_child(DEEP).strip() == "ok"
