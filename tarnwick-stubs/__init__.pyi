"""Result and MayBe: immutable value classes for explicit error handling and optional values.

`Result[T, E]` is either Ok (holding a value of type `T`) or Err (holding a message,
an optional code and optional details of type `E`). `MayBe[T]` is either Just
(holding a value of type `T`) or Nothing.

At run time `Result[int, str]` and `MayBe[int]` evaluate to the classes themselves;
the type parameters exist for type checkers only.
"""

from collections.abc import Callable, Iterator
from typing import Any, Generic, Literal, NotRequired, TypedDict, final, overload, type_check_only

# TypeVar defaults (PEP 696): an unsolved parameter reads as Any, as the bare class does.
from typing_extensions import TypeVar

__all__ = ["MayBe", "Result"]

_T = TypeVar("_T")
_E = TypeVar("_E")
_U = TypeVar("_U")
_V = TypeVar("_V")
_F = TypeVar("_F", default=Any)
_T_co = TypeVar("_T_co", covariant=True, default=Any)
_E_co = TypeVar("_E_co", covariant=True, default=Any)

@type_check_only
class OkDict(TypedDict, Generic[_T]):
    """The dict form of an Ok: `{"ok": True, "value": ...}` (type checkers only; no such class at run time)."""

    ok: Literal[True]
    value: _T

@type_check_only
class ErrDict(TypedDict, Generic[_E]):
    """The dict form of an Err: `{"ok": False, "error": msg}`, plus `"code"` and `"details"`
    when the Err has them (type checkers only; no such class at run time)."""

    ok: Literal[False]
    error: str
    code: NotRequired[str]
    details: NotRequired[_E | None]

@final
class Result(Generic[_T_co, _E_co]):
    """Result monad: Ok(value) | Err(message, code?, details?).

    `T` is the type of the Ok value, `E` the type of the Err details. Instances are
    immutable and are created only by `Result.ok`, `Result.err`, `Result.from_dict`
    and the combinators; `Result(...)` raises `TypeError`.

    Equality is identity: two Results with equal contents are not `==`.
    """

    # Constructors

    @staticmethod
    def ok(value: _T) -> Result[_T, Any]:
        """Build an Ok holding `value` (any object, `None` included)."""

    @staticmethod
    def err(message: str, code: str | None = None, details: _F | None = None) -> Result[Any, _F]:
        """Build an Err with a message, an optional code and optional details.

        A `None` code or details counts as absent, so details typed `E | None` give a
        `Result[Any, E]` (and none at all a `Result[Any, Any]`): an error triple from
        `unwrap_err()` goes back in unchanged, and `Result.err(*r.unwrap_err())` passes
        the Err `r` on as a Result of any Ok type, with the same details type.
        `message` and `code` must be `str`: `Result.err(5)` raises
        `TypeError("argument 'message': 'int' object is not an instance of 'str'")`.
        """

    @overload
    @staticmethod
    def from_dict(dict: OkDict[_T]) -> Result[_T, Any]: ...
    @overload
    @staticmethod
    def from_dict(dict: ErrDict[_E]) -> Result[Any, _E]: ...
    @overload
    @staticmethod
    def from_dict(dict: OkDict[_T] | ErrDict[_E]) -> Result[_T, _E]: ...
    @overload
    @staticmethod
    def from_dict(dict: dict[str, Any]) -> Result[Any, Any]:
        """Build a Result from its dict form (the inverse of `to_dict`).

        `"ok"` must be a `bool` (or a NumPy bool); Ok needs `"value"`, Err needs a `str`
        `"error"`; `"code"` is used only when it is a `str`; other keys are ignored.
        Raises `ValueError("Missing 'ok' key in dict")`,
        `ValueError("Missing 'value' key for Ok result")` or
        `ValueError("Missing 'error' key for Err result")` for missing keys, and `TypeError`
        for an `"ok"` that is not a bool or an `"error"` that is not a `str`.
        """

    # Inspection and extraction

    def is_ok(self) -> bool:
        """`True` for an Ok, `False` for an Err."""

    def is_err(self) -> bool:
        """`True` for an Err, `False` for an Ok."""

    def unwrap(self) -> _T_co:
        """The Ok value itself; on an Err raises `ValueError("Tried to unwrap an Err: " + message)`."""

    def expect(self, message: str) -> _T_co:
        """Like `unwrap`, but an Err raises `ValueError(message)` with exactly the given text."""

    def unwrap_or(self, default: _U) -> _T_co | _U:
        """The Ok value, or `default` itself on an Err."""

    def unwrap_err(self) -> tuple[str, str | None, _E_co | None]:
        """The error triple `(message, code, details)` of an Err (absent parts are `None`).

        On an Ok raises `ValueError("Tried to unwrap_err on an Ok")`.
        """

    def to_option(self) -> _T_co | None:
        """The Ok value, or `None` on an Err (an Ok holding `None` also gives `None`)."""

    # Combinators

    @overload
    def match(self, ok: Callable[[_T_co], _U], err: Callable[[str, str | None, _E_co | None], _V]) -> _U | _V: ...
    @overload
    def match(self, ok: Callable[[_T_co], _U], err: None = None) -> _U | None: ...
    @overload
    def match(self, ok: None = None, *, err: Callable[[str, str | None, _E_co | None], _V]) -> _V | None: ...
    @overload
    def match(self, ok: None, err: Callable[[str, str | None, _E_co | None], _V]) -> _V | None: ...
    @overload
    def match(self, ok: None = None, err: None = None) -> None:
        """Call `ok(value)` on an Ok or `err(message, code, details)` on an Err and return
        its result unchanged; a missing (or `None`) handler gives `None`."""

    def map(self, func: Callable[[_T_co], _U]) -> Result[_U, _E_co]:
        """A new Ok holding `func(value)`; an Err passes through (as a new instance) and `func` is not called."""

    def map_err(
        self, func: Callable[[str, str | None, _E_co | None], tuple[str, str | None, _F | None]]
    ) -> Result[_T_co, _F]:
        """A new Err from `func(message, code, details)`, which must return such a triple; an Ok passes through.

        A returned value that is not a tuple raises `TypeError`, a tuple whose length is not 3
        raises `ValueError("expected tuple of length 3, but got tuple of length N")`.
        """

    def flat_map(self, func: Callable[[_T_co], Result[_U, _F]]) -> Result[_U, _E_co | _F]:
        """`func(value)` on an Ok, which must return a Result (copied into a new instance);
        an Err passes through. A non-Result return raises
        `TypeError("'int' object is not an instance of 'Result'")` (for an int)."""

    def and_then(self, func: Callable[[_T_co], Result[_U, _F]]) -> Result[_U, _E_co | _F]:
        """Alias of `flat_map`."""

    def __rshift__(self, value: Callable[[_T_co], Result[_U, _F]], /) -> Result[_U, _E_co | _F]:
        """`r >> func` is `r.flat_map(func)`."""

    def __or__(self, value: _U, /) -> _T_co | _U:
        """`r | default` is the Ok value, or `default` itself on an Err."""

    # Dict form

    def to_dict(self) -> OkDict[_T_co] | ErrDict[_E_co]:
        """The dict form: `{"ok": True, "value": v}` for an Ok;
        `{"ok": False, "error": msg}` plus `"code"` and `"details"` when present for an Err."""

    # Container protocol

    def __bool__(self) -> bool:
        """`True` for an Ok (whatever its value), `False` for an Err."""

    def __len__(self) -> int:
        """1 for an Ok, 0 for an Err."""

    def __iter__(self) -> Iterator[_T_co]:
        """Yields the Ok value once; yields nothing for an Err."""

    def __repr__(self) -> str:
        """`Ok(<str of value>)`, `Err('<message>')` or `Err('<message>', code='<code>')`."""

@final
class MayBe(Generic[_T_co]):
    """An optional value: Just(value) | Nothing.

    `MayBe(obj)` is Nothing when `obj is None` and Just otherwise; `MayBe.just(None)`
    is a Just holding `None`. Instances are immutable. Equality is identity.
    """

    def __new__(cls, obj: _T_co | None) -> MayBe[_T_co]:
        """Nothing if `obj` is `None`, otherwise Just holding `obj` (falsy values included)."""

    # Constructors

    @staticmethod
    def just(obj: _T) -> MayBe[_T]:
        """Build a Just holding `obj` (no `None` test: `MayBe.just(None)` is a Just)."""

    @staticmethod
    def nothing() -> MayBe[Any]:
        """Build a Nothing (a new instance each time)."""

    # Inspection and extraction

    def is_just(self) -> bool:
        """`True` for a Just, `False` for Nothing."""

    def is_nothing(self) -> bool:
        """`True` for Nothing, `False` for a Just."""

    def unwrap(self) -> _T_co:
        """The held value itself; on Nothing raises `ValueError("Tried to unwrap a Nothing")`."""

    def expect(self, message: str) -> _T_co:
        """Like `unwrap`, but Nothing raises `ValueError(message)` with exactly the given text."""

    def to_option(self) -> _T_co | None:
        """The held value, or `None` for Nothing."""

    def or_else(self, default: _U) -> _T_co | _U:
        """The held value, or `default` itself for Nothing (`default` is never called)."""

    # Combinators

    @overload
    def match(self, just: Callable[[_T_co], _U], nothing: Callable[[], _V]) -> _U | _V: ...
    @overload
    def match(self, just: Callable[[_T_co], _U], nothing: None = None) -> _U | None: ...
    @overload
    def match(self, just: None = None, *, nothing: Callable[[], _V]) -> _V | None: ...
    @overload
    def match(self, just: None, nothing: Callable[[], _V]) -> _V | None: ...
    @overload
    def match(self, just: None = None, nothing: None = None) -> None:
        """Call `just(value)` on a Just or `nothing()` on Nothing and return its result
        unchanged; a missing (or `None`) handler gives `None`."""

    def map(self, func: Callable[[_T_co], _U]) -> MayBe[_U]:
        """A new Just holding `func(value)` (even when it is `None`); Nothing gives a new Nothing."""

    def flat_map(self, func: Callable[[_T_co], MayBe[_U]]) -> MayBe[_U]:
        """`func(value)` on a Just, which must return a MayBe (copied into a new instance);
        Nothing gives a new Nothing. A non-MayBe return raises
        `TypeError("'int' object is not an instance of 'MayBe'")` (for an int)."""

    def __rshift__(self, value: Callable[[_T_co], MayBe[_U]], /) -> MayBe[_U]:
        """`m >> func` is `m.flat_map(func)`."""

    def __or__(self, value: _U, /) -> _T_co | _U:
        """`m | default` is the held value, or `default` itself for Nothing."""

    # Container protocol

    def __bool__(self) -> bool:
        """`True` for a Just (whatever its value, `0` and `None` included), `False` for Nothing."""

    def __len__(self) -> int:
        """1 for a Just, 0 for Nothing."""

    def __iter__(self) -> Iterator[_T_co]:
        """Yields the held value once; yields nothing for Nothing."""

    def __repr__(self) -> str:
        """`Just(<str of value>)` or `Nothing`."""
