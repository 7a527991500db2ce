"""A catalogue of every operation of Result and MayBe, success and error paths.

Each entry is a setup function that builds fresh objects and returns an
OpCase: a zero-argument callable that performs exactly one operation, the
payload objects whose reference counts must come back where they were, and
the receivers that must be unchanged afterwards. All objects and arguments are
made by the setup, so the call itself allocates nothing before it reaches the
module (the allocation-failure sweeps rely on that).

The same catalogue feeds the allocation-failure sweeps, the leak loops and
the thread stress test.
"""
from __future__ import annotations

import ctypes
import gc
import sys
from dataclasses import dataclass, field
from typing import Any, Callable

import tarnwick

R = tarnwick.Result
M = tarnwick.MayBe

try:  # the dict form accepts NumPy's boolean scalar as its "ok" flag
    import numpy as _np
except ImportError:  # pragma: no cover - numpy is a test dependency
    _np = None


class Payload:
    """A distinct object whose reference count the tests watch."""

    __slots__ = ("tag",)

    def __init__(self, tag: object) -> None:
        self.tag = tag

    def __str__(self) -> str:
        return f"P{self.tag}"


class Boom(Exception):
    pass


class BadStr:
    """An object whose str() raises."""

    def __str__(self) -> str:
        raise Boom("no str")


class SurrogateStr:
    def __str__(self) -> str:
        return "x\udc80"


class TextSub(str):
    pass


@dataclass
class OpCase:
    call: Callable[[], Any]
    watch: list = field(default_factory=list)      # refcounts must balance
    receivers: list = field(default_factory=list)  # must be unchanged


def fresh(text: str) -> str:
    """A new str object with the given text (no shared UTF-8 cache)."""
    return "".join(list(text))


OPS: dict[str, Callable[[], OpCase]] = {}


def op(name: str):
    def register(setup: Callable[[], OpCase]) -> Callable[[], OpCase]:
        assert name not in OPS, name
        OPS[name] = setup
        return setup

    return register


def ok_recv() -> tuple[Any, Payload]:
    v = Payload("v")
    return R.ok(v), v


def err_recv() -> tuple[Any, Payload]:
    d = Payload("d")
    return R.err(fresh("boom é"), fresh("E42"), d), d


def just_recv() -> tuple[Any, Payload]:
    v = Payload("j")
    return M.just(v), v


# ---------------------------------------------------------------------------
# Result constructors


@op("Result.ok")
def _():
    v = Payload(1)
    return OpCase(lambda: R.ok(v), [v])


@op("Result.ok/keyword")
def _():
    v = Payload(1)
    return OpCase(lambda: R.ok(value=v), [v])


@op("Result.ok/missing")
def _():
    return OpCase(lambda: R.ok())


@op("Result.ok/too-many")
def _():
    v = Payload(1)
    return OpCase(lambda: R.ok(v, v), [v])


@op("Result.ok/multiple-values")
def _():
    v = Payload(1)
    return OpCase(lambda: R.ok(v, value=v), [v])


@op("Result.ok/unexpected-keyword")
def _():
    v = Payload(1)
    kw = {fresh("vàlue"): v}
    return OpCase(lambda: R.ok(**kw), [v])


@op("Result.err")
def _():
    m = fresh("message é")
    return OpCase(lambda: R.err(m), [m])


@op("Result.err/full")
def _():
    m, c, d = fresh("message é"), TextSub(fresh("cödé")), Payload("d")
    return OpCase(lambda: R.err(m, code=c, details=d), [m, c, d])


@op("Result.err/nul-text")
def _():
    m, c = fresh("a\0b"), fresh("\0")
    return OpCase(lambda: R.err(m, c), [m, c])


@op("Result.err/message-not-str")
def _():
    return OpCase(lambda: R.err(5))


@op("Result.err/code-not-str")
def _():
    m = fresh("m é")
    return OpCase(lambda: R.err(m, 7), [m])


@op("Result.err/surrogate")
def _():
    m = fresh("m\udc80")
    return OpCase(lambda: R.err(m), [m])


@op("Result.err/missing")
def _():
    c = fresh("c")
    return OpCase(lambda: R.err(code=c), [c])


@op("Result.err/too-many")
def _():
    return OpCase(lambda: R.err("m", "c", None, 4))


# ---------------------------------------------------------------------------
# Result inspection


def _result_noargs(name: str, method: str, make) -> None:
    @op(name)
    def _():
        r, p = make()
        bound = getattr(r, method)
        return OpCase(bound, [p], [r])


for _method in ("is_ok", "is_err", "unwrap", "unwrap_err", "to_option", "to_dict"):
    _result_noargs(f"Result.{_method}/ok", _method, ok_recv)
    _result_noargs(f"Result.{_method}/err", _method, err_recv)


@op("Result.to_dict/err-minimal")
def _():
    r = R.err(fresh("é"))
    return OpCase(r.to_dict, [], [r])


@op("Result.expect/ok")
def _():
    (r, p), m = ok_recv(), fresh("é")
    return OpCase(lambda: r.expect(m), [p, m], [r])


@op("Result.expect/err")
def _():
    (r, p), m = err_recv(), fresh("expected é")
    return OpCase(lambda: r.expect(m), [p, m], [r])


@op("Result.expect/not-str")
def _():
    r, p = ok_recv()
    return OpCase(lambda: r.expect(5), [p], [r])


@op("Result.unwrap_or/ok")
def _():
    (r, p), d = ok_recv(), Payload("default")
    return OpCase(lambda: r.unwrap_or(d), [p, d], [r])


@op("Result.unwrap_or/err")
def _():
    (r, p), d = err_recv(), Payload("default")
    return OpCase(lambda: r.unwrap_or(default=d), [p, d], [r])


def _slot_cases(prefix: str, recvs: dict) -> None:
    slots = {
        "bool": bool,
        "len": len,
        "iter": lambda x: list(iter(x)),
        "repr": repr,
    }
    for variant, make in recvs.items():
        for slot, fn in slots.items():
            def setup(make=make, fn=fn):
                r, p = make()
                return OpCase(lambda: fn(r), [p], [r])

            op(f"{prefix}.{slot}/{variant}")(setup)


_slot_cases("Result", {"ok": ok_recv, "err": err_recv})


@op("Result.repr/err-no-code")
def _():
    r = R.err(fresh("ö'"))
    return OpCase(lambda: repr(r), [], [r])


@op("Result.repr/str-raises")
def _():
    b = BadStr()
    r = R.ok(b)
    return OpCase(lambda: repr(r), [b], [r])


@op("Result.repr/surrogate")
def _():
    s = SurrogateStr()
    r = R.ok(s)
    return OpCase(lambda: repr(r), [s], [r])


@op("Result.class_getitem")
def _():
    item = (int, str)
    return OpCase(lambda: R[item], [item])


# ---------------------------------------------------------------------------
# Result combinators


def _ident(x):
    return x


@op("Result.map/ok")
def _():
    (r, p), f = ok_recv(), _ident
    return OpCase(lambda: r.map(f), [p], [r])


@op("Result.map/err")
def _():
    r, p = err_recv()
    return OpCase(lambda: r.map(None), [p], [r])


@op("Result.map/raises")
def _():
    r, p = ok_recv()
    exc = Boom("map")

    def f(v):
        raise exc

    return OpCase(lambda: r.map(f), [p, exc], [r])


@op("Result.map/not-callable")
def _():
    r, p = ok_recv()
    return OpCase(lambda: r.map(5), [p], [r])


@op("Result.map/unexpected-keyword")
def _():
    r, p = ok_recv()
    return OpCase(lambda: r.map(fn=_ident), [p], [r])


@op("Result.map_err/err")
def _():
    r, p = err_recv()
    out = (fresh("new é"), fresh("C"), Payload("nd"))
    f = lambda m, c, d: out  # noqa: E731
    return OpCase(lambda: r.map_err(f), [p, out[2]], [r])


@op("Result.map_err/ok")
def _():
    r, p = ok_recv()
    return OpCase(lambda: r.map_err(None), [p], [r])


@op("Result.map_err/returns-list")
def _():
    r, p = err_recv()
    out = [fresh("a"), None, None]
    f = lambda m, c, d: out  # noqa: E731
    return OpCase(lambda: r.map_err(f), [p, out], [r])


@op("Result.map_err/returns-2-tuple")
def _():
    r, p = err_recv()
    out = (fresh("a"), None)
    f = lambda m, c, d: out  # noqa: E731
    return OpCase(lambda: r.map_err(f), [p, out], [r])


@op("Result.map_err/bad-message")
def _():
    r, p = err_recv()
    out = (1, None, None)
    f = lambda m, c, d: out  # noqa: E731
    return OpCase(lambda: r.map_err(f), [p, out], [r])


@op("Result.map_err/bad-code")
def _():
    r, p = err_recv()
    out = (fresh("a"), 5, None)
    f = lambda m, c, d: out  # noqa: E731
    return OpCase(lambda: r.map_err(f), [p, out], [r])


@op("Result.map_err/surrogate")
def _():
    r, p = err_recv()
    out = (fresh("a"), fresh("\udc80"), None)
    f = lambda m, c, d: out  # noqa: E731
    return OpCase(lambda: r.map_err(f), [p, out], [r])


for _name in ("flat_map", "and_then"):

    def _bind_cases(name=_name):
        @op(f"Result.{name}/ok")
        def _():
            (r, p), (inner, q) = ok_recv(), err_recv()
            method, f = getattr(r, name), lambda v: inner
            return OpCase(lambda: method(f), [p, q], [r, inner])

        @op(f"Result.{name}/err")
        def _():
            r, p = err_recv()
            method = getattr(r, name)
            return OpCase(lambda: method(None), [p], [r])

        @op(f"Result.{name}/not-result")
        def _():
            r, p = ok_recv()
            method = getattr(r, name)
            return OpCase(lambda: method(_ident), [p], [r])

    _bind_cases()


@op("Result.match/ok")
def _():
    r, p = ok_recv()
    return OpCase(lambda: r.match(ok=_ident, err=None), [p], [r])


@op("Result.match/err")
def _():
    r, p = err_recv()
    f = lambda m, c, d: (m, c, d)  # noqa: E731
    return OpCase(lambda: r.match(None, f), [p], [r])


@op("Result.match/no-handler")
def _():
    r, p = err_recv()
    return OpCase(lambda: r.match(), [p], [r])


@op("Result.match/too-many")
def _():
    r, p = ok_recv()
    return OpCase(lambda: r.match(1, 2, 3), [p], [r])


@op("Result.rshift/ok")
def _():
    (r, p), (inner, q) = ok_recv(), ok_recv()
    f = lambda v: inner  # noqa: E731
    return OpCase(lambda: r >> f, [p, q], [r, inner])


@op("Result.rshift/err")
def _():
    r, p = err_recv()
    return OpCase(lambda: r >> 5, [p], [r])


@op("Result.rshift/not-result")
def _():
    r, p = ok_recv()
    return OpCase(lambda: r >> _ident, [p], [r])


@op("Result.rshift/left-not-result")
def _():
    r, p = ok_recv()
    return OpCase(lambda: 5 >> r, [p], [r])


@op("Result.or/ok")
def _():
    (r, p), d = ok_recv(), Payload("d")
    return OpCase(lambda: r | d, [p, d], [r])


@op("Result.or/err")
def _():
    (r, p), d = err_recv(), Payload("d")
    return OpCase(lambda: r | d, [p, d], [r])


@op("Result.or/notimplemented")
def _():
    r = R.ok(NotImplemented)
    return OpCase(lambda: r | 5, [], [r])


# ---------------------------------------------------------------------------
# Result dict form


def _from_dict_case(name: str, make_dict) -> None:
    @op(f"Result.from_dict/{name}")
    def _():
        d = make_dict()
        watch = [v for v in d.values() if isinstance(v, Payload)] if isinstance(d, dict) else []
        return OpCase(lambda: R.from_dict(d), [d, *watch])


_from_dict_case("ok", lambda: {"ok": True, "value": Payload("v")})
_from_dict_case(
    "err-full",
    lambda: {"ok": False, "error": fresh("é msg"), "code": fresh("cöde"), "details": Payload("d")},
)
_from_dict_case("err-details-none", lambda: {"ok": False, "error": fresh("m"), "details": None})
_from_dict_case("err-code-not-str", lambda: {"ok": False, "error": fresh("m"), "code": 42})
_from_dict_case("err-code-surrogate", lambda: {"ok": False, "error": fresh("m"), "code": fresh("\udc80")})
_from_dict_case("missing-ok", lambda: {"value": Payload("v")})
_from_dict_case("ok-not-bool", lambda: {"ok": 1, "value": Payload("v")})
_from_dict_case("missing-value", lambda: {"ok": True})
_from_dict_case("missing-error", lambda: {"ok": False})
_from_dict_case("error-not-str", lambda: {"ok": False, "error": 42})
_from_dict_case("error-surrogate", lambda: {"ok": False, "error": fresh("\udc80")})
_from_dict_case("not-a-dict", lambda: [("ok", True)])


class DictSub(dict):
    def __getitem__(self, key):  # never consulted by from_dict
        raise AssertionError("dict subclass __getitem__ called")


_from_dict_case("dict-subclass", lambda: DictSub(ok=False, error=fresh("sub é")))

if _np is not None:
    _from_dict_case("numpy-bool", lambda: {"ok": _np.bool_(True), "value": Payload("v")})


# ---------------------------------------------------------------------------
# MayBe constructors


@op("MayBe.new")
def _():
    v = Payload(1)
    return OpCase(lambda: M(v), [v])


@op("MayBe.new/none")
def _():
    return OpCase(lambda: M(None))


@op("MayBe.new/keyword")
def _():
    v = Payload(1)
    return OpCase(lambda: M(obj=v), [v])


@op("MayBe.new/missing")
def _():
    return OpCase(lambda: M())


@op("MayBe.new/too-many")
def _():
    v = Payload(1)
    return OpCase(lambda: M(v, v), [v])


# object's own constructor slot, called directly (as object.__new__ does once
# MayBe.__new__ is replaced): MayBe's allocation slot makes a Nothing.
_api = ctypes.pythonapi
_api.PyType_GetSlot.restype = ctypes.c_void_p
_api.PyType_GetSlot.argtypes = [ctypes.py_object, ctypes.c_int]
_object_new = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.py_object)(
    _api.PyType_GetSlot(object, 65))  # Py_tp_new


@op("MayBe/object-new")
def _():
    empty = ()
    return OpCase(lambda: _object_new(M, empty, None))


# Payloads that leave the new instance untracked by the cyclic collector.
@op("Result.ok/atomic-payload")
def _():
    v = 10**30
    return OpCase(lambda: R.ok(v), [v])


@op("MayBe.just/untracked-instance")
def _():
    inner = R.ok(fresh("inner"))
    return OpCase(lambda: M.just(inner), [inner])


@op("MayBe.new/multiple-values")
def _():
    v = Payload(1)
    return OpCase(lambda: M(v, obj=v), [v])


@op("MayBe.new/unexpected-keyword")
def _():
    v = Payload(1)
    kw = {fresh("öbj"): v}
    return OpCase(lambda: M(**kw), [v])


@op("MayBe.just")
def _():
    v = Payload(1)
    return OpCase(lambda: M.just(v), [v])


@op("MayBe.just/missing")
def _():
    return OpCase(lambda: M.just())


@op("MayBe.nothing")
def _():
    return OpCase(M.nothing)


# ---------------------------------------------------------------------------
# MayBe inspection


def nothing_recv() -> tuple[Any, Payload]:
    return M.nothing(), Payload("unused")


for _method in ("is_just", "is_nothing", "unwrap", "to_option"):
    for _variant, _make in (("just", just_recv), ("nothing", nothing_recv)):

        def _maybe_noargs(method=_method, make=_make):
            def setup():
                m, p = make()
                return OpCase(getattr(m, method), [p], [m])

            return setup

        op(f"MayBe.{_method}/{_variant}")(_maybe_noargs())


@op("MayBe.expect/just")
def _():
    (m, p), s = just_recv(), fresh("é")
    return OpCase(lambda: m.expect(s), [p, s], [m])


@op("MayBe.expect/nothing")
def _():
    m, s = M.nothing(), fresh("expected é")
    return OpCase(lambda: m.expect(message=s), [s], [m])


@op("MayBe.expect/not-str")
def _():
    m, p = just_recv()
    return OpCase(lambda: m.expect(42), [p], [m])


@op("MayBe.or_else/just")
def _():
    (m, p), d = just_recv(), Payload("d")
    return OpCase(lambda: m.or_else(d), [p, d], [m])


@op("MayBe.or_else/nothing")
def _():
    m, d = M.nothing(), Payload("d")
    return OpCase(lambda: m.or_else(d), [d], [m])


_slot_cases("MayBe", {"just": just_recv, "nothing": nothing_recv})


@op("MayBe.repr/str-raises")
def _():
    b = BadStr()
    m = M.just(b)
    return OpCase(lambda: repr(m), [b], [m])


@op("MayBe.repr/surrogate")
def _():
    s = SurrogateStr()
    m = M.just(s)
    return OpCase(lambda: repr(m), [s], [m])


@op("MayBe.class_getitem")
def _():
    return OpCase(lambda: M[int])


# ---------------------------------------------------------------------------
# MayBe combinators


@op("MayBe.map/just")
def _():
    m, p = just_recv()
    return OpCase(lambda: m.map(_ident), [p], [m])


@op("MayBe.map/nothing")
def _():
    m = M.nothing()
    return OpCase(lambda: m.map(5), [], [m])


@op("MayBe.map/raises")
def _():
    m, p = just_recv()
    exc = Boom("map")

    def f(v):
        raise exc

    return OpCase(lambda: m.map(func=f), [p, exc], [m])


@op("MayBe.flat_map/just")
def _():
    (m, p), (inner, q) = just_recv(), just_recv()
    f = lambda v: inner  # noqa: E731
    return OpCase(lambda: m.flat_map(f), [p, q], [m, inner])


@op("MayBe.flat_map/not-maybe")
def _():
    m, p = just_recv()
    return OpCase(lambda: m.flat_map(_ident), [p], [m])


@op("MayBe.flat_map/returns-none")
def _():
    m, p = just_recv()
    f = lambda v: None  # noqa: E731
    return OpCase(lambda: m.flat_map(f), [p], [m])


@op("MayBe.match/just")
def _():
    m, p = just_recv()
    return OpCase(lambda: m.match(_ident), [p], [m])


@op("MayBe.match/nothing")
def _():
    m, d = M.nothing(), Payload("d")
    f = lambda: d  # noqa: E731
    return OpCase(lambda: m.match(just=None, nothing=f), [d], [m])


@op("MayBe.match/unexpected-keyword")
def _():
    m, p = just_recv()
    return OpCase(lambda: m.match(ok=_ident), [p], [m])


@op("MayBe.rshift/just")
def _():
    (m, p), (inner, q) = just_recv(), just_recv()
    f = lambda v: inner  # noqa: E731
    return OpCase(lambda: m >> f, [p, q], [m, inner])


@op("MayBe.rshift/nothing")
def _():
    m = M.nothing()
    return OpCase(lambda: m >> 5, [], [m])


@op("MayBe.rshift/not-maybe")
def _():
    m, p = just_recv()
    f = lambda v: 2  # noqa: E731
    return OpCase(lambda: m >> f, [p], [m])


@op("MayBe.rshift/left-not-maybe")
def _():
    m, p = just_recv()
    return OpCase(lambda: 9 >> m, [p], [m])


@op("MayBe.or/just")
def _():
    (m, p), d = just_recv(), Payload("d")
    return OpCase(lambda: m | d, [p, d], [m])


@op("MayBe.or/nothing")
def _():
    m, d = M.nothing(), Payload("d")
    return OpCase(lambda: m | d, [d], [m])


@op("MayBe.or/notimplemented")
def _():
    m = M.nothing()
    return OpCase(lambda: m | NotImplemented, [], [m])


# ---------------------------------------------------------------------------
# Describing objects, so that runs can be compared


def shape(x: Any, watch: list, depth: int = 0) -> Any:
    """A comparable description of x: watched objects by index, instances
    by state, containers recursively, anything else by value or type."""
    if depth > 20:
        return "..."
    for i, w in enumerate(watch):
        if x is w:
            return ("watched", i)
    t = type(x)
    if t is R:
        return ("Result", gc.is_tracked(x), shape(x.to_dict(), watch, depth + 1))
    if t is M:
        return ("MayBe", gc.is_tracked(x), x.is_just(), shape(x.to_option(), watch, depth + 1))
    if t in (tuple, list):
        return (t.__name__, tuple(shape(e, watch, depth + 1) for e in x))
    if t is dict:
        return ("dict", tuple((k, shape(v, watch, depth + 1)) for k, v in x.items()))
    if t in (str, int, bool, type(None), float) or x is NotImplemented:
        return x
    if t.__name__.endswith("iterator"):
        return ("iter", tuple(shape(e, watch, depth + 1) for e in list(x)))
    if isinstance(x, type):
        return ("type", x.__qualname__)
    return ("object", t.__qualname__)


def outcome(case: OpCase) -> tuple:
    """Runs the case once without fault injection and describes the result."""
    try:
        value = case.call()
    except BaseException as exc:  # noqa: BLE001 - every outcome is described
        return ("raised", type(exc).__name__, str(exc))
    return ("returned", shape(value, case.watch))


def refcounts(objs: list) -> list[int]:
    return [sys.getrefcount(o) for o in objs]


# ---------------------------------------------------------------------------
# Pure-Python controls: the same user code called from C without tarnwick.
# They show which sweep outcomes belong to the interpreter itself.

CONTROLS: dict[str, Callable[[], OpCase]] = {}


def _control(name: str):
    def register(setup):
        CONTROLS[name] = setup
        return setup

    return register


@_control("control.raise-from-c-call")
def _():
    v, exc = Payload("v"), Boom("map")

    def f(x):
        raise exc

    it = map(f, (v,))
    return OpCase(lambda: next(it), [v, exc])


@_control("control.str-raises")
def _():
    b = BadStr()
    return OpCase(lambda: str(b), [b])


# Texts past the small-object allocator's limit go to malloc itself.
@op("Result.err/large-text")
def _():
    m, c = fresh("é" * 3_000), fresh("c" * 5_000)
    return OpCase(lambda: R.err(m, c), [m, c])


@op("Result.repr/large-text")
def _():
    r = R.err(fresh("é" * 3_000), fresh("c" * 5_000))
    return OpCase(lambda: repr(r), [], [r])
