"""Differential test: random operation sequences through tarnwick and through
a small pure-Python model of the documented behaviour, compared step by step
(states, returned objects by identity, exception types and exact messages).

The model is a test oracle: it states the rules plainly and leaves out what
other tests cover (argument binding, the operator protocol's fallbacks).
"""
from __future__ import annotations

import os

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnwick

FULL = os.environ.get("TARNWICK_RELIABILITY_FULL") == "1"
EXAMPLES = 20_000 if FULL else 1_000


# ---------------------------------------------------------------------------
# The model


def cast_error(obj, required: str) -> TypeError:
    if obj is None:
        return TypeError(f"'None' is not an instance of '{required}'")
    return TypeError(f"'{type(obj).__qualname__}' object is not an instance of '{required}'")


def text(obj, parameter: str | None = None) -> str:
    if not isinstance(obj, str):
        exc = cast_error(obj, "str")
        raise TypeError(f"argument '{parameter}': {exc}") if parameter else exc
    obj.encode("utf-8")  # a lone surrogate raises UnicodeEncodeError
    return str(obj)


class Result:
    def __init__(self, ok, value=None, message=None, code=None, details=None, has_details=False):
        self._ok, self._value = ok, value
        self._message, self._code, self._details, self._has_details = message, code, details, has_details

    @staticmethod
    def ok(value):
        return Result(True, value)

    @staticmethod
    def err(message, code=None, details=None):
        message = text(message, "message")
        code = None if code is None else text(code, "code")
        return Result(False, message=message, code=code, details=details, has_details=details is not None)

    def is_ok(self):
        return self._ok

    def is_err(self):
        return not self._ok

    def unwrap(self):
        if self._ok:
            return self._value
        raise ValueError("Tried to unwrap an Err: " + self._message)

    def expect(self, message):
        message = text(message, "message")
        if self._ok:
            return self._value
        raise ValueError(message)

    def unwrap_or(self, default):
        return self._value if self._ok else default

    def unwrap_err(self):
        if self._ok:
            raise ValueError("Tried to unwrap_err on an Ok")
        return (self._message, self._code, self._details if self._has_details else None)

    def to_option(self):
        return self._value if self._ok else None

    def __bool__(self):
        return self._ok

    def __len__(self):
        return int(self._ok)

    def __iter__(self):
        return iter((self._value,) if self._ok else ())

    def __repr__(self):
        if self._ok:
            return f"Ok({str(self._value)})"
        if self._code is None:
            return f"Err('{self._message}')"
        return f"Err('{self._message}', code='{self._code}')"

    def _copy(self):
        return Result(self._ok, self._value, self._message, self._code, self._details, self._has_details)

    def map(self, func):
        return Result.ok(func(self._value)) if self._ok else self._copy()

    def map_err(self, func):
        if self._ok:
            return self._copy()
        out = func(*self.unwrap_err())
        if not isinstance(out, tuple):
            raise cast_error(out, "tuple")
        if len(out) != 3:
            raise ValueError(f"expected tuple of length 3, but got tuple of length {len(out)}")
        message = text(out[0])
        code = None if out[1] is None else text(out[1])
        return Result(False, message=message, code=code, details=out[2], has_details=out[2] is not None)

    def flat_map(self, func):
        if not self._ok:
            return self._copy()
        out = func(self._value)
        if not isinstance(out, Result):
            raise cast_error(out, "Result")
        return out._copy()

    and_then = flat_map
    __rshift__ = flat_map

    def match(self, ok=None, err=None):
        if self._ok:
            return None if ok is None else ok(self._value)
        return None if err is None else err(*self.unwrap_err())

    def __or__(self, other):
        return self._value if self._ok else other

    def to_dict(self):
        if self._ok:
            return {"ok": True, "value": self._value}
        d = {"ok": False, "error": self._message}
        if self._code is not None:
            d["code"] = self._code
        if self._has_details:
            d["details"] = self._details
        return d

    @staticmethod
    def from_dict(d):
        if not isinstance(d, dict):
            raise TypeError(f"argument 'dict': {cast_error(d, 'dict')}")
        if "ok" not in d:
            raise ValueError("Missing 'ok' key in dict")
        flag = d["ok"]
        if type(flag) is not bool:
            raise cast_error(flag, "bool")
        if flag:
            if "value" not in d:
                raise ValueError("Missing 'value' key for Ok result")
            return Result.ok(d["value"])
        if "error" not in d:
            raise ValueError("Missing 'error' key for Err result")
        message = text(d["error"])
        code = d.get("code")
        try:
            code = text(code)
        except (TypeError, UnicodeEncodeError):
            code = None
        return Result(False, message=message, code=code, details=d.get("details"), has_details="details" in d)


class MayBe:
    def __init__(self, obj):
        self._just, self._value = obj is not None, obj

    @staticmethod
    def just(obj):
        m = MayBe(None)
        m._just, m._value = True, obj
        return m

    @staticmethod
    def nothing():
        return MayBe(None)

    def is_just(self):
        return self._just

    def is_nothing(self):
        return not self._just

    def unwrap(self):
        if self._just:
            return self._value
        raise ValueError("Tried to unwrap a Nothing")

    def expect(self, message):
        message = text(message, "message")
        if self._just:
            return self._value
        raise ValueError(message)

    def to_option(self):
        return self._value if self._just else None

    def or_else(self, default):
        return self._value if self._just else default

    __or__ = or_else

    def __bool__(self):
        return self._just

    def __len__(self):
        return int(self._just)

    def __iter__(self):
        return iter((self._value,) if self._just else ())

    def __repr__(self):
        return f"Just({str(self._value)})" if self._just else "Nothing"

    def map(self, func):
        return MayBe.just(func(self._value)) if self._just else MayBe.nothing()

    def flat_map(self, func):
        if not self._just:
            return MayBe.nothing()
        out = func(self._value)
        if not isinstance(out, MayBe):
            raise cast_error(out, "MayBe")
        return MayBe.just(out._value) if out._just else MayBe.nothing()

    __rshift__ = flat_map

    def match(self, just=None, nothing=None):
        if self._just:
            return None if just is None else just(self._value)
        return None if nothing is None else nothing()


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
