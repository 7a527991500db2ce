"""Behaviour Result and MayBe have in common, run against both classes.

Both are containers of zero or one object: a "full" instance (Result.ok(x),
MayBe.just(x)) holds x, an "empty" one (Result.err("e"), MayBe.nothing())
holds nothing.
"""
import gc
import re
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable

import pytest

from tarnwick import MayBe, Result


@dataclass(frozen=True)
class Kind:
    cls: type
    full: Callable[[Any], Any]
    empty: Callable[[], Any]


RESULT = Kind(Result, Result.ok, lambda: Result.err("e"))
MAYBE = Kind(MayBe, MayBe.just, MayBe.nothing)
OTHER = {Result: MAYBE, MayBe: RESULT}


@pytest.fixture(params=[RESULT, MAYBE], ids=lambda k: k.cls.__name__)
def kind(request):
    return request.param


EMPTY = object()  # marks "the empty instance" in parameter lists


def make(kind, held):
    return kind.empty() if held is EMPTY else kind.full(held)


def is_full(inst):
    return inst.is_ok() if type(inst) is Result else inst.is_just()


def held_of(inst):
    return inst.unwrap()


def unsupported(op):
    return re.compile(rf"unsupported operand type\(s\) for {re.escape(op)}: .*")


STATES = pytest.mark.parametrize("held", [0, None, EMPTY], ids=["0", "None", "empty"])


# ---------------------------------------------------------------------------
# Container protocol


@STATES
def test_len_and_truth_ignore_the_held_value(kind, held):
    inst = make(kind, held)
    full = held is not EMPTY
    assert len(inst) == int(full)
    assert bool(inst) is full
    assert (1 if inst else 0) == int(full)


@STATES
def test_iteration(kind, held):
    inst = make(kind, held)
    expected = [] if held is EMPTY else [held]
    got = list(inst)
    assert got == expected and all(a is b for a, b in zip(got, expected))
    if held is EMPTY:
        [] = inst  # noqa: unpacking an empty container binds nothing
    else:
        (only,) = inst
        assert only is held
    it = iter(inst)
    assert type(it) is type(iter(()))
    assert type(it).__name__ == "tuple_iterator"
    other = iter(inst)
    assert other is not it
    # The iterator owns its tuple: it outlives the instance and is not
    # advanced by a sibling iterator.
    del inst
    gc.collect()
    assert list(it) == expected
    assert list(other) == expected


def test_subscription_is_the_class_itself(kind):
    assert kind.cls[int] is kind.cls
    assert kind.cls[int, str] is kind.cls
    assert kind.cls.__class_getitem__(_item=None) is kind.cls


# ---------------------------------------------------------------------------
# The | operator and NotImplemented


class Payload:
    def __init__(self, text="payload", fail=False):
        self.text, self.fail = text, fail

    def __str__(self):
        if self.fail:
            raise ValueError("no str")
        return self.text


@pytest.mark.parametrize(
    ("held", "right", "takes"),
    [
        (Payload(), Payload(), "held"),
        (None, Payload(), "held"),
        (EMPTY, Payload(), "right"),
        (EMPTY, None, "right"),
        (EMPTY, MayBe.nothing(), "right"),
    ],
    ids=["full", "full-None", "empty", "empty-None", "empty-MayBe"],
)
def test_or_returns_held_object_or_fallback_by_identity(kind, held, right, takes):
    inst = make(kind, held)
    got = inst | right
    assert got is (held if takes == "held" else right)


class Reflects:
    """Has only reflected operators, recording the left operand."""

    def __ror__(self, left):
        return ("ror", left)

    def __rrshift__(self, left):
        return ("rrshift", left)


DECLINED = {
    "int-or": ("|", lambda k: 5 | k.full(1)),
    "int-rshift": (">>", lambda k: 5 >> k.full(1)),
    "full-NotImplemented-or": ("|", lambda k: k.full(NotImplemented) | 5),
    "empty-or-NotImplemented": ("|", lambda k: k.empty() | NotImplemented),
    # This class declines, then the other class's slot sees a left operand
    # that is not its own and declines too.
    "other-class-declines": ("|", lambda k: k.full(NotImplemented) | OTHER[k.cls].full(3)),
}


@pytest.mark.parametrize("case", list(DECLINED))
def test_declined_operators_end_in_interpreter_type_error(kind, case):
    op, run = DECLINED[case]
    with pytest.raises(TypeError) as info:
        run(kind)
    assert unsupported(op).fullmatch(str(info.value)), str(info.value)


def test_declined_or_reaches_the_reflected_operator(kind):
    right = Reflects()
    inst = kind.full(NotImplemented)
    tag, left = inst | right
    assert tag == "ror" and left is inst
    # A chosen object other than NotImplemented is returned as is: the
    # reflected operator is never asked.
    assert (kind.empty() | right) is right


def test_errors_after_the_call_are_raised_not_declined(kind):
    other = OTHER[kind.cls]
    with pytest.raises(TypeError) as info:
        kind.full(1) >> other.full
    msg = f"'{other.cls.__name__}' object is not an instance of '{kind.cls.__name__}'"
    assert info.value.args == (msg,)
    # The right operand has __rrshift__, but an exception is not a decline.
    with pytest.raises(TypeError):
        kind.full(1) >> (lambda v: Reflects())


# ---------------------------------------------------------------------------
# New instances, identity of held objects


@pytest.mark.parametrize("op", ["map", "flat_map", "rshift"])
@pytest.mark.parametrize("held", [Payload(), EMPTY], ids=["full", "empty"])
def test_every_operation_yields_a_new_instance(kind, op, held):
    inst = make(kind, held)
    returned = []

    def give_back_receiver(v):
        # The worst case for reuse: the callable hands back the receiver.
        returned.append(inst)
        return inst

    got = inst.map(give_back_receiver) if op == "map" else (
        inst.flat_map(give_back_receiver) if op == "flat_map" else inst >> give_back_receiver)
    assert type(got) is kind.cls
    assert got is not inst
    assert all(got is not r for r in returned)
    assert returned == ([] if held is EMPTY else [inst])
    if held is EMPTY:
        assert not is_full(got)
    elif op == "map":
        assert held_of(got) is inst  # wrapped, not flattened
    else:
        assert held_of(got) is held


def raiser(error, cause):
    raise error from cause


@pytest.mark.parametrize("op", ["map", "flat_map", "rshift", "match-full", "match-empty", "repr"])
def test_exceptions_pass_through_unchanged(kind, op):
    error, cause = KeyError("inner"), OSError("cause")

    def fail(*args):
        raiser(error, cause)

    inst = kind.empty() if op == "match-empty" else kind.full(1)
    run = {
        "map": lambda: inst.map(fail),
        "flat_map": lambda: inst.flat_map(fail),
        "rshift": lambda: inst >> fail,
        "match-full": lambda: inst.match(fail, None),
        "match-empty": lambda: inst.match(None, fail),
        "repr": lambda: repr(kind.full(type("S", (), {"__str__": fail})())),
    }[op]
    with pytest.raises(KeyError) as info:
        run()
    assert info.value is error
    assert error.__cause__ is cause and error.__suppress_context__
    tb, names = error.__traceback__, []
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert names[-2:] == ["fail", "raiser"]
    assert is_full(inst) == (op != "match-empty")  # receiver untouched


# ---------------------------------------------------------------------------
# Re-entrancy and threads


def use_everything(inst, kind):
    """Every read-only path of the instance, with a check of its answer."""
    full = is_full(inst)
    assert bool(inst) is full and len(inst) == int(full)
    assert list(inst) == ([held_of(inst)] if full else [])
    sentinel = object()
    assert (inst | sentinel) is (held_of(inst) if full else sentinel)
    assert repr(inst).startswith(("Ok(", "Just(") if full else ("Err(", "Nothing"))
    mapped = inst.map(lambda v: v)
    assert is_full(mapped) == full
    bound = inst >> kind.full
    assert is_full(bound) == full
    return full


def test_callables_may_reenter_the_receiver(kind):
    inst = kind.full(Payload())
    depth = []

    def nested(v):
        use_everything(inst, kind)
        if len(depth) < 20:
            depth.append(v)
            inst.map(nested)
        return "done"

    assert held_of(inst.map(nested)) == "done"
    assert held_of(inst.flat_map(lambda v: kind.full(use_everything(inst, kind)))) is True
    assert inst.match(lambda v: use_everything(inst, kind), None) is True
    empty = kind.empty()
    assert empty.match(None, lambda *a: use_everything(empty, kind)) is False
    # A payload whose __str__ uses the instance being printed.
    holder = []
    payload = type("P", (), {"__str__": lambda self: str(len(holder[0]) + len(list(holder[0])))})()
    holder.append(kind.full(payload))
    assert repr(holder[0]).endswith("(2)")
    assert len(depth) == 20
    use_everything(inst, kind)


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(old)
    assert sys.getswitchinterval() == old


def test_instances_shared_between_threads(kind, fast_switching):
    payload = Payload("shared")
    full, empty = kind.full(payload), kind.empty()
    baseline = sys.getrefcount(payload)
    barrier = threading.Barrier(8)
    errors = []

    def slow_identity(v):
        time.sleep(0)
        assert use_everything(full, kind)
        time.sleep(0)
        return v

    def worker(n):
        try:
            barrier.wait()
            for i in range(200):
                assert held_of(full.map(slow_identity)) is payload
                assert held_of(full >> (lambda v: kind.full(slow_identity(v)))) is payload
                assert not is_full(empty.map(slow_identity))
                assert empty.match(None, lambda *a: slow_identity(n)) == n
                assert (empty | i) == i
                assert repr(full) in ("Ok(shared)", "Just(shared)")
        except BaseException as exc:  # reported below, on the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert sys.getrefcount(payload) == baseline
    assert use_everything(full, kind) and not use_everything(empty, kind)


# ---------------------------------------------------------------------------
# Reference counts


def assert_refcount_restored(payload, operation, raises):
    """Run operation() a few times, drop whatever it returned or raised, and
    check that payload's reference count is what it was before."""
    before = sys.getrefcount(payload)
    raised = []
    for _ in range(3):
        try:
            result = operation()
        except Exception:
            raised.append(True)
        else:
            raised.append(False)
            del result
    assert raised == [raises] * 3
    assert sys.getrefcount(payload) == before


def fails(v):
    raise ValueError(v)  # the exception itself refers to the payload


# name: (operation(kind, payload, full, empty), whether it raises)
REFCOUNT_CASES = {
    "or-held": (lambda k, p, f, e: f | 0, False),
    "or-fallback": (lambda k, p, f, e: e | p, False),
    "iterator-left-over": (lambda k, p, f, e: iter(f), False),
    "repr": (lambda k, p, f, e: repr(f), False),
    "map": (lambda k, p, f, e: f.map(lambda v: v), False),
    "flat_map": (lambda k, p, f, e: f.flat_map(k.full), False),
    "match": (lambda k, p, f, e: f.match(lambda v: v), False),
    "empty-ignores-callable": (lambda k, p, f, e: (e.map(p), e.flat_map(p), e >> p, e.match(p)), False),
    "repr-raises": (lambda k, p, f, e: repr(f), True),  # the payload's __str__ raises here
    "map-raises": (lambda k, p, f, e: f.map(fails), True),
    "flat_map-cast-error": (lambda k, p, f, e: f.flat_map(lambda v: v), True),
    "rshift-cast-error": (lambda k, p, f, e: f >> (lambda v: v), True),
}


@pytest.mark.parametrize("case", list(REFCOUNT_CASES))
def test_payload_refcount_restored(kind, case):
    payload = Payload(fail=case == "repr-raises")
    alone = sys.getrefcount(payload)
    full, empty = kind.full(payload), kind.empty()
    assert sys.getrefcount(payload) == alone + 1
    operation, raises = REFCOUNT_CASES[case]
    assert_refcount_restored(payload, lambda: operation(kind, payload, full, empty), raises)
    del full
    assert sys.getrefcount(payload) == alone
