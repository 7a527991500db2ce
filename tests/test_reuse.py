"""What the cheaper paths must not change: keyword calls bound without the
general loop, Err texts shared by pass-through copies, reprs joined without
format parsing, and instance memory reused from free lists."""
from __future__ import annotations

import random
import sys

import pytest

from tarnwick import MayBe, Result

OK = Result.ok(5)


def f(v: object) -> str:
    return f"ok:{v}"


def g(*args: object) -> str:
    return f"err:{args}"


KW = "".join(["o", "k"])  # equal to "ok" but not the interned object


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda: OK.match(ok=f, err=g), "ok:5"),
        (lambda: OK.match(err=g, ok=f), "ok:5"),
        (lambda: OK.match(f, err=g), "ok:5"),
        (lambda: OK.match(ok=f), "ok:5"),
        (lambda: OK.match(err=g), None),
        (lambda: OK.match(**{KW: f}), "ok:5"),
        (lambda: Result.err("m", code="c", details=1).unwrap_err(), ("m", "c", 1)),
        (lambda: Result.err(message="m", code="c").unwrap_err(), ("m", "c", None)),
        (lambda: Result.err("m", details=1, code="c").unwrap_err(), ("m", "c", 1)),
        (lambda: Result.err(code="c", message="m").unwrap_err(), ("m", "c", None)),
        (lambda: Result.err(message="m", code=None, details=None).unwrap_err(), ("m", None, None)),
        (lambda: MayBe.just(obj=3).unwrap(), 3),
        (lambda: OK.unwrap_or(default=0), 5),
    ],
)
def test_keyword_calls_bind_as_by_name(call, expected) -> None:
    assert call() == expected


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: OK.match(f, ok=g), "Result.match() got multiple values for argument 'ok'"),
        (lambda: OK.match(ok=f, err=g, x=1), "Result.match() got an unexpected keyword argument 'x'"),
        (lambda: OK.match(ok=f, ok2=g), "Result.match() got an unexpected keyword argument 'ok2'"),
        (lambda: Result.err(message="m", code="c", details=1, extra=2),
         "Result.err() got an unexpected keyword argument 'extra'"),
        (lambda: Result.err(code="c"), "Result.err() missing 1 required positional argument: 'message'"),
        (lambda: Result.err(code="c", details=1), "Result.err() missing 1 required positional argument: 'message'"),
        (lambda: Result.err("m", "c", message="x"), "Result.err() got multiple values for argument 'message'"),
    ],
)
def test_wrong_keyword_calls_keep_their_messages(call, message) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


TEXTS = [("bad input", "E42"), ("", None), ("a\x00b", "c\x00"), ("é" * 70, "ü" * 70), ("x" * 5000, "")]


@pytest.mark.parametrize(("message", "code"), TEXTS)
def test_pass_through_copies_keep_their_texts_whatever_is_dropped_first(message: str, code: str | None) -> None:
    original = Result.err(message, code, {"k": 1})
    copies = [original]
    for i in range(200):
        source = copies[i // 2]  # copies of copies, a tree
        copies.append(source.map(abs) if i % 3 else source.flat_map(Result.ok) if i % 3 == 1 else source.map(f))
    rng = random.Random(7)
    rng.shuffle(copies)
    while copies:
        r = copies.pop()
        assert r.unwrap_err() == (message, code, {"k": 1})
        assert r.to_dict()["error"] == message
        del r
    assert Result.err(message, code).unwrap_err() == (message, code, None)


@pytest.mark.parametrize(
    ("make", "text"),
    [
        (lambda: Result.ok("x" * 1000), "Ok(" + "x" * 1000 + ")"),
        (lambda: MayBe.just("é" * 300), "Just(" + "é" * 300 + ")"),
        (lambda: Result.ok("a\x00b"), "Ok(a\x00b)"),
        (lambda: Result.err("m" * 500, "c" * 500), "Err('" + "m" * 500 + "', code='" + "c" * 500 + "')"),
        (lambda: MayBe.nothing(), "Nothing"),
        (lambda: MayBe(None), "Nothing"),
    ],
)
def test_repr_of_long_and_unusual_texts(make, text: str) -> None:
    assert repr(make()) == text
    assert str(make()) == text


def test_reused_instance_memory_keeps_type_references_and_sizes() -> None:
    for cls, make in [(Result, lambda i: Result.ok(i)), (MayBe, lambda i: MayBe(i))]:
        before = sys.getrefcount(cls)
        for _ in range(3):
            made = [make(i) for i in range(500)]  # more than a free list keeps
            assert sys.getrefcount(cls) == before + 500
            assert [x.unwrap() for x in made] == list(range(500))
            del made
            assert sys.getrefcount(cls) == before
        assert sys.getsizeof(make(1)) == sys.getsizeof(make(2))


def test_payloads_are_released_in_record_order_from_reused_memory() -> None:
    order: list[str] = []

    class Tracked:
        def __init__(self, name: str) -> None:
            self.name = name

        def __del__(self) -> None:
            order.append(self.name)

    for _ in range(3):  # the first round fills the free list, later ones reuse it
        r = Result.ok(Tracked("value"))
        e = Result.err("m", "c", Tracked("details"))
        m = MayBe.just(Tracked("inner"))
        del r, e, m
    assert order == ["value", "details", "inner"] * 3
