"""The call-binding layer shared by every entry of both classes.

Argument binding and its exact TypeError texts, typed conversions (the text
rule and the argument-conversion error), exceptions from user callables
passing through unchanged, shared access nesting and being released on every
exit, and deallocation: immediate, exactly once, and bounded on deep chains.
"""
import subprocess
import sys
import textwrap

import pytest

from tarnwick import MayBe, Result

OK = Result.ok(1)
ERR = Result.err("e", "c", 7)
JUST = MayBe.just(1)
NOTHING = MayBe.nothing()


def borrow_flag(obj) -> int:
    """The shared-access counter that sits in the first word after an instance's object header."""
    # Imported here: CPython 3.12's isolated interpreters refuse ctypes.
    ctypes = pytest.importorskip("ctypes", exc_type=ImportError)

    return ctypes.c_size_t.from_address(id(obj) + object.__basicsize__).value & (sys.maxsize)


def raised(call) -> BaseException:
    with pytest.raises(BaseException) as info:
        call()
    return info.value


class Outer:
    class Inner:
        pass


# --------------------------------------------------------------------------
# Binding errors

BINDING_ERRORS = [
    # missing required
    ("ok-missing", lambda: Result.ok(), "Result.ok() missing 1 required positional argument: 'value'"),
    ("err-missing-with-code", lambda: Result.err(code="c"),
     "Result.err() missing 1 required positional argument: 'message'"),
    # binding comes before conversion: a bad code does not hide the missing message
    ("err-missing-bad-code", lambda: Result.err(code=1),
     "Result.err() missing 1 required positional argument: 'message'"),
    ("new-missing", lambda: MayBe(), "MayBe.__new__() missing 1 required positional argument: 'obj'"),
    ("getitem-missing", lambda: Result.__class_getitem__(),
     "Result.__class_getitem__() missing 1 required positional argument: '_item'"),
    # too many positional ("arguments" stays plural, keywords are not looked at)
    ("ok-too-many-with-bad-kw", lambda: Result.ok(1, 2, bogus=3),
     "Result.ok() takes 1 positional arguments but 2 were given"),
    ("new-too-many", lambda: MayBe(1, 2, bogus=3), "MayBe.__new__() takes 1 positional arguments but 2 were given"),
    ("err-range", lambda: Result.err("m", "c", None, 4),
     "Result.err() takes from 1 to 3 positional arguments but 4 were given"),
    ("result-match-range", lambda: OK.match(1, 2, 3),
     "Result.match() takes from 0 to 2 positional arguments but 3 were given"),
    # unexpected keyword
    ("map-unexpected", lambda: OK.map(fn=abs), "Result.map() got an unexpected keyword argument 'fn'"),
    ("map-surrogate-kw", lambda: OK.map(**{"\udc80": 1}),
     "Result.map() got an unexpected keyword argument '\udc80'"),
    ("new-surrogate-kw", lambda: MayBe(**{"\udc80": 1}),
     "MayBe.__new__() got an unexpected keyword argument '\udc80'"),
    ("expect-unexpected-before-missing", lambda: OK.expect(msg="x"),
     "Result.expect() got an unexpected keyword argument 'msg'"),
    # multiple values; the first offending keyword, in call order, is reported
    ("err-multiple", lambda: Result.err("m", message="x"),
     "Result.err() got multiple values for argument 'message'"),
    ("err-first-offender-unexpected", lambda: Result.err("m", bogus=1, message="x"),
     "Result.err() got an unexpected keyword argument 'bogus'"),
    ("err-first-offender-multiple", lambda: Result.err("m", message="x", bogus=1),
     "Result.err() got multiple values for argument 'message'"),
    ("new-multiple", lambda: MayBe(1, obj=2), "MayBe.__new__() got multiple values for argument 'obj'"),
    ("maybe-match-multiple", lambda: JUST.match(1, just=2),
     "MayBe.match() got multiple values for argument 'just'"),
]


@pytest.mark.parametrize("call, message", [r[1:] for r in BINDING_ERRORS], ids=[r[0] for r in BINDING_ERRORS])
def test_binding_error_message(call, message) -> None:
    exc = raised(call)
    assert type(exc) is TypeError
    assert exc.args == (message,)


class NamedStr(str):
    pass


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: Result.ok(**{"".join(["val", "ue"]): 1}).unwrap(), 1),
        (lambda: Result.err(**{"".join(["det", "ails"]): 3, "".join(["mess", "age"]): "m",
                               "".join(["co", "de"]): "c"}).unwrap_err(), ("m", "c", 3)),
        (lambda: MayBe(**{"".join(["o", "bj"]): 2}).unwrap(), 2),
        (lambda: Result.ok(**{NamedStr("value"): 4}).unwrap(), 4),
    ],
)
def test_keywords_bind_by_text_not_identity(call, expected) -> None:
    assert call() == expected


# --------------------------------------------------------------------------
# Typed conversions

CAST_ERRORS = [
    (lambda: Result.err(None), "argument 'message': 'None' is not an instance of 'str'"),
    (lambda: Result.err(5, 6), "argument 'message': 'int' object is not an instance of 'str'"),
    (lambda: Result.err("m", b"c"), "argument 'code': 'bytes' object is not an instance of 'str'"),
    (lambda: Result.err(Outer.Inner()), "argument 'message': 'Outer.Inner' object is not an instance of 'str'"),
    (lambda: Result.from_dict([]), "argument 'dict': 'list' object is not an instance of 'dict'"),
    (lambda: OK.expect(5), "argument 'message': 'int' object is not an instance of 'str'"),
    (lambda: JUST.expect(42), "argument 'message': 'int' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("call, message", CAST_ERRORS)
def test_argument_conversion_error(call, message) -> None:
    try:
        raise KeyError("pending")
    except KeyError:
        exc = raised(call)
    assert type(exc) is TypeError
    assert exc.args == (message,)
    assert exc.__cause__ is None
    assert exc.__suppress_context__ is True
    assert type(exc.__context__) is KeyError


def test_returned_object_cast_error_has_no_prefix() -> None:
    exc = raised(lambda: OK.flat_map(lambda v: 5))
    assert type(exc) is TypeError and exc.args == ("'int' object is not an instance of 'Result'",)
    exc = raised(lambda: JUST.flat_map(lambda v: None))
    assert exc.args == ("'None' is not an instance of 'MayBe'",)


def test_text_keeps_nul_and_non_ascii() -> None:
    message, code = "a\0b\0", "\0é€😀"
    assert Result.err(message, code).unwrap_err() == (message, code, None)
    assert raised(lambda: ERR.expect("x\0y")).args == ("x\0y",)
    assert raised(lambda: NOTHING.expect("\0")).args == ("\0",)
    assert Result.err("").unwrap_err() == ("", None, None)
    assert Result.err("m", "").unwrap_err()[1] == ""


def test_str_subclass_text_comes_back_as_plain_str() -> None:
    class Loud(str):
        def __str__(self):
            return "not this"

    msg, code, _ = Result.err(Loud("msg"), Loud("code")).unwrap_err()
    assert (type(msg), type(code)) == (str, str)
    assert (msg, code) == ("msg", "code")
    assert raised(lambda: NOTHING.expect(Loud("why"))).args == ("why",)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: Result.err("a\udc80"), "a\udc80"),
        (lambda: Result.err("m", "\ud800"), "\ud800"),
        (lambda: JUST.expect(message="x\udc80"), "x\udc80"),
    ],
)
def test_lone_surrogate_raises_encode_error_unchanged(call, text) -> None:
    exc = raised(call)
    assert type(exc) is UnicodeEncodeError
    assert exc.encoding == "utf-8" and exc.object == text
    assert exc.reason == "surrogates not allowed"
    assert exc.__cause__ is None and "argument" not in str(exc)


def test_no_argument_methods_use_interpreter_message() -> None:
    template = raised(lambda: [].copy(1)).args[0].replace("list.copy", "{}")
    kw_template = raised(lambda: [].copy(x=1)).args[0].replace("list.copy", "{}")
    cases = [(OK, "Result", n) for n in ("is_ok", "is_err", "unwrap", "unwrap_err", "to_option", "to_dict")]
    cases += [(JUST, "MayBe", n) for n in ("nothing", "is_just", "is_nothing", "unwrap", "to_option")]
    for obj, cls, name in cases:
        method = getattr(obj, name)
        exc = raised(lambda: method(1))
        assert type(exc) is TypeError and str(exc) == template.format(f"{cls}.{name}")
        exc = raised(lambda: method(x=1))
        assert type(exc) is TypeError and str(exc) == kw_template.format(f"{cls}.{name}")


# --------------------------------------------------------------------------
# Exceptions from user callables

class Escape(BaseException):
    """Not an Exception: must not be caught or converted on the way out."""


PASSTHROUGH = [
    ("Result.map", lambda f: OK.map(f), ValueError),
    ("Result.map_err", lambda f: ERR.map_err(f), Escape),
    ("Result.flat_map", lambda f: OK.flat_map(func=f), KeyboardInterrupt),
    ("Result.and_then", lambda f: OK.and_then(f), ValueError),
    ("Result.match-ok", lambda f: OK.match(ok=f), StopIteration),
    ("Result.match-err", lambda f: ERR.match(None, f), Escape),
    ("Result.rshift", lambda f: OK >> f, TypeError),
    ("MayBe.map", lambda f: JUST.map(f), Escape),
    ("MayBe.flat_map", lambda f: JUST.flat_map(f), TypeError),
    ("MayBe.match-just", lambda f: JUST.match(f), ValueError),
    ("MayBe.match-nothing", lambda f: NOTHING.match(nothing=f), SystemExit),
    ("MayBe.rshift", lambda f: JUST >> f, Escape),
]


@pytest.mark.parametrize("invoke, exc_type", [p[1:] for p in PASSTHROUGH], ids=[p[0] for p in PASSTHROUGH])
def test_callable_exception_passes_through(invoke, exc_type) -> None:
    boom, cause = exc_type("boom"), OSError("cause")

    def callback(*args):
        try:
            raise KeyError("context")
        except KeyError:
            raise boom from cause

    with pytest.raises(exc_type) as info:
        invoke(callback)
    exc = info.value
    assert exc is boom and exc.args == ("boom",)
    assert exc.__cause__ is cause
    assert type(exc.__context__) is KeyError
    tb, frames = exc.__traceback__, []
    while tb is not None:
        frames.append(tb.tb_frame.f_code)
        tb = tb.tb_next
    assert frames[-1] is callback.__code__
    for obj in (OK, ERR, JUST, NOTHING):
        assert borrow_flag(obj) == 0


# --------------------------------------------------------------------------
# Shared access


@pytest.mark.parametrize("make", [lambda: Result.ok(3), lambda: MayBe.just(3)])
def test_reentrant_calls_on_same_instance(make) -> None:
    obj = make()
    seen = []

    def inner(v):
        seen.append(("inner", borrow_flag(obj)))
        assert obj.unwrap() == 3 and bool(obj) and len(obj) == 1 and list(obj) == [3]
        assert repr(obj).endswith("(3)") and (obj | 0) == 3
        return v + 1

    def outer(v):
        seen.append(("outer", borrow_flag(obj)))
        assert obj.map(inner).unwrap() == 4
        assert (obj >> (lambda w: type(obj).ok(w) if type(obj) is Result else MayBe(w))).unwrap() == 3
        return v * 2

    assert obj.map(outer).unwrap() == 6
    assert seen == [("outer", 1), ("inner", 2)]
    assert borrow_flag(obj) == 0


def test_shared_access_released_on_error_exits() -> None:
    for obj, call in [
        (OK, lambda: OK.expect(5)),  # conversion fails after access is taken
        (OK, lambda: OK.flat_map(lambda v: 1)),  # returned object rejected
        (JUST, lambda: JUST.flat_map(lambda v: OK)),
        (ERR, lambda: ERR.map_err(lambda *t: [1, 2, 3])),
        (ERR, lambda: ERR.unwrap()),
        (NOTHING, lambda: NOTHING.unwrap()),
        (JUST, lambda: JUST.map(5)),  # not callable
    ]:
        raised(call)
        assert borrow_flag(obj) == 0, call


# --------------------------------------------------------------------------
# Deallocation


class Tracked:
    log: list = []

    def __init__(self, tag) -> None:
        self.tag = tag

    def __del__(self) -> None:
        Tracked.log.append(self.tag)


@pytest.mark.parametrize(
    "wrap",
    [
        lambda p: Result.ok(p),
        lambda p: Result.err("m", "c", p),
        lambda p: MayBe(p),
        lambda p: Result.ok(p).map(lambda v: v),
    ],
)
def test_payload_finalised_once_immediately_on_drop(wrap) -> None:
    Tracked.log = []
    obj = wrap(Tracked("p"))
    assert Tracked.log == []
    del obj
    assert Tracked.log == ["p"]


def test_every_payload_of_a_deep_chain_is_finalised_once() -> None:
    # Deeper than the nesting at which deallocation starts queueing instances.
    Tracked.log = []
    chain = None
    for i in range(500):
        chain = Result.ok((Tracked(i), chain)) if i % 2 else MayBe.just((Tracked(i), chain))
    del chain
    assert sorted(Tracked.log) == list(range(500))


DEEP_CHAINS = {
    "result-ok": "x = Result.ok(x)",
    "maybe-just": "x = MayBe.just(x)",
    "err-details": "x = Result.err('m', 'c', x)",
    "mixed": "x = Result.ok(x) if i % 2 else MayBe(x)",
    "through-containers": "x = Result.ok([x]) if i % 2 else MayBe.just({'k': (x,)})",
}

DEEP_CHAIN_SCRIPT = """
import gc
from tarnwick import MayBe, Result

class Noisy:
    # Finalisers that build and drop chains of their own while an outer chain
    # is being released.
    count = 0
    def __del__(self):
        Noisy.count += 1
        y = None
        for _ in range(300):
            y = Result.ok(MayBe(y))
        del y

x = None
for i in range(1_000_000):
    if i % 100_000 == 0:
        x = Result.ok((Noisy(), x))
    STEP
del x
gc.collect()
assert Noisy.count == 10, Noisy.count
print("released")
"""


@pytest.mark.parametrize("step", DEEP_CHAINS.values(), ids=DEEP_CHAINS.keys())
def test_million_deep_chain_is_released(step) -> None:
    script = DEEP_CHAIN_SCRIPT.replace("STEP", step)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "released"
