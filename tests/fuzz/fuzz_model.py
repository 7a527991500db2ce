"""A pure-Python model of tarnwick's documented behaviour, used as a test
oracle: by the fuzz target (fuzz_target.py) and by the differential test
tests/reliability/test_rel_model.py.

It states the rules plainly, including the parts a caller can observe from
Python that belong to the call binding: argument binding and its exact
TypeError texts, the text-argument rule, the argument-conversion error, the
operator slots declining with NotImplemented, and instance allocation going
through object's constructor (so an abstract class refuses to allocate with
the interpreter's own message).

Two things are deliberately loose, because their exact form is being decided
elsewhere:
- A Result whose record was never filled (made by object's constructor
  instead of one of Result's): every operation on it raises `Unmade`, and the
  comparison accepts any TypeError from the module in its place.
- Where the interpreter itself decides before the module is entered (method
  descriptors, slot wrappers, the MayBe.__new__ wrapper), fuzz_program.py
  reproduces the interpreter's wording; this module only models the module.

The classes are named like the real ones ("builtins.Result"), so that the
interpreter's own messages about them (unsupported operands, missing
attributes, abstract classes) read the same for the model.
"""
from __future__ import annotations

MISSING = object()   # an absent field or a parameter left out


class Unmade(TypeError):
    """Raised by every operation on a Result that no constructor made."""


# ---------------------------------------------------------------------------
# Errors and conversions shared by both classes


def cast_error(obj, required: str) -> TypeError:
    if obj is None:
        return TypeError("".join(["'None' is not an instance of '", required, "'"]))
    return TypeError("".join(["'", type(obj).__qualname__, "' object is not an instance of '", required, "'"]))


def text_of(obj) -> str:
    """The text-argument rule: a str (or subclass) that strict UTF-8 can
    encode; returns its characters as a plain str."""
    if not issubclass(type(obj), str):
        raise cast_error(obj, "str")
    text = str.__str__(obj)      # the characters themselves, never a subclass's __str__
    str.encode(text, "utf-8")    # a lone surrogate raises UnicodeEncodeError
    return text


def converted(parameter: str, convert, obj):
    """The argument-conversion error: a TypeError (exactly) gains the
    parameter's name; anything else passes unchanged."""
    try:
        return convert(obj)
    except TypeError as exc:
        if type(exc) is not TypeError:
            raise
        new = TypeError("".join(["argument '", parameter, "': ", str(exc)]))
        cause = exc.__cause__
    raise new from cause


def _keyword_text(name):
    """A keyword's name as text, or None when it cannot be read as UTF-8."""
    if not issubclass(type(name), str):
        return None
    text = str.__str__(name)
    try:
        str.encode(text, "utf-8")
    except UnicodeEncodeError:
        return None
    return text


def _plural(count: int, word: str) -> str:
    return word if count == 1 else word + "s"


def _name_list(names: list[str]) -> str:
    quoted = ["".join(["'", n, "'"]) for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind(call: str, params: tuple[str, ...], required: int, args: tuple, keywords) -> list:
    """Binds positional arguments and (name, value) keyword pairs, in the
    caller's order, to the parameters; MISSING marks a parameter left out."""
    total, given = len(params), len(args)
    slots = list(args[:total]) + [MISSING] * (total - min(given, total))
    if given > total:
        verb = "was" if given == 1 else "were"
        if required == total:
            head = "".join([call, " takes ", str(total)])
        else:
            head = "".join([call, " takes from ", str(required), " to ", str(total)])
        raise TypeError("".join([head, " positional arguments but ", str(given), " ", verb, " given"]))
    for name, value in keywords:
        text = _keyword_text(name)
        if text not in params:
            raise TypeError("".join([call, " got an unexpected keyword argument '", str(name), "'"]))
        index = params.index(text)
        if slots[index] is not MISSING:
            raise TypeError("".join([call, " got multiple values for argument '", params[index], "'"]))
        slots[index] = value
    if given < required:
        missing = [params[i] for i in range(given, required) if slots[i] is MISSING]
        if missing:
            raise TypeError("".join([call, " missing ", str(len(missing)), " required positional ",
                                     _plural(len(missing), "argument"), ": ", _name_list(missing)]))
    return slots


def no_arguments(call: str, args: tuple, kwargs: dict) -> None:
    """The interpreter's own check for a method that takes no arguments."""
    if kwargs:
        raise TypeError(call + " takes no keyword arguments")
    if args:
        raise TypeError("".join([call, " takes no arguments (", str(len(args)), " given)"]))


def allocate(cls, **fields):
    """Instance allocation: through object's constructor, as the module does,
    so an abstract class raises the interpreter's own TypeError. Whether the
    cyclic collector tracks the instance is decided here, once."""
    obj = object.__new__(cls)
    for name, value in fields.items():
        object.__setattr__(obj, name, value)
    held = (fields.get(name, MISSING) for name in ("_value", "_details", "_inner"))
    object.__setattr__(obj, "_tracked", any(map(_may_close_cycle, held)))
    return obj


# Exact types whose objects refer to nothing that could lead back to an
# instance holding them.
_ATOMIC_TYPES = (type(None), bool, int, float, str, bytes)


def is_tracked(obj) -> bool:
    """gc.is_tracked of an instance: tracked exactly when something it holds
    could close a reference cycle (an instance not made by a constructor
    holds nothing)."""
    try:
        return object.__getattribute__(obj, "_tracked")
    except AttributeError:
        return False


def _may_close_cycle(obj) -> bool:
    if obj is MISSING or type(obj) in _ATOMIC_TYPES:
        return False
    if type(obj) in (Result, MayBe):   # an untracked instance stays so: records never change
        return is_tracked(obj)
    return True


def _absent_if_none(obj):
    return MISSING if obj is None else obj


def _dict_argument(obj) -> None:
    if not issubclass(type(obj), dict):
        raise cast_error(obj, "dict")


def _lookup(d: dict, key: str):
    # The dict's own lookup: a subclass's __getitem__ or __missing__ is never
    # consulted; an exception from a key's __eq__ propagates.
    return dict.get(d, key, MISSING)


# ---------------------------------------------------------------------------
# Result


class Result:
    """Ok(value) or Err(message, code?, details?)."""

    __slots__ = ("_value", "_message", "_code", "_details", "_tracked")

    def __new__(cls, *args, **kwargs):
        raise TypeError("cannot create 'builtins.Result' instances")

    # -- record ------------------------------------------------------------

    def _record(self) -> tuple:
        try:
            return self._value, self._message, self._code, self._details
        except AttributeError:
            raise Unmade("this Result was not made by one of its constructors") from None

    @staticmethod
    def _new(value=MISSING, message=MISSING, code=MISSING, details=MISSING):
        return allocate(Result, _value=value, _message=message, _code=code, _details=details)

    def _copy(self):
        return Result._new(*self._record())

    def _is_ok(self) -> bool:
        return self._record()[0] is not MISSING

    def _triple(self) -> tuple:
        _, message, code, details = self._record()
        return (message, None if code is MISSING else code, None if details is MISSING else details)

    @staticmethod
    def _from_triple(out):
        if not issubclass(type(out), tuple):
            raise cast_error(out, "tuple")
        length = tuple.__len__(out)
        if length != 3:
            raise ValueError("expected tuple of length 3, but got tuple of length " + str(length))
        message = text_of(tuple.__getitem__(out, 0))
        code = tuple.__getitem__(out, 1)
        code = MISSING if code is None else text_of(code)
        return Result._new(message=message, code=code, details=_absent_if_none(tuple.__getitem__(out, 2)))

    # -- constructors ------------------------------------------------------

    @staticmethod
    def ok(*args, **kwargs):
        (value,) = bind("Result.ok()", ("value",), 1, args, kwargs.items())
        return Result._new(value=value)

    @staticmethod
    def err(*args, **kwargs):
        message, code, details = bind("Result.err()", ("message", "code", "details"), 1, args, kwargs.items())
        message = converted("message", text_of, message)
        code = MISSING if code is MISSING or code is None else converted("code", text_of, code)
        return Result._new(message=message, code=code, details=MISSING if details is MISSING else
                           _absent_if_none(details))

    @staticmethod
    def from_dict(*args, **kwargs):
        (d,) = bind("Result.from_dict()", ("dict",), 1, args, kwargs.items())
        converted("dict", _dict_argument, d)
        flag = _lookup(d, "ok")
        if flag is MISSING:
            raise ValueError("Missing 'ok' key in dict")
        if _ok_flag(flag):
            value = _lookup(d, "value")
            if value is MISSING:
                raise ValueError("Missing 'value' key for Ok result")
            return Result._new(value=value)
        message = _lookup(d, "error")
        if message is MISSING:
            raise ValueError("Missing 'error' key for Err result")
        message = text_of(message)
        code = _lookup(d, "code")
        if code is not MISSING:
            try:
                code = text_of(code)
            except MemoryError:
                raise
            except BaseException:  # noqa: BLE001 - an unusable code is left out
                code = MISSING
        details = _lookup(d, "details")
        return Result._new(message=message, code=code, details=details)

    # -- inspection --------------------------------------------------------

    def is_ok(self, /, *args, **kwargs):
        no_arguments("Result.is_ok()", args, kwargs)
        return self._is_ok()

    def is_err(self, /, *args, **kwargs):
        no_arguments("Result.is_err()", args, kwargs)
        return self._record()[1] is not MISSING

    def unwrap(self, /, *args, **kwargs):
        no_arguments("Result.unwrap()", args, kwargs)
        value, message, _, _ = self._record()
        if value is not MISSING:
            return value
        raise ValueError("Tried to unwrap an Err: " + message)

    def expect(self, /, *args, **kwargs):
        (message,) = bind("Result.expect()", ("message",), 1, args, kwargs.items())
        value = self._record()[0]
        message = converted("message", text_of, message)
        if value is not MISSING:
            return value
        raise ValueError(message)

    def unwrap_or(self, /, *args, **kwargs):
        (default,) = bind("Result.unwrap_or()", ("default",), 1, args, kwargs.items())
        value = self._record()[0]
        return value if value is not MISSING else default

    def unwrap_err(self, /, *args, **kwargs):
        no_arguments("Result.unwrap_err()", args, kwargs)
        if self._record()[1] is MISSING:
            raise ValueError("Tried to unwrap_err on an Ok")
        return self._triple()

    def to_option(self, /, *args, **kwargs):
        no_arguments("Result.to_option()", args, kwargs)
        value = self._record()[0]
        return None if value is MISSING else value

    def __bool__(self):
        return self._is_ok()

    def __len__(self):
        return int(self._is_ok())

    def __iter__(self):
        value = self._record()[0]
        return iter(() if value is MISSING else (value,))

    def __repr__(self):
        value, message, code, _ = self._record()
        if value is not MISSING:
            return "".join(["Ok(", text_of(str(value)), ")"])
        if code is MISSING:
            return "".join(["Err('", message, "')"])
        return "".join(["Err('", message, "', code='", code, "')"])

    @classmethod
    def __class_getitem__(cls, *args, **kwargs):
        bind("Result.__class_getitem__()", ("_item",), 1, args, kwargs.items())
        return cls

    # -- combinators -------------------------------------------------------

    def map(self, /, *args, **kwargs):
        (func,) = bind("Result.map()", ("func",), 1, args, kwargs.items())
        value = self._record()[0]
        if value is MISSING:
            return self._copy()
        return Result._new(value=func(value))

    def map_err(self, /, *args, **kwargs):
        (func,) = bind("Result.map_err()", ("func",), 1, args, kwargs.items())
        if self._record()[1] is MISSING:
            return self._copy()
        return Result._from_triple(func(*self._triple()))

    def _bind(self, func):
        value = self._record()[0]
        if value is MISSING:
            return self._copy()
        out = func(value)
        if not issubclass(type(out), Result):
            raise cast_error(out, "Result")
        return out._copy()

    def flat_map(self, /, *args, **kwargs):
        (func,) = bind("Result.flat_map()", ("func",), 1, args, kwargs.items())
        return self._bind(func)

    def and_then(self, /, *args, **kwargs):
        (func,) = bind("Result.and_then()", ("func",), 1, args, kwargs.items())
        return self._bind(func)

    def match(self, /, *args, **kwargs):
        ok, err = bind("Result.match()", ("ok", "err"), 0, args, kwargs.items())
        if self._is_ok():
            return None if ok is MISSING or ok is None else ok(self._record()[0])
        return None if err is MISSING or err is None else err(*self._triple())

    def to_dict(self, /, *args, **kwargs):
        no_arguments("Result.to_dict()", args, kwargs)
        value, message, code, details = self._record()
        if value is not MISSING:
            return {"ok": True, "value": value}
        d = {"ok": False, "error": message}
        if code is not MISSING:
            d["code"] = code
        if details is not MISSING:
            d["details"] = details
        return d

    # -- operators (no reflected form: the slot sees the operands in order) -

    def __rshift__(self, other):
        return self._bind(other)

    def __or__(self, other):
        value = self._record()[0]
        chosen = value if value is not MISSING else other
        return chosen   # NotImplemented included: the interpreter goes on

    def __rrshift__(self, other):
        return Result.__rshift__(other, self) if issubclass(type(other), Result) else NotImplemented

    def __ror__(self, other):
        return Result.__or__(other, self) if issubclass(type(other), Result) else NotImplemented


def _ok_flag(flag) -> bool:
    """The dict form's "ok" entry: exactly a bool, or NumPy's boolean scalar
    (recognised by its type's name and __module__, asked for __bool__)."""
    if flag is True or flag is False:
        return flag
    cls = type(flag)
    if cls.__name__ not in ("bool_", "bool"):
        raise cast_error(flag, "bool")
    try:
        module = getattr(cls, "__module__")
    except MemoryError:
        raise
    except BaseException:  # noqa: BLE001 - an unreadable module means "not NumPy"
        module = None
    if not (issubclass(type(module), str) and str.__str__(module) == "numpy"):
        raise cast_error(flag, "bool")
    to_bool = getattr(cls, "__bool__", MISSING)   # an AttributeError means "none"
    if to_bool is MISSING:
        raise TypeError("".join(["object of type '", str(cls), "' does not define a '__bool__' conversion"]))
    out = to_bool(flag)
    if out is True or out is False:
        return out
    raise cast_error(out, "bool")


# ---------------------------------------------------------------------------
# MayBe


class MayBe:
    """Just(value) or Nothing."""

    __slots__ = ("_inner", "_tracked")

    def __new__(cls, *args, **kwargs):
        return MayBe._construct(cls, args, kwargs.items())

    @staticmethod
    def _construct(cls, args, keywords):
        (obj,) = bind("MayBe.__new__()", ("obj",), 1, args, keywords)
        return allocate(cls, _inner=MISSING if obj is None else obj)

    def _get(self):
        # A MayBe whose record was never filled is a valid Nothing.
        return getattr(self, "_inner", MISSING)

    @staticmethod
    def _new(inner):
        return allocate(MayBe, _inner=inner)

    @staticmethod
    def just(*args, **kwargs):
        (obj,) = bind("MayBe.just()", ("obj",), 1, args, kwargs.items())
        return MayBe._new(obj)

    @staticmethod
    def nothing(*args, **kwargs):
        no_arguments("MayBe.nothing()", args, kwargs)
        return MayBe._new(MISSING)

    def is_just(self, /, *args, **kwargs):
        no_arguments("MayBe.is_just()", args, kwargs)
        return self._get() is not MISSING

    def is_nothing(self, /, *args, **kwargs):
        no_arguments("MayBe.is_nothing()", args, kwargs)
        return self._get() is MISSING

    def unwrap(self, /, *args, **kwargs):
        no_arguments("MayBe.unwrap()", args, kwargs)
        inner = self._get()
        if inner is MISSING:
            raise ValueError("Tried to unwrap a Nothing")
        return inner

    def expect(self, /, *args, **kwargs):
        (message,) = bind("MayBe.expect()", ("message",), 1, args, kwargs.items())
        message = converted("message", text_of, message)
        inner = self._get()
        if inner is MISSING:
            raise ValueError(message)
        return inner

    def to_option(self, /, *args, **kwargs):
        no_arguments("MayBe.to_option()", args, kwargs)
        inner = self._get()
        return None if inner is MISSING else inner

    def or_else(self, /, *args, **kwargs):
        (default,) = bind("MayBe.or_else()", ("default",), 1, args, kwargs.items())
        inner = self._get()
        return default if inner is MISSING else inner

    def __len__(self):
        return int(self._get() is not MISSING)

    def __iter__(self):
        inner = self._get()
        return iter(() if inner is MISSING else (inner,))

    def __bool__(self):
        return self._get() is not MISSING

    def __repr__(self):
        inner = self._get()
        if inner is MISSING:
            return "Nothing"
        return "".join(["Just(", text_of(str(inner)), ")"])

    @classmethod
    def __class_getitem__(cls, *args, **kwargs):
        bind("MayBe.__class_getitem__()", ("_item",), 1, args, kwargs.items())
        return cls

    def match(self, /, *args, **kwargs):
        just, nothing = bind("MayBe.match()", ("just", "nothing"), 0, args, kwargs.items())
        inner = self._get()
        if inner is not MISSING:
            return None if just is MISSING or just is None else just(inner)
        return None if nothing is MISSING or nothing is None else nothing()

    def map(self, /, *args, **kwargs):
        (func,) = bind("MayBe.map()", ("func",), 1, args, kwargs.items())
        inner = self._get()
        if inner is MISSING:
            return MayBe._new(MISSING)
        return MayBe._new(func(inner))

    def _bind(self, func):
        inner = self._get()
        if inner is MISSING:
            return MayBe._new(MISSING)
        out = func(inner)
        if not issubclass(type(out), MayBe):
            raise cast_error(out, "MayBe")
        return MayBe._new(out._get())

    def flat_map(self, /, *args, **kwargs):
        (func,) = bind("MayBe.flat_map()", ("func",), 1, args, kwargs.items())
        return self._bind(func)

    def __rshift__(self, other):
        return self._bind(other)

    def __or__(self, other):
        inner = self._get()
        return other if inner is MISSING else inner

    def __rrshift__(self, other):
        return MayBe.__rshift__(other, self) if issubclass(type(other), MayBe) else NotImplemented

    def __ror__(self, other):
        return MayBe.__or__(other, self) if issubclass(type(other), MayBe) else NotImplemented


for _cls in (Result, MayBe):
    # The interpreter's messages name a class by its full name.
    _cls.__module__ = "builtins"
    _cls.__name__ = "builtins." + _cls.__qualname__
del _cls
