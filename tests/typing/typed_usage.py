"""Typed uses of tarnwick, checked twice.

Type checkers (mypy --strict, basedpyright strict) must accept this file and agree
with every assert_type, so a stub that loosened to Any would fail here. The file
is also executed, so the types it asserts describe what the module really does.
"""

from collections.abc import Iterator
from typing import Any, assert_type

from tarnwick import MayBe, Result

type Details = dict[str, int]


def half(n: int) -> Result[int, Details]:
    if n % 2:
        return Result.err("odd", "E_ODD", {"n": n})
    return Result.ok(n // 2)


def results() -> None:
    ok = Result.ok(4)
    assert_type(ok, Result[int, Any])
    assert_type(Result.err("m"), Result[Any, Any])
    assert_type(Result.err("m", "c", [1]), Result[Any, list[int]])
    assert_type(Result.err("m", details=1.5), Result[Any, float])

    r = half(6)
    assert_type(r.is_ok(), bool)
    assert_type(r.is_err(), bool)
    assert_type(r.unwrap(), int)
    assert_type(r.expect("needs a value"), int)
    assert_type(r.unwrap_or("none"), int | str)
    assert_type(r.to_option(), int | None)
    assert_type(r | None, int | None)
    assert r.unwrap() == 3 and (r | None) == 3

    e = half(3)
    assert_type(e.unwrap_err(), tuple[str, str | None, Details | None])
    assert e.unwrap_err() == ("odd", "E_ODD", {"n": 3})

    assert_type(r.map(str), Result[str, Details])
    assert_type(r.map(lambda n: [n]), Result[list[int], Details])
    assert_type(r.flat_map(half), Result[int, Details])
    assert_type(r.and_then(half), Result[int, Details])
    assert_type(r >> half, Result[int, Details])
    assert_type(Result.ok(8) >> half >> half, Result[int, Any | Details])
    assert (Result.ok(8) >> half >> half).unwrap() == 2

    # map_err keeps the Ok type and takes the details type its function returns.
    relabelled = e.map_err(lambda msg, code, details: (msg.upper(), code, str(details)))
    assert_type(relabelled, Result[int, str])
    assert relabelled.unwrap_err() == ("ODD", "E_ODD", "{'n': 3}")

    assert_type(r.match(ok=lambda n: n * 1.0, err=lambda m, c, d: m), float | str)
    assert_type(r.match(lambda n: n), int | None)
    assert_type(e.match(err=lambda m, c, d: c), str | None)
    assert_type(e.match(None, lambda m, c, d: d), Details | None)
    assert_type(r.match(), None)
    assert e.match(ok=lambda n: n, err=lambda m, c, d: c) == "E_ODD"

    assert_type(iter(r), Iterator[int])
    assert_type(len(r), int)
    assert_type(bool(r), bool)
    assert_type(repr(r), str)
    assert [n for n in r] == [3] and len(e) == 0 and not e


def describe(r: Result[int, Details]) -> Result[str, Details]:
    """Passes an Err on into a Result of another Ok type: the error triple goes back in."""
    if r.is_err():
        return Result.err(*r.unwrap_err())
    return Result.ok(str(r.unwrap()))


def describe_unpacked(r: Result[int, Details]) -> Result[str, Details]:
    if r.is_err():
        message, code, details = r.unwrap_err()
        return Result.err(message, code, details)
    return Result.ok(str(r.unwrap()))


def listed[E](r: Result[int, E]) -> Result[list[int], E]:
    if r.is_err():
        return Result.err(*r.unwrap_err())
    return Result.ok([r.unwrap()])


def passing_errors_on() -> None:
    e = half(3)
    assert_type(Result.err(*e.unwrap_err()), Result[Any, Details])
    message, code, details = e.unwrap_err()
    assert_type(Result.err(message, code, details), Result[Any, Details])
    assert_type(Result.err(message, details=details), Result[Any, Details])
    assert_type(Result.err("m", None, {"a": 1}.get("b")), Result[Any, int])
    assert_type(Result.err("m", "c", None), Result[Any, Any])
    assert_type(listed(e), Result[list[int], Details])

    for step in (describe, describe_unpacked):
        assert step(e).unwrap_err() == ("odd", "E_ODD", {"n": 3})
        assert step(half(4)).unwrap() == "2"
        bare: Result[int, Details] = Result.err("no details")
        assert step(bare).to_dict() == {"ok": False, "error": "no details"}  # None stays absent
    assert listed(half(8)).unwrap() == [4] and listed(e).unwrap_err()[2] == {"n": 3}

    # A union of details types passes on too, where the target type is declared.
    mixed: Result[int, int | str] = Result.err("m", "c", "text")
    widened: Result[str, int | str] = Result.err(*mixed.unwrap_err())
    assert widened.unwrap_err() == ("m", "c", "text")


def dict_form() -> None:
    d = half(4).to_dict()
    back = Result.from_dict(d)
    assert_type(back, Result[int, Details])
    assert back.unwrap() == 2
    assert_type(Result.from_dict(half(1).to_dict()), Result[int, Details])

    if d["ok"] is True:  # the Literal key tells the two TypedDicts apart
        assert_type(d["value"], int)
        assert d == {"ok": True, "value": 2}
    else:
        assert_type(d["error"], str)
        raise AssertionError("half(4) is an Ok")

    loose: dict[str, Any] = {"ok": False, "error": "boom", "code": "E1"}
    assert_type(Result.from_dict(loose), Result[Any, Any])
    assert Result.from_dict(dict=loose).unwrap_err() == ("boom", "E1", None)


def maybes() -> None:
    m = MayBe("text")
    assert_type(m, MayBe[str])
    cell = {"a": "x"}.get("b")
    assert_type(MayBe(cell), MayBe[str])
    assert_type(MayBe.just(None), MayBe[None])
    assert_type(MayBe.nothing(), MayBe[Any])

    assert_type(m.is_just(), bool)
    assert_type(m.is_nothing(), bool)
    assert_type(m.unwrap(), str)
    assert_type(m.expect("needs text"), str)
    assert_type(m.to_option(), str | None)
    assert_type(m.or_else(0), str | int)
    assert_type(m | 0, str | int)

    assert_type(m.map(len), MayBe[int])

    def first(s: str) -> MayBe[str]:
        return MayBe(s[:1] or None)

    assert_type(m.flat_map(first), MayBe[str])
    assert_type(m >> first >> first, MayBe[str])
    assert (m >> first).unwrap() == "t"

    assert_type(m.match(just=len, nothing=lambda: "none"), int | str)
    assert_type(m.match(len), int | None)
    assert_type(m.match(nothing=lambda: 0), int | None)
    assert_type(m.match(None, lambda: 0), int | None)
    assert_type(m.match(), None)
    assert MayBe(cell).match(just=len, nothing=lambda: "none") == "none"

    assert_type(iter(m), Iterator[str])
    assert list(m) == ["text"] and len(MayBe(cell)) == 0 and bool(MayBe.just(0))


def variance() -> None:
    # Results and MayBes are immutable, so both parameters are covariant.
    wide: Result[object, object] = half(2)
    opt: MayBe[object] = MayBe.just(1)
    assert wide.is_ok() and opt.is_just()
    assert Result[int, str] is Result and MayBe[int] is MayBe


def main() -> None:
    results()
    passing_errors_on()
    dict_form()
    maybes()
    variance()


if __name__ == "__main__":
    main()
