"""The dict form of Result: to_dict, from_dict and their round trip."""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from typing import Any

try:
    import numpy
except ImportError:  # not installed, or refused by an isolated interpreter
    numpy = None
import pytest

from tarnwick import Result as R
from test_result import (
    DETAILS,
    PAYLOAD,
    RECEIVERS,
    RET,
    SURROGATE,
    SURROGATE_MSG,
    Err,
    Ok,
    Raises,
    Sub,
    normalise,
    row,
    run_row,
    refcounts,
    same,
)


class Sneaky(dict):
    """A dict subclass whose Python-level lookups must never be consulted."""

    def __getitem__(self, key: Any) -> Any:
        raise AssertionError("__getitem__ consulted")

    def __missing__(self, key: Any) -> Any:
        return True

    def get(self, key: Any, default: Any = None) -> Any:
        raise AssertionError("get consulted")

    def __contains__(self, key: Any) -> bool:
        raise AssertionError("__contains__ consulted")


def stand_in(name: str, module: str = "numpy", **body: Any) -> type:
    """A class that looks like NumPy's boolean scalar by name and module."""
    return type(name, (), {"__module__": module, **body})


class Boom(Exception):
    pass


BOOM = Boom("from __bool__")


def _raise_boom(self: Any) -> bool:
    raise BOOM


NoBool = stand_in("bool_")
NoBoolNew = stand_in("bool")
RaisingBool = stand_in("bool_", __bool__=_raise_boom)
TrueBool = stand_in("bool", __bool__=lambda self: True)
FalseBool = stand_in("bool_", __bool__=lambda self: False)
IntBool = stand_in("bool_", __bool__=lambda self: 1)
NoneBool = stand_in("bool_", __bool__=lambda self: None)
SelfBool = stand_in("bool_", __bool__=lambda self: self)
OtherModule = stand_in("bool_", module="numpyx", __bool__=lambda self: True)
OtherName = stand_in("bool8", __bool__=lambda self: True)

instance_only = NoBool()
instance_only.__bool__ = lambda: True  # an instance attribute is not the type's __bool__

NO_BOOL_MSG = "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"


def F(d: dict) -> tuple:
    return (d,)


TO_DICT_ROWS = [
    row("ok", "to_dict", (), {"ok": True, "value": PAYLOAD}),
    row("ok_none", "to_dict", (), {"ok": True, "value": None}),
    row("err", "to_dict", (), {"ok": False, "error": "boom"}),
    row("err_nones", "to_dict", (), {"ok": False, "error": "boom"}),
    row("err_full", "to_dict", (), {"ok": False, "error": "boom", "code": "E42", "details": DETAILS}),
    row("err_ecode", "to_dict", (), {"ok": False, "error": "e", "code": ""}),
]

FROM_DICT_ROWS = [
    # -- Ok
    row("cls", "from_dict", F({"ok": True, "value": PAYLOAD}), Ok(PAYLOAD)),
    row("cls", "from_dict", F({"value": 1, "ok": True, "extra": 2}), Ok(1), label="extra-key"),
    row("cls", "from_dict", F({"ok": True, "value": 1, "error": "x", "code": 5}), Ok(1), label="err-keys-ignored"),
    row("ok", "from_dict", F({"ok": True, "value": RET}), Ok(RET), label="on-instance"),
    row("cls", "from_dict", (), Ok(RET), kw={"dict": {"ok": True, "value": RET}}, label="kw"),
    # -- Err
    row("cls", "from_dict", F({"ok": False, "error": "x"}), Err("x")),
    row("cls", "from_dict", F({"ok": False, "error": ""}), Err(""), label="empty-message"),
    row("cls", "from_dict", F({"ok": False, "error": "a\0b", "code": "\0"}), Err("a\0b", "\0"), label="nul"),
    row("cls", "from_dict", F({"ok": False, "error": Sub("s"), "code": Sub("c")}), Err("s", "c"), label="str-subclass"),
    row("cls", "from_dict", F({"ok": False, "error": "x", "value": PAYLOAD}), Err("x"), label="value-ignored"),
    row("cls", "from_dict", F({"ok": False, "error": "x", "code": "", "details": RET}), Err("x", "", RET)),
    row("cls", "from_dict", F({"ok": False, "error": "x", "details": None}), Err("x", details=None),
        label="details-none-present"),
    row("cls", "from_dict", F({"ok": False, "error": "x", "code": 42}), Err("x"), label="int-code-dropped"),
    row("cls", "from_dict", F({"ok": False, "error": "x", "code": SURROGATE}), Err("x"), label="surrogate-code-dropped"),
    # -- failures
    row("cls", "from_dict", F({}), Raises(ValueError, "Missing 'ok' key in dict")),
    row("cls", "from_dict", F({"value": 1}), Raises(ValueError, "Missing 'ok' key in dict"), label="value-only"),
    row("cls", "from_dict", F({"ok": True}), Raises(ValueError, "Missing 'value' key for Ok result")),
    row("cls", "from_dict", F({"ok": False, "value": 1}), Raises(ValueError, "Missing 'error' key for Err result")),
    row("cls", "from_dict", F({"ok": 1, "value": 2}), Raises(TypeError, "'int' object is not an instance of 'bool'")),
    row("cls", "from_dict", F({"ok": "true", "value": 2}), Raises(TypeError, "'str' object is not an instance of 'bool'")),
    row("cls", "from_dict", F({"ok": None}), Raises(TypeError, "'None' is not an instance of 'bool'")),
    row("cls", "from_dict", F({"ok": False, "error": 42}), Raises(TypeError, "'int' object is not an instance of 'str'")),
    row("cls", "from_dict", F({"ok": False, "error": None}), Raises(TypeError, "'None' is not an instance of 'str'")),
    row("cls", "from_dict", F({"ok": False, "error": SURROGATE}), Raises(UnicodeEncodeError, SURROGATE_MSG)),
    row("cls", "from_dict", F([("ok", True)]),
        Raises(TypeError, "argument 'dict': 'list' object is not an instance of 'dict'")),
    # -- dict subclasses: only the dict's own storage is read
    row("cls", "from_dict", F(Sneaky(ok=True, value=PAYLOAD)), Ok(PAYLOAD), label="subclass"),
    row("cls", "from_dict", F(Sneaky(ok=False, error="x", details=RET)), Err("x", details=RET), label="subclass"),
    row("cls", "from_dict", F(Sneaky()), Raises(ValueError, "Missing 'ok' key in dict"), label="subclass-missing"),
    row("cls", "from_dict", F(Sneaky(ok=True)), Raises(ValueError, "Missing 'value' key for Ok result"),
        label="subclass-missing"),
    # -- NumPy booleans, real (when NumPy is there) and stand-in
    *([] if numpy is None else [
        row("cls", "from_dict", F({"ok": numpy.bool_(True), "value": PAYLOAD}), Ok(PAYLOAD), label="numpy-true"),
        row("cls", "from_dict", F({"ok": numpy.False_, "error": "x"}), Err("x"), label="numpy-false"),
        row("cls", "from_dict", F({"ok": numpy.int64(1), "value": 1}),
            Raises(TypeError, "'int64' object is not an instance of 'bool'"), label="numpy-int"),
    ]),
    row("cls", "from_dict", F({"ok": TrueBool(), "value": RET}), Ok(RET), label="stand-in-true"),
    row("cls", "from_dict", F({"ok": FalseBool(), "error": "x"}), Err("x"), label="stand-in-false"),
    row("cls", "from_dict", F({"ok": NoBool(), "value": 1}), Raises(TypeError, NO_BOOL_MSG), label="no-bool"),
    row("cls", "from_dict", F({"ok": instance_only, "value": 1}), Raises(TypeError, NO_BOOL_MSG),
        label="instance-bool-ignored"),
    row("cls", "from_dict", F({"ok": NoBoolNew(), "value": 1}),
        Raises(TypeError, "object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion"),
        label="no-bool-new-name"),
    row("cls", "from_dict", F({"ok": RaisingBool(), "value": 1}), Raises(Boom, "from __bool__"), label="raising-bool"),
    row("cls", "from_dict", F({"ok": IntBool(), "value": 1}),
        Raises(TypeError, "'int' object is not an instance of 'bool'"), label="bool-gives-int"),
    row("cls", "from_dict", F({"ok": NoneBool(), "value": 1}),
        Raises(TypeError, "'None' is not an instance of 'bool'"), label="bool-gives-none"),
    row("cls", "from_dict", F({"ok": SelfBool(), "value": 1}),
        Raises(TypeError, "'bool_' object is not an instance of 'bool'"), label="bool-gives-self"),
    row("cls", "from_dict", F({"ok": OtherModule(), "value": 1}),
        Raises(TypeError, "'bool_' object is not an instance of 'bool'"), label="other-module"),
    row("cls", "from_dict", F({"ok": OtherName(), "value": 1}),
        Raises(TypeError, "'bool8' object is not an instance of 'bool'"), label="other-name"),
]


@pytest.mark.parametrize("recv, op, args, kw, expected", TO_DICT_ROWS + FROM_DICT_ROWS)
def test_dict_table(recv: str, op: str, args: tuple, kw: dict, expected: Any) -> None:
    run_row(recv, op, args, kw, expected)


@pytest.mark.parametrize("recv, op, args, kw, expected", TO_DICT_ROWS + FROM_DICT_ROWS)
def test_dict_table_keeps_refcounts(recv: str, op: str, args: tuple, kw: dict, expected: Any) -> None:
    run_row(recv, op, args, kw, expected)
    before = refcounts()
    for _ in range(5):
        run_row(recv, op, args, kw, expected)
    assert refcounts() == before


def test_numpy_bool_exception_is_the_same_object() -> None:
    with pytest.raises(Boom) as info:
        R.from_dict({"ok": RaisingBool(), "value": 1})
    assert info.value is BOOM


@pytest.mark.parametrize(
    "make",
    [
        RECEIVERS["ok"],
        RECEIVERS["ok_none"],
        RECEIVERS["err"],
        RECEIVERS["err_full"],
        RECEIVERS["err_ecode"],
        lambda: R.from_dict({"ok": False, "error": "x", "details": None}),
        lambda: R.ok(R.err("nested", "N", DETAILS)),
    ],
    ids=["ok", "ok-none", "err-message", "err-full", "err-empty-code", "err-details-none", "ok-of-err"],
)
def test_round_trip(make) -> None:
    r = make()
    d = r.to_dict()
    back = R.from_dict(d)
    assert type(back) is R and back is not r
    assert same(back.to_dict(), d)
    assert same(normalise(back), normalise(r))
    for key in ("value", "details"):
        if key in d:
            assert back.to_dict()[key] is d[key]


def test_details_none_present_versus_absent() -> None:
    present = R.from_dict({"ok": False, "error": "x", "details": None})
    absent = R.from_dict({"ok": False, "error": "x"})
    assert list(present.to_dict()) == ["ok", "error", "details"]
    assert list(absent.to_dict()) == ["ok", "error"]
    assert present.unwrap_err() == absent.unwrap_err() == ("x", None, None)


def test_dicts_are_independent_of_instances() -> None:
    d = {"ok": False, "error": "x", "code": "c", "details": DETAILS}
    r = R.from_dict(d)
    d.clear()
    assert r.unwrap_err() == ("x", "c", DETAILS)
    out = r.to_dict()
    out["error"] = "changed"
    assert r.to_dict() is not out
    assert r.unwrap_err() == ("x", "c", DETAILS)


# ---------------------------------------------------------------------------
# Dicts that change while they are being read, under the debug allocator
# (freed memory is poisoned, so a dangling reference shows as garbage or a crash)

HOSTILE = textwrap.dedent(
    """
    import gc, sys, weakref
    from tarnwick import Result

    class Clearing:
        '''A key with the hash of a dict-form key whose __eq__ empties the dict.'''
        def __init__(self, name, refill=None):
            self.h = hash(name)
            self.refill = refill or {}
            self.target = None
        def __hash__(self):
            return self.h
        def __eq__(self, other):
            if self.target is not None:
                target, self.target = self.target, None
                target.clear()
                target.update(self.refill)
            return False

    def from_dict_raises(d, exc_type):
        try:
            Result.from_dict(d)
        except exc_type as e:
            return e
        raise AssertionError("no error")

    def dynamic(text):
        # A fresh str that only the dict will hold.
        return "".join(list(text))

    class Value:
        pass

    finalised = []
    def watched():
        v = Value()
        weakref.finalize(v, finalised.append, 1)
        return v

    def hostile(entries, name, refill=None):
        key = Clearing(name, refill)
        d = {}
        for k, v in entries:
            d[key if k is None else k] = v
        key.target = d
        return d

    # The "ok" lookup meets the clearing key first: the dict ends up empty.
    d = hostile([(None, 0), ("ok", True), ("value", watched())], "ok")
    e = from_dict_raises(d, ValueError)
    assert str(e) == "Missing 'ok' key in dict", e
    gc.collect()
    assert finalised == [1], finalised

    # Cleared during the "value" lookup and refilled with a new value.
    new = Value()
    d = hostile([("ok", True), (None, 0), ("value", watched())], "value", {"value": new})
    r = Result.from_dict(d)
    assert r.unwrap() is new
    assert finalised == [1, 1], finalised

    # Err: message and code were read before the dict is emptied during the
    # "details" lookup; both texts must come out intact.
    msg, code = "m\\u00e9ssage-\\u20ac" * 3, "c\\u00f8de"
    d = hostile([("ok", False), ("error", dynamic(msg)), ("code", dynamic(code)), (None, 0),
                 ("details", watched())], "details")
    r = Result.from_dict(d)
    assert len(d) == 0
    assert r.unwrap_err() == (msg, code, None), r.unwrap_err()
    assert repr(r) == "Err('%s', code='%s')" % (msg, code)
    assert finalised == [1, 1, 1], finalised

    # Cleared during the "code" lookup: the message survives, code and details are gone.
    d = hostile([("ok", False), ("error", dynamic(msg)), (None, 0), ("code", "c"), ("details", 1)], "code")
    assert Result.from_dict(d).unwrap_err() == (msg, None, None)

    # A NumPy-like flag whose __bool__ empties the dict it came from.
    class bool_:
        __module__ = "numpy"
        def __init__(self, value, refill=None):
            self.value, self.refill, self.target = value, refill or {}, None
        def __bool__(self):
            self.target.clear()
            self.target.update(self.refill)
            self.target = None
            return self.value

    def flagged(value, entries, refill=None):
        flag = bool_(value, refill)
        d = {"ok": flag}
        d.update(entries)
        flag.target = d
        del flag
        return d

    d = flagged(True, {"value": watched()})
    e = from_dict_raises(d, ValueError)
    assert str(e) == "Missing 'value' key for Ok result", e
    assert finalised == [1] * 4, finalised

    d = flagged(True, {"value": watched()}, {"value": new})
    assert Result.from_dict(d).unwrap() is new
    assert finalised == [1] * 5, finalised

    d = flagged(False, {"error": "old"}, {"error": dynamic(msg), "code": dynamic(code), "details": new})
    assert Result.from_dict(d).unwrap_err() == (msg, code, new)

    # A key whose __eq__ raises: the exception comes out of from_dict unchanged.
    # It is armed only once the dict is built, so the error can only come
    # from the lookup inside from_dict.
    class Raising:
        armed = False
        def __hash__(self):
            return hash("ok")
        def __eq__(self, other):
            if Raising.armed:
                raise exc
            return False
    exc = LookupError("from __eq__")
    d = {Raising(): 1, "ok": True, "value": 1}
    Raising.armed = True
    assert from_dict_raises(d, LookupError) is exc

    # The dict lent without a reference of the caller's own (functools.partial's
    # stored argument) and dropped, so freed, while from_dict still reads it:
    # by a NumPy-like flag's __bool__, and by a key's __eq__ inside a lookup.
    import functools
    def drop_lent_dict():
        if lender is None:  # still building the dict
            return
        lender.__setstate__((Result.from_dict, ({"ok": True, "value": "other"},), None, None))
        global reuse
        reuse = [{"ok": True, "value": i} for i in range(100)]  # takes the freed memory
    LendingFlag = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: drop_lent_dict() or True})
    LendingKey = type("LendingKey", (), {"__hash__": lambda self: hash("value"),
                                         "__eq__": lambda self, other: drop_lent_dict() or False})
    for make in (lambda: {"ok": LendingFlag(), "value": "original"},
                 lambda: {LendingKey(): 0, "ok": True, "value": "original"}):
        lender = None
        lender = functools.partial(Result.from_dict, make())
        assert lender().unwrap() == "original"
    print("survived")
    """
)


def test_hostile_dicts_under_debug_allocator() -> None:
    env = dict(os.environ, PYTHONMALLOC="debug")
    proc = subprocess.run(
        [sys.executable, "-X", "dev", "-c", HOSTILE], capture_output=True, text=True, timeout=120, env=env
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "survived"
