"""MayBe: constructors, inspection, combinators and operators.

Most behaviour is one table of (operation, receiver, args, expected). An
operation is a method name, looked up on the receiver, or a callable applied
as op(receiver, *args). Expected is a plain value (compared by type and
equality), one of the markers below, or Raises(type, message).
"""
import operator
import re

import pytest

from tarnwick import MayBe, Result


class Just:
    """A new instance of exactly MayBe, Just holding `value` (by equality,
    or by identity when same=True)."""

    def __init__(self, value, same=False):
        self.value, self.same = value, same

    def check(self, got):
        assert type(got) is MayBe and got.is_just() and not got.is_nothing()
        held = got.unwrap()
        if self.same:
            assert held is self.value
        else:
            assert type(held) is type(self.value) and held == self.value


class Nothing:
    def check(self, got):
        assert type(got) is MayBe and got.is_nothing() and not got.is_just()
        assert len(got) == 0 and not got


class Same:
    """The very object, not a copy or a wrapper."""

    def __init__(self, obj):
        self.obj = obj

    def check(self, got):
        assert got is self.obj


class Raises:
    """`message` is the exact text of an exception the module builds itself
    (checked against args too), or a compiled pattern for the interpreter's
    own messages, or None when only the type matters."""

    def __init__(self, exc_type, message=None):
        self.exc_type, self.message = exc_type, message


def uncallable(*args):
    raise AssertionError(f"must not be called (got {args!r})")


class StrNotRepr:
    def __str__(self):
        return "via-str"

    def __repr__(self):
        return "via-repr"


def construct(cls, *args):
    return cls(*args)


def call(name, /, *args, **kwargs):
    return lambda m: getattr(m, name)(*args, **kwargs)


J = MayBe.just
N = MayBe.nothing
NOT_CALLABLE_INT = re.compile(r"'int' object is not callable")
CAST_INT = "'int' object is not an instance of 'MayBe'"
CAST_NONE = "'None' is not an instance of 'MayBe'"
INNER_NOTHING = N()
INNER_JUST = J(7)
SENTINEL = object()

ROWS = [
    # --- constructors: only None means Nothing, no flattening
    ("ctor-None", construct, MayBe, (None,), Nothing()),
    ("ctor-zero", construct, MayBe, (0,), Just(0)),
    ("ctor-empty-str", construct, MayBe, ("",), Just("")),
    ("ctor-False", construct, MayBe, (False,), Just(False)),
    ("ctor-of-Nothing-is-Just", construct, MayBe, (INNER_NOTHING,), Just(INNER_NOTHING, same=True)),
    ("ctor-keyword", lambda cls: cls(obj=1), MayBe, (), Just(1)),
    ("ctor-missing", construct, MayBe, (),
     Raises(TypeError, "MayBe.__new__() missing 1 required positional argument: 'obj'")),
    ("ctor-too-many", construct, MayBe, (1, 2),
     Raises(TypeError, "MayBe.__new__() takes 1 positional arguments but 2 were given")),
    ("ctor-multiple-values", lambda cls: cls(1, obj=2), MayBe, (),
     Raises(TypeError, "MayBe.__new__() got multiple values for argument 'obj'")),
    ("just-None", "just", MayBe, (None,), Just(None, same=True)),
    ("just-keyword", call("just", obj=1), MayBe, (), Just(1)),
    ("just-missing", "just", MayBe, (),
     Raises(TypeError, "MayBe.just() missing 1 required positional argument: 'obj'")),
    ("nothing", "nothing", MayBe, (), Nothing()),
    # --- a Just holding None is a Just everywhere
    ("jnone-is_just", "is_just", J(None), (), True),
    ("jnone-unwrap", "unwrap", J(None), (), None),
    ("jnone-to_option", "to_option", J(None), (), None),
    ("jnone-or_else", "or_else", J(None), (5,), None),
    ("jnone-repr", repr, J(None), (), "Just(None)"),
    ("jnone-or", operator.or_, J(None), (5,), None),
    ("jnone-map", "map", J(None), (lambda v: v is None,), Just(True)),
    ("jnone-match", "match", J(None), (lambda v: ("just", v), uncallable), ("just", None)),
    ("jnone-rshift", operator.rshift, J(None), (lambda v: J(v is None),), Just(True)),
    # --- unwrap / expect
    ("unwrap-just", "unwrap", J(SENTINEL), (), Same(SENTINEL)),
    ("unwrap-nothing", "unwrap", N(), (), Raises(ValueError, "Tried to unwrap a Nothing")),
    ("expect-just", "expect", J(1), ("m",), 1),
    ("expect-keyword", call("expect", message="m"), J(1), (), 1),
    ("expect-nothing", "expect", N(), ("boom",), Raises(ValueError, "boom")),
    ("expect-nothing-empty", "expect", N(), ("",), Raises(ValueError, "")),
    ("expect-nothing-nul-and-non-ascii", "expect", N(), ("a\0b é€😀",), Raises(ValueError, "a\0b é€😀")),
    ("expect-int-on-just", "expect", J(1), (42,),
     Raises(TypeError, "argument 'message': 'int' object is not an instance of 'str'")),
    ("expect-None-on-nothing", "expect", N(), (None,),
     Raises(TypeError, "argument 'message': 'None' is not an instance of 'str'")),
    ("expect-surrogate-on-just", "expect", J(1), ("\ud800",), Raises(UnicodeEncodeError)),
    # --- to_option / or_else (default is never called)
    ("to_option-just", "to_option", J(SENTINEL), (), Same(SENTINEL)),
    ("to_option-nothing", "to_option", N(), (), None),
    ("or_else-just", "or_else", J(1), (uncallable,), 1),
    ("or_else-nothing-callable", "or_else", N(), (uncallable,), Same(uncallable)),
    # --- repr / str
    ("repr-nothing", repr, N(), (), "Nothing"),
    ("repr-str-unquoted", repr, J("x"), (), "Just(x)"),
    ("repr-nested-just", repr, J(J(1)), (), "Just(Just(1))"),
    ("repr-nested-nothing", repr, J(N()), (), "Just(Nothing)"),
    ("repr-uses-str", repr, J(StrNotRepr()), (), "Just(via-str)"),
    ("repr-keeps-nul", repr, J("a\0b"), (), "Just(a\0b)"),
    ("str-equals-repr", str, J([1, "a"]), (), "Just([1, 'a'])"),
    ("repr-lone-surrogate", repr, J("\ud800"), (), Raises(UnicodeEncodeError)),
    # --- map: wraps whatever func returns, never flattens
    ("map-just", "map", J(2), (lambda x: x * 10,), Just(20)),
    ("map-to-None", "map", J(1), (lambda x: None,), Just(None, same=True)),
    ("map-to-maybe", "map", J(1), (lambda x: INNER_JUST,), Just(INNER_JUST, same=True)),
    ("map-keyword", call("map", func=lambda x: x + 1), J(1), (), Just(2)),
    ("map-nothing-uncallable", "map", N(), (5,), Nothing()),
    ("map-just-uncallable", "map", J(1), (5,), Raises(TypeError, NOT_CALLABLE_INT)),
    # --- flat_map: func must return a MayBe
    ("flat_map-to-just", "flat_map", J(1), (lambda x: J(x + 1),), Just(2)),
    ("flat_map-to-nothing", "flat_map", J(1), (lambda x: N(),), Nothing()),
    ("flat_map-to-int", "flat_map", J(1), (lambda x: x,), Raises(TypeError, CAST_INT)),
    ("flat_map-to-None", "flat_map", J(1), (lambda x: None,), Raises(TypeError, CAST_NONE)),
    ("flat_map-to-result", "flat_map", J(1), (Result.ok,),
     Raises(TypeError, "'Result' object is not an instance of 'MayBe'")),
    ("flat_map-nothing-uncallable", "flat_map", N(), (5,), Nothing()),
    # --- match: handler result unwrapped; None counts as not given
    ("match-just-no-handlers", "match", J(1), (), None),
    ("match-nothing-only-just", call("match", just=uncallable), N(), (), None),
    ("match-nothing-handler", call("match", nothing=lambda: 0), N(), (), 0),
    ("match-just-positional", "match", J(3), (lambda v: v + 1,), 4),
    ("match-just-ignores-nothing", call("match", just=None, nothing=5), J(1), (), None),
    ("match-nothing-ignores-just", "match", N(), (5, None), None),
    ("match-result-not-wrapped", "match", J(1), (lambda v: INNER_JUST,), Same(INNER_JUST)),
    ("match-nothing-uncallable", call("match", nothing=5), N(), (), Raises(TypeError, NOT_CALLABLE_INT)),
    # --- | (identity and NotImplemented rules are shared with Result)
    ("or-nothing-None", operator.or_, N(), (None,), None),
    # --- >>: flat_map as an operator; errors after the call are raised
    ("rshift-just", operator.rshift, J(1), (lambda x: J(x + 1),), Just(2)),
    ("rshift-nothing-uncallable", operator.rshift, N(), (5,), Nothing()),
    ("rshift-cast-error", operator.rshift, J(1), (lambda x: 2,), Raises(TypeError, CAST_INT)),
    ("rshift-just-uncallable", operator.rshift, J(1), (5,), Raises(TypeError, NOT_CALLABLE_INT)),
]


@pytest.mark.parametrize(
    ("op", "receiver", "args", "expected"),
    [pytest.param(*row[1:], id=row[0]) for row in ROWS],
)
def test_table(op, receiver, args, expected):
    run = (lambda: getattr(receiver, op)(*args)) if isinstance(op, str) else (lambda: op(receiver, *args))
    if isinstance(expected, Raises):
        with pytest.raises(expected.exc_type) as info:
            run()
        exc = info.value
        if isinstance(expected.message, str):
            assert type(exc) is expected.exc_type
            assert exc.args == (expected.message,)
        elif expected.message is not None:
            assert expected.message.fullmatch(str(exc)), str(exc)
        return
    got = run()
    if hasattr(expected, "check"):
        expected.check(got)
    else:
        assert type(got) is type(expected) and got == expected


def test_equality_is_identity():
    a, b = N(), N()
    assert a is not b and a != b and not (a == b)
    assert J(1) != J(1)
    assert a == a
    assert hash(a) == object.__hash__(a)


@pytest.mark.parametrize("via", ["flat_map", "rshift"])
def test_flat_map_result_is_new_but_holds_same_object(via):
    payload = object()
    returned = J(payload)
    m = J(1)
    got = m.flat_map(lambda v: returned) if via == "flat_map" else m >> (lambda v: returned)
    assert got is not returned and got is not m
    assert got.unwrap() is returned.unwrap() is payload


def test_repr_propagates_the_same_exception():
    error = LookupError("no text")

    class Bad:
        def __str__(self):
            raise error

    m = J(Bad())
    with pytest.raises(LookupError) as info:
        repr(m)
    assert info.value is error
    assert repr(m.map(lambda v: 1)) == "Just(1)"  # the instance is still usable


def make_chain(log, *steps):
    """Callables for `>>` that record their call and return steps[i](v)."""

    def link(i, step):
        def f(v):
            log.append((i, v))
            return step(v)

        return f

    return [link(i, step) for i, step in enumerate(steps)]


def test_rshift_chain_applies_left_to_right():
    log = []
    f, g, h = make_chain(log, lambda v: J(v + 1), lambda v: J(v * 10), lambda v: J(str(v)))
    got = J(1) >> f >> g >> h
    assert log == [(0, 1), (1, 2), (2, 20)]
    Just("20").check(got)


@pytest.mark.parametrize("stop_at", [0, 1, 2])
def test_rshift_chain_stops_at_first_nothing(stop_at):
    log = []
    steps = [lambda v: J(v + 1)] * 4
    steps[stop_at] = lambda v: N()
    chain = make_chain(log, *steps)
    got = J(0)
    for f in chain:
        got = got >> f
    Nothing().check(got)
    assert [i for i, _ in log] == list(range(stop_at + 1))


def test_rshift_chain_from_nothing_calls_nothing():
    log = []
    chain = make_chain(log, lambda v: J(v), lambda v: J(v))
    Nothing().check(N() >> chain[0] >> chain[1])
    assert log == []
