"""Differential test: random operation sequences through tarnwick and through
a small pure-Python model of the documented behaviour, compared step by step
(states, returned objects by identity, exception types and exact messages).

The model (tests/fuzz/fuzz_model.py) is a test oracle: it states the rules
plainly. The programs here stay on documented calls; the fuzz target drives
the same model through argument binding, the operator protocol and hostile
objects.
"""
from __future__ import annotations

import os
import sys

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnwick

FULL = os.environ.get("TARNWICK_RELIABILITY_FULL") == "1"
EXAMPLES = 20_000 if FULL else 1_000


# The model of the documented behaviour is shared with the fuzz target.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz"))

from fuzz_model import MayBe, Result  # noqa: E402


# ---------------------------------------------------------------------------
# The two worlds, and a description that compares them


class World:
    def __init__(self, result, maybe):
        self.R, self.M = result, maybe
        R, M = result, maybe

        def raise_cb(*a):
            raise KeyError("callback")

        # Callables, one per name, made from this world's classes.
        self.unary = {
            "ident": lambda v: v,
            "const": lambda v: "const",
            "none": lambda v: None,
            "to_ok": lambda v: R.ok(v),
            "to_err": lambda v: R.err("from callable", None, v),
            "to_just": lambda v: M.just(v),
            "to_nothing": lambda v: M.nothing(),
            "raises": raise_cb,
            "not_callable": 5,
        }
        self.ternary = {
            "triple": lambda m, c, d: (m + "!", c, d),
            "drop_code": lambda m, c, d: (m, None, None),
            "list": lambda m, c, d: [m, c, d],
            "pair": lambda m, c, d: (m, c),
            "bad_message": lambda m, c, d: (1, c, d),
            "bad_code": lambda m, c, d: (m, 5, d),
            "raises": raise_cb,
        }
        self.nullary = {"seven": lambda: 7, "raises": raise_cb}


REAL = World(tarnwick.Result, tarnwick.MayBe)
MODEL = World(Result, MayBe)


def describe(x, world: World, depth: int = 0):
    if depth > 30:
        return "deep"
    if type(x) is world.R:
        return ("Result", describe(x.to_dict(), world, depth + 1))
    if type(x) is world.M:
        return ("MayBe", x.is_just(), describe(x.to_option(), world, depth + 1))
    if type(x) in (tuple, list):
        return (type(x).__name__, tuple(describe(e, world, depth + 1) for e in x))
    if type(x) is dict:
        return ("dict", tuple((k, describe(v, world, depth + 1)) for k, v in x.items()))
    if type(x) in (int, str, bool, float, type(None)):
        return (type(x).__name__, x)
    return ("object", id(x))  # shared payloads: the very same object


def run(world: World, step, pool: list):
    kind, args = step
    R, M = world.R, world.M
    pick = lambda i: pool[i % len(pool)]  # noqa: E731

    def payload(p):
        tag, v = p
        return pick(v) if tag == "pool" else v

    if kind == "ok":
        return R.ok(payload(args))
    if kind == "err":
        message, code, details = args
        return R.err(message, code, payload(details))
    if kind == "maybe":
        return M(payload(args))
    if kind == "just":
        return M.just(payload(args))
    if kind == "nothing":
        return M.nothing()
    if kind == "from_dict":
        return R.from_dict({k: payload(v) if k in ("value", "details") else v for k, v in args})
    target = pick(args[0])
    rest = args[1:]
    if kind in ("is_ok", "is_err", "unwrap", "unwrap_err", "to_option", "to_dict", "is_just", "is_nothing"):
        if not hasattr(target, kind):
            return "n/a"
        return getattr(target, kind)()
    if kind in ("bool", "len", "list", "repr"):
        return {"bool": bool, "len": len, "list": list, "repr": repr}[kind](target)
    if kind == "expect":
        return target.expect(rest[0])
    if kind == "default":
        fallback = payload(rest[0])
        return target.unwrap_or(fallback) if type(target) is R else target.or_else(fallback)
    if kind == "or":
        return target | payload(rest[0])
    if kind in ("map", "flat_map", "and_then", "rshift"):
        func = world.unary[rest[0]]
        if kind == "and_then" and type(target) is M:
            kind = "flat_map"
        return target >> func if kind == "rshift" else getattr(target, kind)(func)
    if kind == "map_err":
        if type(target) is M:
            return "n/a"
        return target.map_err(world.ternary[rest[0]])
    if kind == "match":
        first, second = rest
        if type(target) is R:
            return target.match(world.unary.get(first), world.ternary.get(second))
        return target.match(world.unary.get(first), world.nullary.get(second))
    raise AssertionError(kind)


def outcome(world: World, step, pool: list):
    try:
        value = run(world, step, pool)
    except Exception as exc:  # noqa: BLE001 - exceptions are compared
        return ("raised", type(exc).__name__, str(exc)), None
    fresh = None
    if type(value) in (world.R, world.M):
        # Operations that yield an instance make a new one, never one that
        # exists already (the receiver included).
        fresh = all(value is not p for p in pool)
        pool.append(value)
    return ("returned", describe(value, world), fresh), value


# ---------------------------------------------------------------------------
# Strategies

SHARED = [object(), [1, 2], {"k": "v"}]
texts = st.sampled_from(["", "boom", "a\0b", "é'\"\\", "x" * 40, "\U0001f600", "\udc80"])
plain = st.one_of(
    st.sampled_from([None, 0, 1, -7, True, False, "", "s", "a\0b", "é", 2.5]),
    st.sampled_from(range(len(SHARED))).map(lambda i: SHARED[i]),
)
payloads = st.one_of(plain.map(lambda v: ("value", v)), st.integers(0, 50).map(lambda i: ("pool", i)))
index = st.integers(0, 50)
unary_names = st.sampled_from(sorted(REAL.unary))
ternary_names = st.sampled_from(sorted(REAL.ternary))
handler = st.one_of(st.none(), unary_names)
message_arg = st.one_of(texts, st.sampled_from([5, None]))

dict_entries = st.tuples(
    st.sampled_from([("ok", True), ("ok", False), ("ok", 1), ("ok", None), None]),
    st.one_of(st.none(), payloads.map(lambda p: ("value", p))),
    st.one_of(st.none(), st.one_of(texts, st.just(42)).map(lambda t: ("error", t))),
    st.one_of(st.none(), st.one_of(texts, st.sampled_from([42, None])).map(lambda t: ("code", t))),
    st.one_of(st.none(), payloads.map(lambda p: ("details", p))),
).map(lambda entries: tuple(e for e in entries if e is not None))

steps = st.one_of(
    st.tuples(st.just("ok"), payloads),
    st.tuples(st.just("err"), st.tuples(message_arg, st.one_of(st.none(), texts, st.just(3)), payloads)),
    st.tuples(st.just("maybe"), payloads),
    st.tuples(st.just("just"), payloads),
    st.tuples(st.just("nothing"), st.just(())),
    st.tuples(st.just("from_dict"), dict_entries),
    st.tuples(
        st.sampled_from(["is_ok", "is_err", "unwrap", "unwrap_err", "to_option", "to_dict", "is_just",
                         "is_nothing", "bool", "len", "list", "repr"]),
        st.tuples(index),
    ),
    st.tuples(st.just("expect"), st.tuples(index, message_arg)),
    st.tuples(st.sampled_from(["default", "or"]), st.tuples(index, payloads)),
    st.tuples(st.sampled_from(["map", "flat_map", "and_then", "rshift"]), st.tuples(index, unary_names)),
    st.tuples(st.just("map_err"), st.tuples(index, ternary_names)),
    st.tuples(st.just("match"), st.tuples(index, handler, st.one_of(st.none(), ternary_names,
                                                                   st.sampled_from(["seven"])))),
)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(steps, min_size=1, max_size=40))
def test_module_agrees_with_the_model(program) -> None:
    real_pool = [REAL.R.ok(1), REAL.R.err("e", "c", SHARED[0]), REAL.M.just("j"), REAL.M.nothing()]
    model_pool = [MODEL.R.ok(1), MODEL.R.err("e", "c", SHARED[0]), MODEL.M.just("j"), MODEL.M.nothing()]
    for number, step in enumerate(program):
        got, real_value = outcome(REAL, step, real_pool)
        want, model_value = outcome(MODEL, step, model_pool)
        assert got == want, f"step {number}: {step}"
        # Returned payloads are the very objects the model returns.
        if type(real_value) not in (REAL.R, REAL.M, tuple, list, dict, str, int, bool, float, type(None)):
            assert real_value is model_value
    assert len(real_pool) == len(model_pool)
