"""Programs over the whole call surface of Result and MayBe, decoded from
bytes, run once against tarnwick and once against fuzz_model, compared step
by step.

A program is plain data (nested tuples), so that the same program runs in
both worlds and can be printed. Each world builds its own objects from the
recipes (payloads, callables, hostile objects, dicts for from_dict), so that
side effects in one world never reach the other; objects are compared by
description: values by value, instances by their contents, everything built
from a recipe by its creation number (identity).

Per step the comparison covers the returned value or the raised exception
(type, message, number of args, identity of a user exception passed
through, its __cause__), whether a returned instance is a new object and
whether the cyclic collector tracks it, and
the log of what user code was called with, in order. After the program: the
contents of every instance made, and (tarnwick only) that no instance kept
a non-zero borrow flag.

Shapes of the known open faults can be left out (decode(skip=...)):
  borrowed-receiver  repr of an instance lent by list.__repr__ whose payload's
                     __str__ drops the last reference to it
  unmade-result      a Result made by object.__new__ (after Result.__new__ was
                     replaced) instead of one of its constructors
  abstract           __abstractmethods__ set on a class before allocating
"""
from __future__ import annotations

import ctypes
import functools
import gc
import sys

import fuzz_model

KNOWN_SHAPES = ("borrowed-receiver", "unmade-result", "abstract")

# ---------------------------------------------------------------------------
# Decoding


class Reader:
    """Choices taken from the input bytes; zeros once they run out."""

    def __init__(self, data: bytes) -> None:
        self.data, self.pos = data, 0

    def int(self, n: int) -> int:
        if n <= 1 or self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b % n

    def pick(self, seq):
        return seq[self.int(len(seq))]

    @property
    def exhausted(self) -> bool:
        return self.pos >= len(self.data)


TEXTS = ("", "m", "boom é", "a\0b", "it's", "\udc80", "x\ud800y", "\U0001f600", "E42", "x" * 300)
CONSTS = (None, 0, 1, -7, True, False, 2.5, b"b", NotImplemented, Ellipsis, (), (1, 2), frozenset(),
          ("m", None, None), ("m", "c", 7), ("m",), ("m", 5, None), (1, None, None), ("\udc80", None, None))
KEYWORDS = ("value", "message", "code", "details", "dict", "func", "default", "ok", "err", "obj", "just",
            "nothing", "_item", "fn", "self", "vàlue", "obj\0", "", "\udc80")
DICT_KEYS = ("ok", "value", "error", "code", "details", "extra")

STATIC = {"ok", "err", "from_dict", "just", "nothing"}
CLASS = {"__class_getitem__"}
SLOTS = {"__bool__": 0, "__len__": 0, "__iter__": 0, "__repr__": 0, "__str__": 0,
         "__or__": 1, "__ror__": 1, "__rshift__": 1, "__rrshift__": 1}
RESULT_NAMES = ("ok", "err", "from_dict", "is_ok", "is_err", "unwrap", "expect", "unwrap_or", "unwrap_err",
                "to_option", "match", "map", "map_err", "flat_map", "and_then", "to_dict", "__class_getitem__")
MAYBE_NAMES = ("just", "nothing", "is_just", "is_nothing", "unwrap", "expect", "to_option", "match",
               "or_else", "map", "flat_map", "__class_getitem__")
ALL_NAMES = tuple(sorted(set(RESULT_NAMES) | set(MAYBE_NAMES))) + tuple(SLOTS)

STR_ACTIONS = ("raise", "nonstr", "sub", "surrogate", "nul", "drop", "reenter", "abstract")
FLAG_KINDS = ("true", "false", "one", "none", "raises", "clear", "drop-ok", "no-bool", "not-numpy", "named-bool",
              "numpy")
EXC_KINDS = ("value", "type", "key", "base", "recursion")
WRAPS = ("ok", "just", "err", "tuple", "list")


class Decoder:
    def __init__(self, reader: Reader, skip: frozenset[str]) -> None:
        self.r, self.skip = reader, skip

    def known(self, shape: str) -> bool:
        return shape in self.skip

    def program(self) -> list:
        steps = []
        for _ in range(1 + self.r.int(12)):
            steps.append(self.step(0))
            if self.r.exhausted:
                break
        return steps

    # -- steps -------------------------------------------------------------

    def step(self, depth: int) -> tuple:
        r = self.r
        kind = r.pick(("call", "call", "call", "call", "new", "proto", "dunder", "binop", "binop", "getitem",
                       "borrowed", "abstract", "unmade", "drop", "chain", "eq"))
        if kind == "call":
            k = r.int(8)
            target = ("cls", r.pick("RM")) if k == 0 else self.value(depth, instance=k > 1)
            route = r.pick(("attr", "attr", "attr", "unbound", "unbound-empty", "partial"))
            name = r.pick(ALL_NAMES)
            cls = r.pick("RM")
            if name in SLOTS:
                return ("call", target, name, route if route != "partial" else "attr", cls,
                        [self.value(depth) for _ in range(SLOTS[name])], [])
            return ("call", target, name, route, cls, self.args(depth), self.kwargs(depth))
        if kind == "new":
            cls = r.pick("MMMR")
            route = r.pick(("direct", "type-call", "partial", "new") if cls == "M" else
                           ("direct", "type-call", "partial"))
            first = self.value(depth) if route == "new" and r.int(3) == 0 else ("cls", cls)
            return ("new", cls, route, first, self.args(depth), self.kwargs(depth, str_only=cls == "R"))
        if kind == "proto":
            op = r.pick(("bool", "len", "list", "next", "repr", "str", "format", "format-spec"))
            return ("proto", op, self.value(depth, instance=True))
        if kind == "dunder":
            name = r.pick(tuple(SLOTS))
            return ("dunder", name, self.value(depth, instance=True), [self.value(depth)
                                                                      for _ in range(SLOTS[name])])
        if kind == "binop":
            op = r.pick(("|", ">>", "|=", ">>="))
            return ("binop", op, self.value(depth, instance=r.int(4) != 0), self.value(depth))
        if kind == "getitem":
            return ("getitem", r.pick("RM"), self.value(depth))
        if kind == "eq":
            return ("eq", self.value(depth, instance=True), self.value(depth, instance=True))
        if kind == "borrowed":
            wraps = [r.pick(("ok", "just")) for _ in range(1 + r.int(3))]
            action = self.str_action(depth)
            if self.known("borrowed-receiver"):
                return ("proto", "str", ("hostile", "str", action))
            return ("borrowed", wraps, action)
        if kind == "abstract":
            cls, count = r.pick("RM"), r.int(3)
            if self.known("abstract"):
                return ("proto", "bool", ("pool", count))
            return ("abstract", cls, count)
        if kind == "unmade":
            cls = r.pick("RM")
            if cls == "R" and self.known("unmade-result"):
                return ("proto", "len", ("pool", 0))
            return ("unmade", cls)
        if kind == "drop":
            return ("drop", r.int(64))
        # chain: a chain of instances and containers dropped in one go, whose
        # innermost payload runs a step from its finaliser (and may raise)
        wraps = [r.pick(WRAPS) for _ in range(1 + r.int(8))]
        return ("chain", wraps, 1 + r.int(16) * r.int(9), self.nested(depth), r.int(4) == 0)

    def nested(self, depth: int):
        return self.step(depth + 1) if depth < 2 else ("proto", "bool", ("pool", self.r.int(8)))

    def args(self, depth: int) -> list:
        return [self.value(depth) for _ in range(self.r.pick((0, 1, 1, 1, 2, 2, 3, 4)))]

    def kwargs(self, depth: int, str_only: bool = False) -> list:
        r, out = self.r, []
        for _ in range(r.pick((0, 0, 0, 1, 1, 2, 3))):
            k = r.int(10)
            if k < 6 or str_only:
                key = ("kw", r.pick(KEYWORDS))
            elif k < 8:
                key = ("kwsub", r.pick(KEYWORDS), r.pick(("plain", "distinct", "raise-str", "nonstr-str")))
            else:
                key = ("kwobj", r.pick((1, None, (1,), "str-raises", "str-mutates", "str-clears")))
            out.append((key, self.value(depth)))
        return out

    # -- values ------------------------------------------------------------

    def value(self, depth: int, instance: bool = False) -> tuple:
        r = self.r
        if instance:
            return ("pool", r.int(64)) if r.int(8) else ("recv",)
        kind = r.pick(("const", "const", "text", "pool", "pool", "recv", "fresh", "hostile", "fn", "fn", "fn",
                       "cls", "dict", "flag", "tuple", "list", "textsub"))
        if kind == "const":
            return ("const", r.int(len(CONSTS)))
        if kind == "text":
            return ("const-text", r.int(len(TEXTS)))
        if kind == "textsub":
            return ("textsub", r.int(len(TEXTS)), r.pick(("plain", "lies")))
        if kind == "pool":
            return ("pool", r.int(64))
        if kind == "recv":
            return ("recv",)
        if kind == "fresh":
            return ("fresh", r.pick(("list", "dict", "object", "bytearray")))
        if kind == "hostile":
            h = r.pick(("str", "str", "explodes", "reflect", "spoof", "finalizer"))
            if h == "str":
                return ("hostile", "str", self.str_action(depth))
            if h == "reflect":
                return ("hostile", "reflect", self.leaf(depth))
            if h == "spoof":
                return ("hostile", "spoof", r.pick(("str", "tuple", "dict", "bool", "R", "M")))
            if h == "finalizer":
                return ("hostile", "finalizer", self.nested(depth), r.int(3) == 0)
            return ("hostile", "explodes", None)
        if kind == "fn":
            return ("fn", self.fn(depth))
        if kind == "cls":
            return ("cls", r.pick("RM"))
        if kind == "flag":
            return ("flag", r.pick(FLAG_KINDS))
        if kind in ("tuple", "list"):
            return (kind, r.pick(("plain", "sub")), [self.leaf(depth) for _ in range(r.pick((0, 1, 2, 3, 3, 3, 4)))])
        # dict: the argument of from_dict
        entries = []
        for _ in range(r.int(6)):
            if r.int(4) == 0:
                key = ("mutkey", r.pick(DICT_KEYS), r.pick(("clear", "insert", "delete", "raise", "replace")))
            else:
                key = ("k", r.pick(DICT_KEYS))
            entries.append((key, ("flag", r.pick(FLAG_KINDS)) if r.int(3) == 0 else self.leaf(depth)))
        return ("dict", r.pick(("plain", "plain", "sub")), entries)

    def leaf(self, depth: int) -> tuple:
        """A value without nesting: constants, texts, pool entries, fresh objects."""
        r = self.r
        k = r.int(6)
        if k == 0:
            return ("const", r.int(len(CONSTS)))
        if k == 1:
            return ("const-text", r.int(len(TEXTS)))
        if k == 2:
            return ("pool", r.int(64))
        if k == 3:
            return ("fresh", r.pick(("list", "object")))
        if k == 4:
            return ("textsub", r.int(len(TEXTS)), r.pick(("plain", "lies")))
        return ("fn", ("ident",)) if depth > 1 else ("fn", self.fn(depth + 1))

    def str_action(self, depth: int) -> tuple:
        action = self.r.pick(STR_ACTIONS)
        if action == "abstract" and self.known("abstract"):
            action = "nul"
        if action == "reenter":
            return (action, self.nested(depth))
        return (action, self.r.pick("RM"))

    def fn(self, depth: int) -> tuple:
        r = self.r
        kind = r.pick(("ident", "const", "raise", "to", "to", "triple", "reenter", "drop", "abstract", "builtin",
                       "cls", "not-callable", "receiver", "pool", "recurse"))
        if kind == "const":
            return ("const", self.leaf(depth))
        if kind == "raise":
            return ("raise", r.pick(EXC_KINDS), r.int(2) == 1)
        if kind == "to":
            return ("to", r.pick(("ok", "err", "just", "nothing", "maybe")))
        if kind == "triple":
            return ("triple", [self.leaf(depth) for _ in range(r.pick((3, 3, 3, 2, 4)))], r.pick(("plain", "sub")))
        if kind == "reenter":
            return ("reenter", self.nested(depth), self.leaf(depth))
        if kind == "drop":
            return ("drop", self.leaf(depth))
        if kind == "abstract":
            if self.known("abstract"):
                return ("ident",)
            return ("abstract", r.pick("RM"), self.leaf(depth))
        if kind == "builtin":
            return ("builtin", r.pick(("str", "repr", "len", "bool", "list", "tuple", "type", "callable")))
        if kind == "cls":
            return ("cls", r.pick("RM"))
        if kind == "not-callable":
            return ("not-callable", self.leaf(depth))
        if kind == "pool":
            return ("pool", r.int(64))
        if kind == "recurse":
            return ("recurse", r.pick(("map", "flat_map", "match", "rshift", "repr")))
        return (kind,)


def decode(data: bytes, skip=()) -> list:
    return Decoder(Reader(data), frozenset(skip)).program()


# ---------------------------------------------------------------------------
# The two worlds

_TP_NAME_OFFSET = object.__basicsize__ + ctypes.sizeof(ctypes.c_ssize_t)
_api = ctypes.pythonapi
_api.PyType_GetSlot.restype = ctypes.c_void_p
_api.PyType_GetSlot.argtypes = [ctypes.py_object, ctypes.c_int]
# object's own constructor slot, called directly (as the module's allocation does)
_object_new = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.py_object)(
    _api.PyType_GetSlot(object, 65))  # Py_tp_new


def tp_name(cls: type) -> str:
    """The type's tp_name, as the interpreter's own messages print it."""
    return ctypes.c_char_p.from_address(id(cls) + _TP_NAME_OFFSET).value.decode()


def borrow_flag(obj) -> int:
    return ctypes.c_size_t.from_address(id(obj) + object.__basicsize__).value & (sys.maxsize)


class Boom(Exception):
    pass


class HostileExit(BaseException):
    """Not an Exception: passes every `except Exception`."""


def _unraisable(info) -> None:
    """Reports go to the world whose finaliser raised, or that runs a step."""
    world = World.active
    report = (type(info.exc_value).__name__, _text(info.exc_value))
    if world is not None and not world.closed:
        world.unraisable.append(report)


def _cannot_create(cls, *args, **kwargs):
    raise TypeError("cannot create 'builtins.Result' instances")


def allow_object_new(R) -> None:
    """Replaces Result.__new__ with a function that behaves as the class did
    (refuses every call), which lets object.__new__(Result) through. Once per
    process: the interpreter cannot take a replaced __new__ back."""
    if "__new__" not in R.__dict__:
        R.__new__ = staticmethod(_cannot_create)


class World:
    active = None   # the world running a step

    def __init__(self, name: str, R: type, M: type) -> None:
        self.name, self.R, self.M = name, R, M
        self.pool: list = [R.ok(1), R.err("e", "c", [7]), M.just("j"), M.nothing()]
        self.log: list = []
        self.objs: list = []         # everything built from a recipe, in order
        self.tokens: dict = {}       # id -> creation number
        self.receivers: list = []
        self.holder: list = []
        self.armed = False
        self.depth = 0
        self.abstract: set = set()
        self.closed = False
        self.keywords: list = []     # keyword dicts of the calls in progress
        self.unraisable: list = []

    # -- objects -------------------------------------------------------------

    def register(self, obj):
        self.tokens[id(obj)] = len(self.objs)
        self.objs.append(obj)
        return obj

    def cls(self, letter: str) -> type:
        return self.R if letter == "R" else self.M

    def pooled(self, i: int):
        return self.pool[i % len(self.pool)] if self.pool else None

    def build(self, recipe):
        kind = recipe[0]
        if kind == "const":
            return CONSTS[recipe[1]]
        if kind == "const-text":
            return TEXTS[recipe[1]]
        if kind == "textsub":
            return self.register((LyingStr if recipe[2] == "lies" else PlainStr)(TEXTS[recipe[1]]))
        if kind == "pool":
            return self.pooled(recipe[1])
        if kind == "recv":
            return self.receivers[-1] if self.receivers else self.pooled(0)
        if kind == "fresh":
            kind = recipe[1]
            return self.register(Token(self) if kind == "object" else
                                 {"list": list, "dict": dict, "bytearray": bytearray}[kind]())
        if kind == "cls":
            return self.cls(recipe[1])
        if kind == "fn":
            return self.make_fn(recipe[1])
        if kind == "hostile":
            return self.register(self.make_hostile(recipe[1], recipe[2:]))
        if kind == "flag":
            return self.make_flag(recipe[1])
        if kind == "tuple":
            items = [self.build(v) for v in recipe[2]]
            return self.register(TupleSub(items) if recipe[1] == "sub" else tuple(items))
        if kind == "list":
            items = [self.build(v) for v in recipe[2]]
            return self.register(ListSub(items) if recipe[1] == "sub" else items)
        if kind == "dict":
            d = DictSub() if recipe[1] == "sub" else {}
            for key, value in recipe[2]:
                k = key[1] if key[0] == "k" else self.register(MutKey(self, d, key[1], key[2]))
                v = self.build(value)
                dict.__setitem__(d, k, v)
            return self.register(d)
        raise AssertionError(recipe)

    def build_key(self, key):
        kind = key[0]
        if kind == "kw":
            return key[1]
        if kind == "kwsub":
            cls = {"plain": PlainStr, "distinct": DistinctStr, "raise-str": RaisingStrStr,
                   "nonstr-str": NonStrStr}[key[2]]
            return self.register(cls(key[1]))
        what = key[1]
        if what in ("str-raises", "str-mutates", "str-clears"):
            return self.register(KeyObject(self, what))
        return what

    def make_flag(self, kind: str):
        if kind == "true":
            return True
        if kind == "false":
            return False
        if kind == "one":
            return 1
        if kind == "none":
            return None
        if kind == "numpy":
            try:
                import numpy
            except ImportError:  # pragma: no cover - numpy is a test dependency
                return True
            return numpy.bool_(True)
        return self.register(make_numpy_like(self, kind))

    def make_fn(self, recipe):
        kind = recipe[0]
        if kind == "cls":
            return self.cls(recipe[1])
        if kind == "builtin":
            return {"str": str, "repr": repr, "len": len, "bool": bool, "list": list, "tuple": tuple, "type": type,
                    "callable": callable}[recipe[1]]
        if kind == "not-callable":
            return self.build(recipe[1])
        if kind == "pool":
            return self.pooled(recipe[1])
        return self.register(Fn(self, recipe))

    def fn_body(self, recipe, args):
        kind = recipe[0]
        if kind == "ident":
            return args[0] if len(args) == 1 else args
        if kind == "const":
            return self.build(recipe[1])
        if kind == "raise":
            exc = self.register(make_exception(recipe[1]))
            if recipe[2]:
                raise exc from self.register(Boom("cause"))
            raise exc
        if kind == "to":
            target, v = recipe[1], (args[0] if args else None)
            if target == "ok":
                return self.R.ok(v)
            if target == "err":
                return self.R.err("from callable", None, v)
            if target == "just":
                return self.M.just(v)
            if target == "maybe":
                return self.M(v)
            return self.M.nothing()
        if kind == "triple":
            items = [self.build(v) for v in recipe[1]]
            return self.register(TupleSub(items) if recipe[2] == "sub" else tuple(items))
        if kind == "reenter":
            self.log.append(("nested", self.run_nested(recipe[1])))
            return self.build(recipe[2])
        if kind == "drop":
            self.pool.clear()
            self.holder.clear()
            gc.collect()
            return self.build(recipe[1])
        if kind == "abstract":
            self.set_abstract(recipe[1], 1)
            return self.build(recipe[2])
        if kind == "receiver":
            return self.receivers[-1] if self.receivers else None
        raise AssertionError(recipe)

    def recurse(self, fn, how: str):
        # Through lookup(): the receiver may be a class, whose methods the
        # model world must answer as descriptors do.
        recv = self.receivers[-1] if self.receivers else self.pooled(0)
        if how == "map":
            return self.lookup(recv, "map")(fn)
        if how == "flat_map":
            return self.lookup(recv, "flat_map")(fn)
        if how == "match":
            return self.lookup(recv, "match")(fn, fn)
        if how == "rshift":
            return recv >> fn
        return repr(self.R.ok(_ReprCalls(fn)))

    def make_hostile(self, kind: str, args):
        if kind == "str":
            return HostileStr(self, args[0])
        if kind == "reflect":
            return Reflect(self, args[0])
        if kind == "spoof":
            return make_spoof(self, args[0])
        if kind == "finalizer":
            return Finalizer(self, args[0], args[1] if len(args) > 1 else False)
        return Explodes(self)

    def set_abstract(self, letter: str, count: int) -> None:
        cls = self.cls(letter)
        if self.closed:
            return
        if count:
            cls.__abstractmethods__ = frozenset(("f", "g")[:count])
            self.abstract.add(letter)
        elif letter in self.abstract:
            del cls.__abstractmethods__
            self.abstract.discard(letter)

    # -- description ---------------------------------------------------------

    def describe(self, x, depth: int = 0):
        if depth > 8:
            return "..."
        token = self.tokens.get(id(x))
        if token is not None and self.objs[token] is x:
            return ("obj", token)   # built from a recipe: compared by identity
        t = type(x)
        if t is self.R:
            try:
                return ("Result", self.describe(x.to_dict(), depth + 1))
            except TypeError:
                return ("Result", "unusable")
            except BaseException as exc:  # noqa: BLE001
                return ("Result", "broken", type(exc).__name__, _text(exc))
        if t is self.M:
            try:
                return ("MayBe", x.is_just(), self.describe(x.to_option(), depth + 1))
            except BaseException as exc:  # noqa: BLE001
                return ("MayBe", "broken", type(exc).__name__, _text(exc))
        if x is self.R:
            return ("class", "Result")
        if x is self.M:
            return ("class", "MayBe")
        if t is str:
            return ("str", x)
        if t in (int, bool, float, bytes, type(None)) or x is NotImplemented or x is Ellipsis:
            return (t.__name__, x)
        if t in (tuple, list):
            return (t.__name__, tuple(self.describe(e, depth + 1) for e in x))
        if t is dict:
            return ("dict", tuple((self.describe(k, depth + 1), self.describe(v, depth + 1))
                                  for k, v in dict.items(x)))
        if t.__name__ == "tuple_iterator":
            return ("iter", tuple(self.describe(e, depth + 1) for e in list(x)))
        if isinstance(x, BaseException):
            return ("exception", t.__name__, _text(x))
        if t is type:
            return ("type", x.__qualname__)
        return ("object", t.__qualname__)

    def raised(self, exc: BaseException) -> tuple:
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise exc
        if type(exc) is fuzz_model.Unmade:
            return ("raised", "TypeError", UNMADE)
        if type(exc) is RecursionError and self.tokens.get(id(exc)) is None:
            return ("raised", "RecursionError")   # where the limit strikes differs between worlds
        cause = exc.__cause__
        return ("raised", type(exc).__name__, _text(exc), len(exc.args), self.tokens.get(id(exc)),
                None if cause is None else self.describe(cause), exc.__suppress_context__)

    # -- running -------------------------------------------------------------

    def run_nested(self, step):
        if self.closed:
            return "closed"
        if self.depth > 3:
            return "too deep"
        self.depth += 1
        try:
            return self.run(step)[0]
        finally:
            self.depth -= 1

    def run(self, step) -> tuple:
        """Runs one step; returns (description, value)."""
        outer, World.active = World.active, self
        try:
            return self._run(step)
        finally:
            World.active = outer

    def _run(self, step) -> tuple:
        try:
            value = self.execute(step)
        except BaseException as exc:  # noqa: BLE001 - every outcome is described
            described = self.raised(exc)
            scrub(exc)
            return described, None
        fresh = tracked = None
        if type(value) in (self.R, self.M):
            fresh = all(value is not p for p in self.pool)
            tracked = self.tracked(value)
            self.pool.append(value)
        return ("returned", self.describe(value), fresh, tracked), value

    def tracked(self, instance) -> bool:
        return gc.is_tracked(instance)

    def execute(self, step):
        kind = step[0]
        if kind == "call":
            return self.call(*step[1:])
        if kind == "new":
            return self.new(*step[1:])
        if kind == "proto":
            x = self.build(step[2])
            op = step[1]
            if op == "bool":
                return bool(x)
            if op == "len":
                return len(x)
            if op == "list":
                return list(x)
            if op == "next":
                return next(iter(x))
            if op == "repr":
                return repr(x)
            if op == "str":
                return str(x)
            if op == "format":
                return format(x, "")
            return format(x, "<9")
        if kind == "dunder":
            x = self.build(step[2])
            args = [self.build(a) for a in step[3]]
            self.receivers.append(x)
            try:
                return getattr(x, step[1])(*args)
            finally:
                self.receivers.pop()
        if kind == "binop":
            left, right = self.build(step[2]), self.build(step[3])
            self.receivers.append(left)
            try:
                op = step[1]
                if op == "|":
                    return left | right
                if op == ">>":
                    return left >> right
                if op == "|=":
                    left |= right
                    return left
                left >>= right
                return left
            finally:
                self.receivers.pop()
        if kind == "getitem":
            return self.cls(step[1])[self.build(step[2])]
        if kind == "eq":
            return self.build(step[1]) == self.build(step[2])
        if kind == "borrowed":
            return self.borrowed(step[1], step[2])
        if kind == "abstract":
            self.set_abstract(step[1], step[2])
            return None
        if kind == "unmade":
            return self.unmade(step[1])
        if kind == "drop":
            if self.pool:
                del self.pool[step[1] % len(self.pool)]
            return None
        if kind == "chain":
            return self.chain(step[1], step[2], step[3], step[4] if len(step) > 4 else False)
        raise AssertionError(step)

    def call(self, target, name, route, letter, args, kwargs):
        obj = self.build(target)
        cls = self.cls(letter)
        args = [self.build(a) for a in args]
        kw = {}
        for key, value in kwargs:
            kw[self.build_key(key)] = self.build(value)
        self.receivers.append(obj)
        self.keywords.append(kw)
        self.armed = True
        try:
            if route == "attr":
                return self.lookup(obj, name)(*args, **kw)
            if route == "partial":
                half = len(args) // 2
                items = list(kw.items())
                stored, given = items[: len(items) // 2], items[len(items) // 2:]
                if PARTIAL_PASSES_KEYWORD_OBJECTS:
                    # Non-str names stored in the partial would reach the
                    # method's own binding there: the model cannot be called
                    # so, so they are given at the call, where the
                    # interpreter refuses them as before.
                    given = [kv for kv in stored if not issubclass(type(kv[0]), str)] + given
                    stored = [kv for kv in stored if issubclass(type(kv[0]), str)]
                first, second = dict(stored), dict(given)
                return functools.partial(self.lookup(obj, name), *args[:half], **first)(*args[half:], **second)
            if route == "unbound":
                return self.lookup(cls, name)(obj, *args, **kw)
            return self.lookup(cls, name)(*args, **kw)   # unbound-empty: the receiver left out
        finally:
            self.armed = False
            self.receivers.pop()
            self.keywords.pop()

    def lookup(self, obj, name):
        return getattr(obj, name)

    def new(self, letter, route, first, args, kwargs):
        cls = self.cls(letter)
        first = self.build(first)
        args = [self.build(a) for a in args]
        kw = {}
        for key, value in kwargs:
            kw[self.build_key(key)] = self.build(value)
        self.keywords.append(kw)
        self.armed = True
        try:
            return self.construct(cls, route, first, args, kw)
        finally:
            self.armed = False
            self.keywords.pop()

    def construct(self, cls, route, first, args, kw):
        if route == "direct":
            return cls(*args, **kw)
        if route == "type-call":
            return type.__call__(cls, *args, **kw)
        if route == "partial":
            items = list(kw.items())
            return functools.partial(cls, *args[:1], **dict(items[:1]))(*args[1:], **dict(items[1:]))
        return cls.__new__(first, *args, **kw)

    def borrowed(self, wraps, action):
        # The instance lives only in the list while list.__repr__ lends it to
        # repr(); the payload's __str__ may drop it.
        x = self.register(HostileStr(self, action))
        for w in wraps:
            x = self.R.ok(x) if w == "ok" else self.M.just(x)
        self.holder = [x]
        del x
        return repr(self.holder)

    def unmade(self, letter: str):
        if letter == "R":
            return self.make_unmade_result()
        return _object_new(self.M, (), None)

    def make_unmade_result(self):
        return object.__new__(self.R)

    def chain(self, wraps, length, nested, raises):
        x = Finalizer(self, nested, raises)   # not registered: it dies with the chain
        for i in range(length):
            w = wraps[i % len(wraps)]
            if w == "ok":
                x = self.R.ok(x)
            elif w == "just":
                x = self.M.just(x)
            elif w == "err":
                x = self.R.err("e", None, x)
            elif w == "tuple":
                x = (x,)
            else:
                x = [x]
        del x
        return None

    def finish(self) -> list:
        """Describes every instance still in the pool."""
        return [self.describe(p) for p in self.pool]

    def cleanup(self) -> None:
        for letter in list(self.abstract):
            self.set_abstract(letter, 0)
        self.closed = True   # finalisers that run from here on do nothing
        self.pool.clear()
        self.holder.clear()
        self.receivers.clear()
        for obj in self.objs:
            if type(obj) in (list, dict, ListSub, DictSub):
                obj.clear()
        self.objs.clear()
        self.tokens.clear()


# From 3.15 on, functools.partial hands the names of its stored keywords to
# the callable without checking them, and MayBe.__new__ refuses non-str names
# itself.
PARTIAL_PASSES_KEYWORD_OBJECTS = sys.version_info >= (3, 15)

# The fuzzer makes a Result without a constructor as a user would:
# object.__new__ after replacing Result.__new__ for good. Elsewhere (the tests
# of make test share the process) object's constructor is called directly,
# which makes the same object and leaves the class alone.
REPLACE_RESULT_NEW = False


class RealWorld(World):
    def make_unmade_result(self):
        if REPLACE_RESULT_NEW:
            allow_object_new(self.R)
            return object.__new__(self.R)
        return _object_new(self.R, (), None)


class ModelWorld(World):
    """The interpreter's own checks, where the module is not entered, are
    reproduced here with the interpreter's wording."""

    def tracked(self, instance) -> bool:
        return fuzz_model.is_tracked(instance)

    def make_unmade_result(self):
        # Only Result's constructors and operations make a Result: any other
        # way fails as calling the class does, after object's constructor has
        # refused an abstract class.
        if "R" in self.abstract:
            return _object_new(self.R, (), None)
        raise TypeError("cannot create 'builtins.Result' instances")

    def lookup(self, obj, name):
        """An instance method or slot taken from the class itself: the
        interpreter's descriptor checks the receiver before the module is
        entered."""
        if obj is not self.R and obj is not self.M:
            return getattr(obj, name)
        cls, function = obj, getattr(obj, name)
        if name in STATIC or name in CLASS or name == "__str__":   # __str__ is object's own
            return function
        if name in SLOTS:
            def slot_wrapper(*args):
                if not args:
                    raise TypeError(f"descriptor '{name}' of '{tp_name(cls)}' object needs an argument")
                if not issubclass(type(args[0]), cls):
                    raise TypeError(f"descriptor '{name}' requires a '{tp_name(cls)}' object but received a "
                                    f"'{tp_name(type(args[0]))}'")
                expected, given = SLOTS[name], len(args) - 1
                if given != expected:
                    raise TypeError(f"expected {expected} argument{'' if expected == 1 else 's'}, got {given}")
                return function(*args)
            return slot_wrapper

        def method_descriptor(*args, **kwargs):
            if not args:
                raise TypeError(f"unbound method {cls.__qualname__}.{name}() needs an argument")
            if not issubclass(type(args[0]), cls):
                raise TypeError(f"descriptor '{name}' for '{tp_name(cls)}' objects doesn't apply to a "
                                f"'{tp_name(type(args[0]))}' object")
            return function(*args, **kwargs)
        return method_descriptor

    def construct(self, cls, route, first, args, kw):
        if cls is self.R:
            return World.construct(self, cls, route, first, args, kw)
        if route == "partial":
            # The class has no vectorcall, so partial passes the merged dict on
            # as it is, non-str keys included.
            items = list(kw.items())
            merged = dict(items[:1])
            merged.update(dict(items[1:]))
            return fuzz_model.MayBe._construct(cls, tuple(args), merged.items())
        if route == "new":
            if PARTIAL_PASSES_KEYWORD_OBJECTS and any(not issubclass(type(k), str) for k in kw):
                raise TypeError("keywords must be strings")
            where = tp_name(cls) + ".__new__"
            if not isinstance(first, type):
                raise TypeError(f"{where}(X): X is not a type object ({tp_name(type(first))})")
            if not issubclass(first, cls):
                raise TypeError(f"{where}({tp_name(first)}): {tp_name(first)} is not a subtype of {tp_name(cls)}")
            return fuzz_model.MayBe._construct(first, tuple(args), kw.items())
        return fuzz_model.MayBe._construct(cls, tuple(args), kw.items())


UNMADE = "<not made by a constructor>"


def scrub(exc) -> None:
    """Drops the tracebacks of an exception and of its cause and context: the
    model's frames would keep payloads alive that tarnwick has let go."""
    for _ in range(8):
        if exc is None:
            return
        exc.__traceback__ = None
        scrub_cause = exc.__cause__
        if scrub_cause is not None:
            scrub_cause.__traceback__ = None
        exc = exc.__context__


def normalized(log: list) -> list:
    """Finalisers may run in another order when a deallocation is deferred
    (the interpreter's trashcan for the model, the module's own deferral
    for tarnwick): their entries compare as a set."""
    rest = [e for e in log if not (type(e) is tuple and e and e[0] == "del")]
    dels = sorted((e for e in log if type(e) is tuple and e and e[0] == "del"), key=repr)
    return rest + dels


def _text(exc) -> str:
    try:
        return str(exc)[:300]
    except BaseException as e:  # noqa: BLE001
        return f"<str() raised {type(e).__name__}>"


# ---------------------------------------------------------------------------
# Hostile objects. Each world makes its own; their repr() names their
# creation number, never an address, so that texts compare across worlds.


class Hostile:
    world = None

    def __repr__(self):
        token = self.world.tokens.get(id(self)) if self.world is not None else None
        return f"<{type(self).__name__} {token}>"


class Token(Hostile):
    def __init__(self, world):
        self.world = world


class Fn(Hostile):
    """A callable made from a recipe; every call is logged."""

    def __init__(self, world, recipe):
        self.world, self.recipe = world, recipe

    def __call__(self, *args):
        world = self.world
        if self.recipe[0] == "recurse":   # not logged: the depth reached differs between worlds
            return world.recurse(self, self.recipe[1])
        world.log.append(("call", self.recipe[0], world.describe(args)))
        return world.fn_body(self.recipe, args)


class PlainStr(str):
    """A str subclass: its characters count, never its methods."""

    def __str__(self):
        return "str-of-sub"

    def encode(self, *a, **k):
        raise AssertionError("encode of a str subclass called")


class LyingStr(str):
    def __str__(self):
        return "lie"

    def __len__(self):
        return 99

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class DistinctStr(str):
    """Same characters as a parameter name, yet a separate dict key."""

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return self is other


class RaisingStrStr(str):
    def __str__(self):
        raise Boom("keyword __str__")


class NonStrStr(str):
    def __str__(self):
        return 5


class KeyObject(Hostile):
    """A keyword name that is not a str."""

    def __init__(self, world, what):
        self.world, self.what = world, what

    def __str__(self):
        if self.what == "str-raises":
            raise Boom("keyword object __str__")
        if self.what == "str-clears":
            for d in self.world.keywords:
                dict.clear(d)     # the values bound so far lose their last reference
            gc.collect()
            return "key-object"
        self.world.pool.append(self.world.M.nothing())
        return "key-object"


class TupleSub(tuple):
    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise AssertionError("tuple subclass __getitem__ called")

    def __iter__(self):
        raise AssertionError("tuple subclass __iter__ called")


class ListSub(list):
    pass


class DictSub(dict):
    def __getitem__(self, key):
        raise AssertionError("dict subclass __getitem__ called")

    def __missing__(self, key):
        raise AssertionError("dict subclass __missing__ called")

    def get(self, *a):
        raise AssertionError("dict subclass get called")

    def __contains__(self, key):
        raise AssertionError("dict subclass __contains__ called")


class MutKey(Hostile):
    """A dict key colliding with one of the dict form's keys, whose __eq__
    (run by the dict's own lookup) changes the dict while the call runs."""

    def __init__(self, world, d, target, action):
        self.world, self.d, self.target, self.action = world, d, target, action

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        if not self.world.armed:
            return False
        self.world.armed = False      # once per call
        self.world.log.append(("eq", self.target, self.action))
        d, action = self.d, self.action
        if action == "clear":
            dict.clear(d)
        elif action == "insert":
            for i in range(20):
                dict.__setitem__(d, ("filler", i), i)
        elif action == "delete":
            for key in [k for k in dict.keys(d) if type(k) is str]:
                dict.__delitem__(d, key)
        elif action == "replace":
            for key in ("ok", "value", "error", "code", "details"):
                dict.__setitem__(d, key, self.world.register(["replaced", key]))
        else:
            raise self.world.register(Boom("key __eq__"))
        return False


def make_numpy_like(world, kind: str):
    def to_bool(self):
        world.log.append(("bool", kind))
        if kind == "raises":
            raise world.register(Boom("flag __bool__"))
        if kind in ("clear", "drop-ok"):
            world.armed = False
            for d in [o for o in world.objs if type(o) in (dict, DictSub)]:
                if kind == "clear":
                    dict.clear(d)
                else:
                    for key in [k for k in dict.keys(d) if type(k) is str and k in ("ok", "value")]:
                        dict.__delitem__(d, key)
            return False
        return 1

    name = "bool" if kind == "named-bool" else "bool_"
    namespace = {"__module__": "numpy.core" if kind == "not-numpy" else "numpy", "__slots__": (),
                 "__repr__": lambda self: f"<flag {kind}>"}
    if kind != "no-bool":
        namespace["__bool__"] = to_bool
    return type(name, (), namespace)()


class HostileStr(Hostile):
    """A payload whose __str__ misbehaves."""

    def __init__(self, world, action):
        self.world, self.action = world, action

    def __str__(self):
        world, (what, arg) = self.world, self.action
        world.log.append(("str", what))
        if what == "raise":
            raise world.register(Boom("__str__"))
        if what == "nonstr":
            return 5
        if what == "sub":
            return PlainStr("sub\0text")
        if what == "surrogate":
            return "x\udc80"
        if what == "nul":
            return "a\0b"
        if what == "drop":
            world.holder.clear()
            world.pool.append(world.R.ok(len(world.pool)))
            world.pool.append(world.M.just(len(world.pool)))
            return "dropped"
        if what == "abstract":
            world.set_abstract(arg, 1)
            return "abstract"
        world.log.append(("nested", world.run_nested(arg)))
        return "reentered"


class Reflect(Hostile):
    """A right operand with reflected operators of its own."""

    def __init__(self, world, value):
        self.world, self.value = world, value

    def _reflected(self, op, other):
        self.world.log.append(("reflected", op, self.world.describe(other)))
        return self.world.build(self.value)

    def __ror__(self, other):
        return self._reflected("|", other)

    def __rrshift__(self, other):
        return self._reflected(">>", other)


class _ReprCalls:
    """A payload whose __str__ calls a callable (and so recurses)."""

    def __init__(self, fn):
        self.fn = fn

    def __str__(self):
        return str(self.fn())


class Explodes(Hostile):
    """Any protocol the module must never use on a payload raises."""

    def __init__(self, world):
        self.world = world

    def _boom(self, *a):
        raise HostileExit("payload protocol used")

    __bool__ = __len__ = __iter__ = __hash__ = __index__ = _boom

    def __eq__(self, other):
        raise HostileExit("payload __eq__ used")


def make_spoof(world, target: str):
    claimed = {"str": str, "tuple": tuple, "dict": dict, "bool": bool, "R": world.R, "M": world.M}[target]

    class Spoof(Hostile):
        @property
        def __class__(self):
            return claimed

    Spoof.__qualname__ = "Spoof"
    spoof = Spoof()
    spoof.world = world
    return spoof


class Finalizer(Hostile):
    """A payload whose finaliser runs a step when the last reference goes."""

    def __init__(self, world, step, raises=False):
        self.world, self.step, self.raises = world, step, raises

    def __del__(self):
        world = self.world
        if world.closed:
            return
        try:
            world.log.append(("del", world.run_nested(self.step)))
        except BaseException as exc:  # noqa: BLE001
            world.log.append(("del-raised", type(exc).__name__))
        if self.raises:
            World.active = world
            raise Boom("finaliser")


def make_exception(kind: str) -> BaseException:
    if kind == "value":
        return ValueError("from callable")
    if kind == "type":
        return TypeError("from callable")
    if kind == "key":
        return KeyError("k")
    if kind == "recursion":
        return RecursionError("from callable")
    return HostileExit("base exception from callable")


# ---------------------------------------------------------------------------
# Running a program in both worlds


def same(real, model) -> bool:
    """Equality of descriptions, where the model's "not made by a
    constructor" TypeError accepts any TypeError."""
    if type(model) is tuple and len(model) == 3 and model[:2] == ("raised", "TypeError") and model[2] == UNMADE:
        return type(real) is tuple and real[:2] == ("raised", "TypeError")
    if type(real) is not type(model):
        return False
    if type(model) in (tuple, list):
        return len(real) == len(model) and all(same(a, b) for a, b in zip(real, model))
    return real == model


class Mismatch(Exception):
    def __init__(self, step_index: int, step, what: str, real, model) -> None:
        super().__init__(f"step {step_index}: {what}")
        self.step_index, self.step, self.what, self.real, self.model = step_index, step, what, real, model

    def signature(self) -> str:
        """Step kind (and method or operator), what differed, and the two
        outcomes in short: similar inputs share one report."""
        step = self.step if isinstance(self.step, tuple) else ("end",)
        head = step[0]
        if head == "call":
            head = f"call.{step[2]}"
        elif head in ("proto", "dunder", "binop"):
            head = f"{head}{step[1]}"
        parts = [head, self.what]
        if self.what == "outcome":
            parts += [_summary(self.real), "vs", _summary(self.model)]
        text = "-".join(parts)
        return "".join(c if c.isalnum() or c in "._-|>=" else "_" for c in text)[:100]


def _summary(outcome) -> str:
    if outcome[0] == "raised":
        words = "_".join(str(outcome[2]).split()[:3])
        return f"{outcome[1]}({words})"
    return "returned"


def run_program(program, tarnwick_module) -> None:
    """Runs the program in both worlds; raises Mismatch at the first
    difference. Class state (abstract methods) is restored afterwards."""
    real = RealWorld("real", tarnwick_module.Result, tarnwick_module.MayBe)
    model = ModelWorld("model", fuzz_model.Result, fuzz_model.MayBe)
    old_hook = sys.unraisablehook
    sys.unraisablehook = _unraisable
    try:
        for index, step in enumerate(program):
            got, _ = real.run(step)
            want, _ = model.run(step)
            if not same(got, want):
                raise Mismatch(index, step, "outcome", got, want)
            if not same(normalized(real.log), normalized(model.log)):
                raise Mismatch(index, step, "calls", real.log, model.log)
            real.log.clear()
            model.log.clear()
            flags = [(i, borrow_flag(p)) for i, p in enumerate(real.pool) if type(p) in (real.R, real.M)]
            if any(f for _, f in flags):
                raise Mismatch(index, step, "borrow flag", flags, [])
            if real.unraisable != model.unraisable:
                raise Mismatch(index, step, "unraisable", real.unraisable, model.unraisable)
            real.unraisable.clear()
            model.unraisable.clear()
        got, want = real.finish(), model.finish()
        if not same(got, want):
            raise Mismatch(len(program), ("end",), "instances", got, want)
    finally:
        real.cleanup()
        model.cleanup()
        sys.unraisablehook = old_hook
    if not same(normalized(real.log), normalized(model.log)):
        raise Mismatch(len(program), ("end",), "cleanup calls", real.log, model.log)


def render(program) -> str:
    """The program, one step a line."""
    return "\n".join(f"{i:3}: {step!r}" for i, step in enumerate(program))
