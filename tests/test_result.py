"""Behaviour of Result: inspection, extraction, combinators and operators.

Most behaviour is one table: (receiver, operation, arguments, expected value
or exception). The same table is replayed to check that no operation leaks or
over-releases a reference to the objects it was handed, on success and on
error paths. Identity, re-entrancy and thread switches have their own tests.
"""
from __future__ import annotations

import collections
import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
from dataclasses import dataclass
from typing import Any

import pytest

from tarnwick import Result as R


class Tag:
    """A payload that equals only itself, so every check on it is `is`."""

    __slots__ = ("name",)

    def __init__(self, name: str) -> None:
        self.name = name

    def __repr__(self) -> str:
        return f"<{self.name}>"


PAYLOAD = Tag("payload")
DETAILS = Tag("details")
DEFAULT = Tag("default")
RET = Tag("ret")
SENTINELS = (PAYLOAD, DETAILS, DEFAULT, RET)

ABSENT = object()


@dataclass(frozen=True)
class Shape:
    """A Result reduced to its dict form, as (key, value) pairs in order."""

    items: tuple


def Ok(value: Any) -> Shape:
    return Shape((("ok", True), ("value", value)))


def Err(message: str, code: Any = ABSENT, details: Any = ABSENT) -> Shape:
    items = [("ok", False), ("error", message)]
    if code is not ABSENT:
        items.append(("code", code))
    if details is not ABSENT:
        items.append(("details", details))
    return Shape(tuple(items))


@dataclass(frozen=True)
class Raises:
    type: type
    message: str


def normalise(obj: Any) -> Any:
    if type(obj) is R:
        return Shape(tuple((k, normalise(v)) for k, v in obj.to_dict().items()))
    return obj


def same(actual: Any, expected: Any) -> bool:
    """Equality that also insists on exact types, order and identity of tags."""
    if isinstance(expected, Shape):
        return (
            isinstance(actual, Shape)
            and len(actual.items) == len(expected.items)
            and all(ka == ke and same(va, ve) for (ka, va), (ke, ve) in zip(actual.items, expected.items))
        )
    if isinstance(expected, (tuple, list)):
        return (
            type(actual) is type(expected)
            and len(actual) == len(expected)
            and all(same(normalise(a), normalise(e)) for a, e in zip(actual, expected))
        )
    if isinstance(expected, dict):
        return (
            type(actual) is dict
            and list(actual) == list(expected)
            and all(same(normalise(actual[k]), normalise(v)) for k, v in expected.items())
        )
    if isinstance(expected, Tag) or callable(expected) or expected is NotImplemented:
        return actual is expected
    return type(actual) is type(expected) and actual == expected


def encode_error(text: str) -> str:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        return str(exc)
    raise AssertionError("text encodes")


SURROGATE = "\ud800"
SURROGATE_MSG = encode_error(SURROGATE)


# ---------------------------------------------------------------------------
# Receivers, callables and the table

class Loud:
    """An object whose str() raises."""

    def __str__(self) -> str:
        raise LookupError("no str for you")


class Sub(str):
    pass


Triple = collections.namedtuple("Triple", "message code details")


class Reflects:
    """Right operand with reflected operators, to see the protocol go on."""

    def __ror__(self, other: Any) -> Any:
        return RET

    def __rrshift__(self, other: Any) -> Any:
        return RET


REFLECTS = Reflects()

RECEIVERS = {
    "cls": lambda: R,
    "ok": lambda: R.ok(PAYLOAD),
    "ok_none": lambda: R.ok(None),
    "ok_zero": lambda: R.ok(0),
    "ok_hi": lambda: R.ok("hi"),
    "ok_ok": lambda: R.ok(R.ok(1)),
    "ok_ni": lambda: R.ok(NotImplemented),
    "ok_loud": lambda: R.ok(Loud()),
    "ok_surr": lambda: R.ok(SURROGATE),
    "err": lambda: R.err("boom"),
    "err_full": lambda: R.err("boom", "E42", DETAILS),
    "err_nones": lambda: R.err("boom", None, None),
    "err_empty": lambda: R.err(""),
    "err_ecode": lambda: R.err("e", ""),
    "err_raw": lambda: R.err("it's \\ 'q'\n", "c'd"),
}


def never(*args: Any) -> Any:
    raise AssertionError("must not be called")


def ident(v: Any) -> Any:
    return v


def spy(*args: Any) -> tuple:
    return args


def give_ret(*args: Any) -> Tag:
    return RET


def fails(*args: Any) -> Any:
    raise KeyError("from callable")


def returns(obj: Any):
    return lambda *args: obj


def ok_ret(v: Any) -> R:
    return R.ok(RET)


def err_ret(v: Any) -> R:
    return R.err("inner", "I1", RET)


def perform(op: str, receiver: Any, args: tuple, kw: dict) -> Any:
    if op == "repr":
        return repr(receiver)
    if op == "str":
        return str(receiver)
    if op == "len":
        return len(receiver)
    if op == "bool":
        return bool(receiver)
    if op == "list":
        return list(receiver)
    if op == ">>":
        return receiver >> args[0]
    if op == "|":
        return receiver | args[0]
    if op == "r>>":
        return args[0] >> receiver
    if op == "r|":
        return args[0] | receiver
    if op == "[]":
        return receiver[args[0]]
    return getattr(receiver, op)(*args, **kw)


def row(recv: str, op: str, args: tuple, expected: Any, kw: dict | None = None, label: str = ""):
    rid = f"{op}-{recv}" + (f"-{label}" if label else "")
    return pytest.param(recv, op, args, kw or {}, expected, id=rid)


NOT_CALLABLE = "'NoneType' object is not callable"
E_FULL = Err("boom", "E42", DETAILS)

ROWS = [
    # -- constructors (the parts of them the other operations lean on)
    row("cls", "err", ("m", None, None), Err("m"), label="nones-absent"),
    row("cls", "err", ("m", "", RET), Err("m", "", RET), label="empty-code"),
    row("cls", "err", (), Err("m", "c", RET), kw={"message": "m", "code": "c", "details": RET}, label="kw"),
    row("cls", "err", ("a\0b", "c\0"), Err("a\0b", "c\0"), label="nul"),
    row("cls", "err", (Sub("sub"), Sub("code")), Err("sub", "code"), label="str-subclass"),
    row("cls", "err", (5,), Raises(TypeError, "argument 'message': 'int' object is not an instance of 'str'")),
    row("cls", "err", ("m", 5), Raises(TypeError, "argument 'code': 'int' object is not an instance of 'str'")),
    row("cls", "err", (SURROGATE,), Raises(UnicodeEncodeError, SURROGATE_MSG), label="surrogate"),
    row("err", "ok", (PAYLOAD,), Ok(PAYLOAD), label="on-instance"),
    row("cls", "[]", ((int, str),), R, label="generic"),
    # -- predicates
    row("ok", "is_ok", (), True),
    row("err", "is_ok", (), False),
    row("err_empty", "is_err", (), True),
    # -- unwrap / expect / unwrap_or / to_option
    row("ok", "unwrap", (), PAYLOAD),
    row("ok_none", "unwrap", (), None),
    row("err_full", "unwrap", (), Raises(ValueError, "Tried to unwrap an Err: boom")),
    row("err_empty", "unwrap", (), Raises(ValueError, "Tried to unwrap an Err: ")),
    row("err_raw", "unwrap", (), Raises(ValueError, "Tried to unwrap an Err: it's \\ 'q'\n")),
    row("ok", "expect", ("m",), PAYLOAD),
    row("ok", "expect", (5,), Raises(TypeError, "argument 'message': 'int' object is not an instance of 'str'")),
    row("err", "expect", (None,), Raises(TypeError, "argument 'message': 'None' is not an instance of 'str'")),
    row("err_full", "expect", ("custom",), Raises(ValueError, "custom")),
    row("err", "expect", ("",), Raises(ValueError, ""), label="empty"),
    row("err", "expect", (), Raises(ValueError, "kw"), kw={"message": "kw"}, label="kw"),
    row("ok", "expect", (SURROGATE,), Raises(UnicodeEncodeError, SURROGATE_MSG), label="surrogate"),
    row("ok", "unwrap_or", (DEFAULT,), PAYLOAD),
    row("err_full", "unwrap_or", (DEFAULT,), DEFAULT),
    row("ok", "to_option", (), PAYLOAD),
    row("ok_none", "to_option", (), None),
    row("err_full", "to_option", (), None),
    row("ok", "unwrap_err", (), Raises(ValueError, "Tried to unwrap_err on an Ok")),
    row("err", "unwrap_err", (), ("boom", None, None)),
    row("err_nones", "unwrap_err", (), ("boom", None, None)),
    row("err_full", "unwrap_err", (), ("boom", "E42", DETAILS)),
    row("err_ecode", "unwrap_err", (), ("e", "", None)),
    row("err_empty", "unwrap_err", (), ("", None, None)),
    # -- protocol slots
    row("ok_zero", "len", (), 1),
    row("err", "len", (), 0),
    row("ok_zero", "bool", (), True),
    row("ok_none", "bool", (), True),
    row("err_empty", "bool", (), False),
    row("ok", "list", (), [PAYLOAD]),
    row("err_full", "list", (), []),
    # -- repr
    row("ok_hi", "repr", (), "Ok(hi)"),
    row("ok_none", "repr", (), "Ok(None)"),
    row("ok_ok", "repr", (), "Ok(Ok(1))"),
    row("ok_ok", "str", (), "Ok(Ok(1))"),
    row("err", "repr", (), "Err('boom')"),
    row("err_full", "repr", (), "Err('boom', code='E42')"),
    row("err_ecode", "repr", (), "Err('e', code='')"),
    row("err_raw", "repr", (), "Err('it's \\ 'q'\n', code='c'd')"),
    row("ok_loud", "repr", (), Raises(LookupError, "no str for you")),
    row("ok_surr", "repr", (), Raises(UnicodeEncodeError, SURROGATE_MSG)),
    # -- map
    row("ok", "map", (ident,), Ok(PAYLOAD)),
    row("ok", "map", (returns(None),), Ok(None), label="to-none"),
    row("ok", "map", (returns(R.ok(2)),), Ok(Ok(2)), label="no-flattening"),
    row("ok", "map", (), Ok(RET), kw={"func": give_ret}, label="kw"),
    row("err_full", "map", (never,), E_FULL),
    row("err", "map", (None,), Err("boom"), label="none-func"),
    row("ok", "map", (None,), Raises(TypeError, NOT_CALLABLE), label="none-func"),
    row("ok", "map", (fails,), Raises(KeyError, "'from callable'")),
    row("ok", "map", (), Raises(TypeError, "Result.map() got an unexpected keyword argument 'fn'"), kw={"fn": ident}),
    # -- map_err
    row("ok", "map_err", (never,), Ok(PAYLOAD)),
    row("ok", "map_err", (None,), Ok(PAYLOAD), label="none-func"),
    row("err", "map_err", (spy,), Err("boom"), label="triple-of-message-only"),
    row("err_full", "map_err", (spy,), E_FULL, label="triple-in-full"),
    row("err_ecode", "map_err", (spy,), Err("e", ""), label="empty-code"),
    row("err_full", "map_err", (returns(("m", None, None)),), Err("m"), label="drops-code-details"),
    row("err", "map_err", (returns(Triple("m", "c", RET)),), Err("m", "c", RET), label="tuple-subclass"),
    row("err", "map_err", (returns((Sub("s"), Sub("c"), None)),), Err("s", "c"), label="str-subclass"),
    row("err", "map_err", (returns(["m", "c", "d"]),), Raises(TypeError, "'list' object is not an instance of 'tuple'")),
    row("err", "map_err", (returns(None),), Raises(TypeError, "'None' is not an instance of 'tuple'")),
    row("err", "map_err", (returns(("m", None)),),
        Raises(ValueError, "expected tuple of length 3, but got tuple of length 2")),
    row("err", "map_err", (returns((RET,) * 4),),
        Raises(ValueError, "expected tuple of length 3, but got tuple of length 4")),
    row("err", "map_err", (returns((1, None, None)),), Raises(TypeError, "'int' object is not an instance of 'str'")),
    row("err", "map_err", (returns((None, None, RET)),), Raises(TypeError, "'None' is not an instance of 'str'")),
    row("err", "map_err", (returns(("m", 5, RET)),), Raises(TypeError, "'int' object is not an instance of 'str'"),
        label="bad-code"),
    row("err", "map_err", (returns((SURROGATE, None, RET)),), Raises(UnicodeEncodeError, SURROGATE_MSG)),
    row("err", "map_err", (returns(("m", SURROGATE, RET)),), Raises(UnicodeEncodeError, SURROGATE_MSG),
        label="code"),
    row("err_full", "map_err", (fails,), Raises(KeyError, "'from callable'")),
    # -- flat_map / and_then
    row("ok", "flat_map", (ok_ret,), Ok(RET)),
    row("ok", "and_then", (err_ret,), Err("inner", "I1", RET)),
    row("ok", "flat_map", (returns(5),), Raises(TypeError, "'int' object is not an instance of 'Result'")),
    row("ok", "and_then", (returns(None),), Raises(TypeError, "'None' is not an instance of 'Result'")),
    row("ok", "flat_map", (fails,), Raises(KeyError, "'from callable'")),
    row("err_full", "flat_map", (never,), E_FULL),
    row("err_full", "and_then", (5,), E_FULL, label="not-callable"),
    row("ok", "and_then", (), Ok(RET), kw={"func": ok_ret}, label="kw"),
    # -- match
    row("ok", "match", (), None),
    row("err", "match", (), None),
    row("ok", "match", (), PAYLOAD, kw={"ok": ident, "err": never}),
    row("ok", "match", (ident, never), PAYLOAD, label="positional"),
    row("ok", "match", (), None, kw={"err": never}, label="err-only"),
    row("err", "match", (), None, kw={"ok": never}, label="ok-only"),
    row("err", "match", (), ("boom", None, None), kw={"ok": None, "err": spy}, label="ok-none"),
    row("err_full", "match", (never, spy), ("boom", "E42", DETAILS)),
    row("ok", "match", (), Ok(RET), kw={"ok": ok_ret}, label="result-not-unwrapped"),
    row("ok", "match", (5,), Raises(TypeError, "'int' object is not callable")),
    row("err", "match", (None, fails), Raises(KeyError, "'from callable'")),
    # -- >>
    row("ok", ">>", (ok_ret,), Ok(RET)),
    row("ok", ">>", (err_ret,), Err("inner", "I1", RET)),
    row("ok", ">>", (returns(RET),), Raises(TypeError, "'Tag' object is not an instance of 'Result'")),
    row("ok", ">>", (fails,), Raises(KeyError, "'from callable'")),
    row("err_full", ">>", (5,), E_FULL),
    row("ok", "r>>", (5,), Raises(TypeError, "unsupported operand type(s) for >>: 'int' and 'builtins.Result'")),
    # -- |
    row("ok", "|", (DEFAULT,), PAYLOAD),
    row("err_full", "|", (DEFAULT,), DEFAULT),
    row("err", "|", (never,), never, label="fallback-uncalled"),
    row("ok", "r|", (5,), Raises(TypeError, "unsupported operand type(s) for |: 'int' and 'builtins.Result'")),
    row("ok_ni", "|", (5,), Raises(TypeError, "unsupported operand type(s) for |: 'builtins.Result' and 'int'")),
    row("err", "|", (NotImplemented,),
        Raises(TypeError, "unsupported operand type(s) for |: 'builtins.Result' and 'NotImplementedType'")),
    row("ok_ni", "|", (REFLECTS,), RET, label="reflected"),
    row("err", "|", (REFLECTS,), REFLECTS, label="reflected-unused"),
]


def run_row(recv: str, op: str, args: tuple, kw: dict, expected: Any) -> None:
    receiver = RECEIVERS[recv]()
    try:
        result = perform(op, receiver, args, kw)
    except Exception as exc:
        if not isinstance(expected, Raises):
            raise
        assert type(exc) is expected.type, repr(exc)
        assert str(exc) == expected.message
        if expected.type is not UnicodeEncodeError:
            assert len(exc.args) == 1
        return
    assert not isinstance(expected, Raises), f"returned {result!r}"
    got = normalise(result)
    assert same(got, expected), f"{got!r} != {expected!r}"


@pytest.mark.parametrize("recv, op, args, kw, expected", ROWS)
def test_table(recv: str, op: str, args: tuple, kw: dict, expected: Any) -> None:
    run_row(recv, op, args, kw, expected)


def refcounts() -> list[int]:
    gc.collect()
    return [sys.getrefcount(o) for o in SENTINELS]


@pytest.mark.parametrize("recv, op, args, kw, expected", ROWS)
def test_table_keeps_refcounts(recv: str, op: str, args: tuple, kw: dict, expected: Any) -> None:
    run_row(recv, op, args, kw, expected)  # warm caches (interned keys, UTF-8 forms)
    before = refcounts()
    for _ in range(5):
        run_row(recv, op, args, kw, expected)
    assert refcounts() == before


# ---------------------------------------------------------------------------
# Identity: payloads are handed out as themselves, results are new instances

class Payload:
    pass


IDENTITY_PATHS = {
    "unwrap": lambda r: r.unwrap(),
    "expect": lambda r: r.expect("m"),
    "unwrap_or": lambda r: r.unwrap_or(None),
    "to_option": lambda r: r.to_option(),
    "iter": lambda r: next(iter(r)),
    "unpack": lambda r: [v for (v,) in [r]][0],
    "or": lambda r: r | None,
    "match": lambda r: r.match(ok=ident),
    "map": lambda r: r.map(ident).unwrap(),
    "map_err": lambda r: r.map_err(never).unwrap(),
    "flat_map": lambda r: r.flat_map(R.ok).unwrap(),
    "rshift": lambda r: (r >> R.ok).unwrap(),
    "to_dict": lambda r: r.to_dict()["value"],
    "round_trip": lambda r: R.from_dict(r.to_dict()).unwrap(),
}


@pytest.mark.parametrize("path", IDENTITY_PATHS.values(), ids=IDENTITY_PATHS.keys())
def test_payload_leaves_as_itself(path) -> None:
    payload = Payload()
    r = R.ok(payload)
    assert path(r) is payload
    assert path(r) is payload


DETAILS_PATHS = {
    "unwrap_err": lambda r: r.unwrap_err()[2],
    "map": lambda r: r.map(never).unwrap_err()[2],
    "map_err": lambda r: r.map_err(spy).unwrap_err()[2],
    "flat_map": lambda r: r.flat_map(never).unwrap_err()[2],
    "rshift": lambda r: (r >> never).unwrap_err()[2],
    "match": lambda r: r.match(err=lambda m, c, d: d),
    "to_dict": lambda r: r.to_dict()["details"],
}


@pytest.mark.parametrize("path", DETAILS_PATHS.values(), ids=DETAILS_PATHS.keys())
def test_details_leave_as_themselves(path) -> None:
    details = Payload()
    assert path(R.err("e", "c", details)) is details


def test_err_fallback_is_returned_as_itself() -> None:
    fallback = Payload()
    r = R.err("e")
    assert r.unwrap_or(fallback) is fallback
    assert (r | fallback) is fallback


PASS_THROUGH = {
    "map-err": (lambda: R.err("e", "c", DETAILS), lambda r: r.map(never)),
    "flat_map-err": (lambda: R.err("e", "c", DETAILS), lambda r: r.flat_map(never)),
    "and_then-err": (lambda: R.err("e", "c", DETAILS), lambda r: r.and_then(never)),
    "rshift-err": (lambda: R.err("e", "c", DETAILS), lambda r: r >> never),
    "map_err-ok": (lambda: R.ok(PAYLOAD), lambda r: r.map_err(never)),
    "map-ok-identity": (lambda: R.ok(PAYLOAD), lambda r: r.map(ident)),
}


@pytest.mark.parametrize("make, op", PASS_THROUGH.values(), ids=PASS_THROUGH.keys())
def test_pass_through_is_a_new_instance(make, op) -> None:
    r = make()
    out = op(r)
    assert type(out) is R
    assert out is not r
    assert same(normalise(out), normalise(r))


@pytest.mark.parametrize("name", ["flat_map", "and_then", ">>"])
@pytest.mark.parametrize("inner", [R.ok(PAYLOAD), R.err("x", "c", DETAILS)], ids=["ok", "err"])
def test_bind_never_returns_what_func_returned(name: str, inner: R) -> None:
    r = R.ok(1)
    func = lambda v: inner
    out = r >> func if name == ">>" else getattr(r, name)(func)
    assert type(out) is R
    assert out is not inner and out is not r
    assert same(normalise(out), normalise(inner))


# ---------------------------------------------------------------------------
# Exceptions from callables pass through as the same object

class Marker(Exception):
    pass


def _callers(exc: BaseException):
    tb = exc.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_name


RAISING_PATHS = {
    "map": lambda r, f: r.map(f),
    "flat_map": lambda r, f: r.flat_map(f),
    "and_then": lambda r, f: r.and_then(f),
    "rshift": lambda r, f: r >> f,
    "match-ok": lambda r, f: r.match(ok=f),
    "map_err": lambda r, f: R.err("e").map_err(f),
    "match-err": lambda r, f: R.err("e").match(err=f),
    "repr": lambda r, f: repr(R.ok(type("S", (), {"__str__": f})())),
}


@pytest.mark.parametrize("path", RAISING_PATHS.values(), ids=RAISING_PATHS.keys())
def test_callable_exception_passes_through_unchanged(path) -> None:
    cause = RuntimeError("cause")
    exc = Marker("payload error")
    exc.__cause__ = cause

    def raiser(*args: Any) -> Any:
        try:
            raise OSError("context")
        except OSError:
            raise exc

    with pytest.raises(Marker) as info:
        path(R.ok(1), raiser)
    assert info.value is exc
    assert exc.__cause__ is cause
    assert type(exc.__context__) is OSError
    assert _callers(exc) == "raiser"
    assert exc.args == ("payload error",)


# ---------------------------------------------------------------------------
# Re-entrancy: callables use the very instance they were called from

def test_callables_may_reenter_the_receiver() -> None:
    r = R.ok(PAYLOAD)
    assert r.map(lambda v: r.is_ok()).unwrap() is True
    deep = r.map(lambda v: r.map(lambda w: r.flat_map(lambda x: r).unwrap() is w).unwrap())
    assert deep.unwrap() is True
    assert (r >> (lambda v: r.map(lambda w: r | None))).unwrap() is PAYLOAD
    assert r.match(ok=lambda v: r.match(ok=lambda w: repr(r))) == "Ok(<payload>)"

    e = R.err("e", "c", DETAILS)
    assert e.map_err(lambda m, c, d: e.unwrap_err()).unwrap_err() == ("e", "c", DETAILS)
    assert e.match(err=lambda *t: e.match(err=lambda *u: t == u)) is True

    class Inner:
        def __str__(self) -> str:
            return f"{outer.is_ok()}:{len(outer)}:{outer.to_dict()['ok']}"

    outer = R.ok(Inner())
    assert repr(outer) == "Ok(True:1:True)"
    # Every access was given back: the instances still work as before.
    assert r.unwrap() is PAYLOAD and e.unwrap_err()[2] is DETAILS and repr(outer) == "Ok(True:1:True)"


# ---------------------------------------------------------------------------
# Thread switches inside callables, several threads sharing instances

class SlowStr:
    def __str__(self) -> str:
        time.sleep(0)
        return "slow"


def test_threads_share_instances_while_callables_yield() -> None:
    payload, details, slow = Payload(), Payload(), SlowStr()
    shared_ok = R.ok(payload)
    shared_err = R.err("boom", "E42", details)
    shared_slow = R.ok(slow)
    watched = (payload, details, slow)
    before = [sys.getrefcount(o) for o in watched]

    def yielding(result: Any):
        def f(*args: Any) -> Any:
            time.sleep(0)
            assert shared_ok.unwrap() is payload
            assert shared_err.unwrap_err()[2] is details
            return result(*args) if callable(result) else result
        return f

    failures: list[BaseException] = []

    def worker(n: int) -> None:
        try:
            for i in range(300):
                assert shared_ok.map(yielding(ident)).unwrap() is payload
                assert shared_ok.flat_map(yielding(shared_err)).unwrap_err() == ("boom", "E42", details)
                assert (shared_ok >> yielding(shared_ok)).unwrap() is payload
                assert shared_err.map_err(yielding(lambda m, c, d: (m + str(i), c, d))).unwrap_err() == (
                    f"boom{i}", "E42", details)
                assert shared_err.map(never).unwrap_err()[2] is details
                assert shared_err.match(ok=never, err=yielding(spy)) == ("boom", "E42", details)
                assert (shared_ok | None) is payload and (shared_err | n) == n
                assert repr(shared_slow) == "Ok(slow)"
                assert R.from_dict(shared_err.to_dict()).unwrap_err()[2] is details
        except BaseException as exc:  # reported from the main thread
            failures.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
        assert not any(t.is_alive() for t in threads)
    finally:
        sys.setswitchinterval(old)
    assert sys.getswitchinterval() == old
    assert not failures, failures[0]
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


# ---------------------------------------------------------------------------
# repr of a very deep chain

# Each level of a chain must cost the stack about what a level of nested
# lists does, so that the interpreter's recursion limit is met before a small
# thread stack runs out: a list this deep raises RecursionError from about
# 220 KiB of stack on 3.12 and 1.4 MiB on 3.13.
SMALL_STACK_KIB = 400 if sys.version_info < (3, 13) else 2560
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize("stack_kib", [
    None,
    pytest.param(SMALL_STACK_KIB, marks=pytest.mark.skipif(UNDER_ASAN, reason="sanitized frames are larger")),
])
@pytest.mark.parametrize("link", [
    "Result.ok(c)",
    "MayBe.just(c)",
    "MayBe.just([c]) if i & 1 else Result.ok((c,))",
])
def test_repr_of_deep_chain_raises_recursion_error(link, stack_kib) -> None:
    script = textwrap.dedent(
        f"""
        import threading
        from tarnwick import MayBe, Result
        c = 0
        for i in range(100_000):
            c = {link}
        def show():
            try:
                repr(c)
            except RecursionError:
                print("recursion error")
            else:
                print("repr returned")
        if {stack_kib!r} is None:
            show()
        else:
            threading.stack_size({stack_kib!r} * 1024)
            thread = threading.Thread(target=show)
            thread.start()
            thread.join()
        # The chain is still usable and short chains still print.
        assert repr(Result.ok(MayBe.just(1))) == "Ok(Just(1))"
        del c
        print("done")
        """
    )
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["recursion", "error", "done"]
