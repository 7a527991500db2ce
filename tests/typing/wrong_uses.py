"""Deliberately wrong uses of tarnwick: each marked line must be rejected.

Never executed. tests/test_typing.py runs mypy --strict and basedpyright over this
file and requires exactly the errors named on each line after "expect:", with
mypy's error codes in mypy[...] and basedpyright's rule names in pyright[...].
No line may fail without being marked, so a stub that decays into Any (and stops
rejecting these) or that grows stricter by accident fails the test either way.
"""

from tarnwick import MayBe, Result


def half(n: int) -> Result[int, str]:
    return Result.ok(n // 2)


def same(n: int) -> int:
    return n


def one(message: str) -> str:
    return message


def pair(message: str, code: str | None, details: str | None) -> tuple[str, str | None]:
    return message, code


def triple_list(message: str, code: str | None, details: str | None) -> list[str | None]:
    return [message, code, details]


def boxed(n: int) -> MayBe[int]:
    return MayBe(n)


def no_args() -> int:
    return 0


def wrong_constructors() -> None:
    Result.ok()  # expect: mypy[call-arg] pyright[reportCallIssue]
    Result.err(5)  # expect: mypy[arg-type] pyright[reportArgumentType]
    Result.err("m", 7)  # expect: mypy[arg-type] pyright[reportArgumentType]
    Result.err("m", message="x")  # expect: mypy[misc] pyright[reportCallIssue]
    Result(1)  # expect: mypy[call-arg] pyright[reportCallIssue]
    MayBe()  # expect: mypy[call-arg] pyright[reportCallIssue]
    MayBe.nothing(1)  # expect: mypy[call-arg] pyright[reportCallIssue]
    Result.from_dict([("ok", True)])  # expect: mypy[call-overload] pyright[reportArgumentType, reportCallIssue]


def wrong_extraction(r: Result[int, str], m: MayBe[str]) -> None:
    text: str = r.unwrap()  # expect: mypy[assignment] pyright[reportAssignmentType]
    r.expect(1)  # expect: mypy[arg-type] pyright[reportArgumentType]
    r.is_ok(1)  # expect: mypy[call-arg] pyright[reportCallIssue]
    number: int = r.unwrap_or("x")  # expect: mypy[arg-type] pyright[reportAssignmentType]
    code: str = r.unwrap_err()[1]  # expect: mypy[assignment] pyright[reportAssignmentType]
    value: int = r.to_option()  # expect: mypy[assignment] pyright[reportAssignmentType]
    count: int = m.unwrap()  # expect: mypy[assignment] pyright[reportAssignmentType]
    fallback: str = m.or_else(0)  # expect: mypy[arg-type] pyright[reportAssignmentType]
    both: str = m | None  # expect: mypy[operator] pyright[reportAssignmentType]
    for item in r:
        item.upper()  # expect: mypy[attr-defined] pyright[reportAttributeAccessIssue, reportUnknownMemberType]
    print(text, number, code, value, count, fallback, both)


def wrong_combinators(r: Result[int, str], m: MayBe[str]) -> None:
    r.map(str.upper)  # expect: mypy[arg-type] pyright[reportArgumentType]
    r.map(fn=str)  # expect: mypy[call-arg] pyright[reportCallIssue]
    r.map_err(one)  # expect: mypy[arg-type] pyright[reportArgumentType]
    r.map_err(pair)  # expect: mypy[arg-type] pyright[reportArgumentType]
    r.map_err(triple_list)  # expect: mypy[arg-type] pyright[reportArgumentType]
    r.flat_map(same)  # expect: mypy[arg-type] pyright[reportArgumentType]
    r.and_then(boxed)  # expect: mypy[arg-type] pyright[reportArgumentType]
    _ = r >> same  # expect: mypy[operator] pyright[reportOperatorIssue, reportUnknownVariableType]
    _ = m >> half  # expect: mypy[operator] pyright[reportOperatorIssue, reportUnknownVariableType]
    m.flat_map(one)  # expect: mypy[arg-type] pyright[reportArgumentType]
    m.map(same)  # expect: mypy[arg-type] pyright[reportArgumentType]
    r.match(ok=pair)  # expect: mypy[arg-type] pyright[reportArgumentType, reportCallIssue]
    r.match(err=same)  # expect: mypy[arg-type] pyright[reportArgumentType, reportCallIssue]
    m.match(nothing=one)  # expect: mypy[arg-type] pyright[reportArgumentType, reportCallIssue]
    r.match(1, 2, 3)  # expect: mypy[call-overload] pyright[reportCallIssue]
    _ = 5 | r  # expect: mypy[operator] pyright[reportOperatorIssue, reportUnknownVariableType]


def wrong_dict_form(r: Result[int, str]) -> None:
    d = r.to_dict()
    _ = d["value"]  # expect: mypy[typeddict-item] pyright[reportGeneralTypeIssues, reportUnknownVariableType]
    _ = Result.from_dict(d)["value"]  # expect: mypy[index] pyright[reportIndexIssue, reportUnknownVariableType]
    MayBe.just(1, 2)  # expect: mypy[call-arg] pyright[reportCallIssue]


def wrong_error_passing(r: Result[int, str]) -> Result[str, int]:
    # An error triple goes back into err() spread out, in order, and keeps its details type.
    Result.err(r.unwrap_err())  # expect: mypy[arg-type] pyright[reportArgumentType]
    Result.err(*r.unwrap_err(), "more")  # expect: mypy[call-arg] pyright[reportCallIssue]
    message, code, details = r.unwrap_err()
    Result.err(code, message)  # expect: mypy[arg-type] pyright[reportArgumentType]
    Result.err(message, code, detail=details)  # expect: mypy[call-arg] pyright[reportCallIssue]
    other: Result[str, bytes] = Result.err(message, code, details)  # expect: mypy[arg-type] pyright[reportAssignmentType]
    print(other)
    return Result.err(*r.unwrap_err())  # expect: mypy[arg-type] pyright[reportReturnType]
