"""A tour of tarnwick: every feature of Result and MayBe once, with its output.

Run it with `make demo` (which builds and installs the wheel first) or, against a
development build, `PYTHONPATH=build/cmake .venv/bin/python examples/tour.py`.
"""

from collections.abc import Callable
from typing import Any

from tarnwick import MayBe, Result


def section(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def show(label: str, value: object) -> None:
    print(f"  {label:<44} {value!r}")


def show_error(label: str, action: Callable[[], object]) -> None:
    """Runs a call that is expected to raise and prints the exact error."""
    try:
        action()
    except Exception as exc:  # the tour shows whatever was raised
        print(f"  {label:<44} {type(exc).__name__}: {exc}")
    else:
        raise AssertionError(f"{label} did not raise")


def parse_port(text: str) -> Result[int, dict[str, str]]:
    """A small validating function in the style the module is made for."""
    if not text.isdigit():
        return Result.err("not a number", "E_SYNTAX", {"input": text})
    port = int(text)
    if not 0 < port < 65536:
        return Result.err("out of range", "E_RANGE", {"input": text})
    return Result.ok(port)


def tour_result() -> None:
    section("Result: constructing and looking inside")
    ok = Result.ok(8080)
    err = Result.err("connection refused", "E_CONN", {"host": "db", "port": 5432})
    show("Result.ok(8080)", ok)
    show("Result.err('connection refused', 'E_CONN', {...})", err)
    show("Result.err('no code')", Result.err("no code"))
    show("ok.is_ok(), ok.is_err()", (ok.is_ok(), ok.is_err()))
    show("err.is_ok(), err.is_err()", (err.is_ok(), err.is_err()))
    show("ok.unwrap()", ok.unwrap())
    show("ok.expect('port required')", ok.expect("port required"))
    show("ok.unwrap_or(80), err.unwrap_or(80)", (ok.unwrap_or(80), err.unwrap_or(80)))
    show("ok.to_option(), err.to_option()", (ok.to_option(), err.to_option()))
    show("err.unwrap_err()", err.unwrap_err())
    show_error("err.unwrap()", err.unwrap)
    show_error("err.expect('port required')", lambda: err.expect("port required"))
    show_error("ok.unwrap_err()", ok.unwrap_err)

    section("Result: container protocol")
    show("bool(ok), bool(err)", (bool(ok), bool(err)))
    show("bool(Result.ok(0)), bool(Result.ok(None))", (bool(Result.ok(0)), bool(Result.ok(None))))
    show("len(ok), len(err)", (len(ok), len(err)))
    show("list(ok), list(err)", (list(ok), list(err)))
    for port in ok:
        show("for port in ok: port", port)
    show("Result[int, str] is Result", Result[int, str] is Result)

    section("Result: combinators")
    show("ok.map(lambda p: p + 1)", ok.map(lambda p: p + 1))
    show("err.map(lambda p: p + 1)", err.map(lambda p: p + 1))
    show(
        "err.map_err(add context)",
        err.map_err(lambda msg, code, details: (f"startup: {msg}", code, details)),
    )
    show("parse_port('443')", parse_port("443"))
    show("parse_port('http')", parse_port("http"))
    show("parse_port('70000')", parse_port("70000"))
    show("Result.ok('443').flat_map(parse_port)", Result.ok("443").flat_map(parse_port))
    show("Result.ok('x').and_then(parse_port)", Result.ok("x").and_then(parse_port))
    show("Result.ok('22') >> parse_port", Result.ok("22") >> parse_port)
    show("parse_port('x') | 80", parse_port("x") | 80)
    show("parse_port('22') | 80", parse_port("22") | 80)
    describe: Callable[[Result[int, dict[str, str]]], str] = lambda r: r.match(
        ok=lambda port: f"listening on {port}",
        err=lambda msg, code, details: f"[{code}] {msg}: {details}",
    )
    show("match(ok=..., err=...) on Ok", describe(parse_port("8000")))
    show("match(ok=..., err=...) on Err", describe(parse_port("-1")))
    show("ok.match(err=...) (no ok handler)", ok.match(err=lambda msg, code, details: msg))

    section("Result: dict form")
    show("ok.to_dict()", ok.to_dict())
    show("err.to_dict()", err.to_dict())
    show("Result.err('bare').to_dict()", Result.err("bare").to_dict())
    show("Result.from_dict(err.to_dict())", Result.from_dict(err.to_dict()))
    show("from_dict ignores extra keys", Result.from_dict({"ok": True, "value": 1, "extra": 2}))
    show_error("Result.from_dict({})", lambda: Result.from_dict({}))
    show_error("Result.from_dict({'ok': True})", lambda: Result.from_dict({"ok": True}))
    show_error("Result.from_dict({'ok': False})", lambda: Result.from_dict({"ok": False}))
    show_error("Result.from_dict({'ok': 1, 'value': 2})", lambda: Result.from_dict({"ok": 1, "value": 2}))


def tour_maybe() -> None:
    section("MayBe: constructing and looking inside")
    just = MayBe("alice@example.com")
    nothing: MayBe[str] = MayBe(None)
    show("MayBe('alice@example.com')", just)
    show("MayBe(None)", nothing)
    show("MayBe(0)  (only None is Nothing)", MayBe(0))
    show("MayBe.just(None)", MayBe.just(None))
    show("MayBe.nothing()", MayBe.nothing())
    show("just.is_just(), just.is_nothing()", (just.is_just(), just.is_nothing()))
    show("just.unwrap()", just.unwrap())
    show("just.expect('email required')", just.expect("email required"))
    show("just.to_option(), nothing.to_option()", (just.to_option(), nothing.to_option()))
    show("nothing.or_else('nobody')", nothing.or_else("nobody"))
    show_error("nothing.unwrap()", nothing.unwrap)
    show_error("nothing.expect('email required')", lambda: nothing.expect("email required"))

    section("MayBe: container protocol and combinators")
    show("bool(just), bool(nothing)", (bool(just), bool(nothing)))
    show("bool(MayBe(0)), len(MayBe(0))", (bool(MayBe(0)), len(MayBe(0))))
    show("list(just), list(nothing)", (list(just), list(nothing)))
    show("just.map(str.upper)", just.map(str.upper))
    show("nothing.map(str.upper)", nothing.map(str.upper))

    def domain(address: str) -> MayBe[str]:
        return MayBe(address.partition("@")[2] or None)

    show("just.flat_map(domain)", just.flat_map(domain))
    show("MayBe('no-at-sign') >> domain", MayBe("no-at-sign") >> domain)
    show("nothing | 'fallback'", nothing | "fallback")
    show(
        "just.match(just=..., nothing=...)",
        just.match(just=lambda a: f"mail {a}", nothing=lambda: "no address"),
    )
    show("nothing.match(just=..., nothing=...)", nothing.match(lambda a: a, lambda: "no address"))
    show("MayBe[int] is MayBe", MayBe[int] is MayBe)


def tour_identity() -> None:
    section("Identity, not equality")
    payload = {"rows": [1, 2, 3]}
    r = Result.ok(payload)
    show("r.unwrap() is payload", r.unwrap() is payload)
    show("Result.ok(1) == Result.ok(1)", Result.ok(1) == Result.ok(1))
    show("MayBe.nothing() == MayBe.nothing()", MayBe.nothing() == MayBe.nothing())
    failed: Result[int, Any] = Result.err("e")
    show("failed.map(f) is failed (new instance)", failed.map(lambda v: v) is failed)
    show("r.map(f) holds f's result itself", r.map(lambda p: p["rows"]).unwrap() is payload["rows"])


def tour_wrong_calls() -> None:
    section("Wrong calls: exact errors")
    r: Result[int, Any] = Result.ok(1)
    untyped: Any = Result  # the type checker would reject these calls; run them anyway
    show_error("Result.ok()", lambda: untyped.ok())
    show_error("Result.ok(1, 2)", lambda: untyped.ok(1, 2))
    show_error("Result.err('m', 'c', None, 4)", lambda: untyped.err("m", "c", None, 4))
    show_error("Result.err(5)", lambda: untyped.err(5))
    show_error("Result.err('m', code=7)", lambda: untyped.err("m", code=7))
    show_error("Result.err('m', message='x')", lambda: untyped.err("m", message="x"))
    show_error("r.map(fn=...)", lambda: untyped.map(r, fn=str))
    show_error("r.match(1, 2, 3)", lambda: untyped.match(r, 1, 2, 3))
    show_error("r.is_ok(1)", lambda: untyped.is_ok(r, 1))
    show_error("Result.from_dict([])", lambda: untyped.from_dict([]))
    show_error("Result(1)", lambda: untyped(1))
    show_error("MayBe()", lambda: untyped_maybe())
    loose_ok: Any = r
    loose_err: Any = Result.err("e")
    loose_just: Any = MayBe.just(1)
    show_error("r.flat_map(lambda v: v)", lambda: loose_ok.flat_map(identity))
    show_error("err.map_err(returns a 2-tuple)", lambda: loose_err.map_err(two_tuple))
    show_error("err.map_err(returns a list)", lambda: loose_err.map_err(three_list))
    show_error("MayBe.just(1) >> (lambda v: v)", lambda: loose_just >> identity)
    show_error("MayBe.just(1).flat_map(lambda v: None)", lambda: loose_just.flat_map(to_none))
    show_error("5 | Result.ok(1)", lambda: untyped_or(5, r))


def identity(value: object) -> object:
    return value


def to_none(value: object) -> None:
    return None


def two_tuple(message: str, code: str | None, details: object) -> tuple[str, str | None]:
    return message, code


def three_list(message: str, code: str | None, details: object) -> list[object]:
    return [message, code, details]


def untyped_maybe() -> object:
    maybe: Any = MayBe
    return maybe()


def untyped_or(left: Any, right: object) -> object:
    return left | right


def main() -> None:
    print("tarnwick tour: Result and MayBe")
    tour_result()
    tour_maybe()
    tour_identity()
    tour_wrong_calls()
    print()
    print("End of the tour.")


if __name__ == "__main__":
    main()
