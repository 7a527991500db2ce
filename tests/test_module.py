"""Module import, class registration, docstrings and instance plumbing.

Covers what the interpreter can see of the module object and of the two type
objects (names, flags, docstrings, method tables), the __all__ handling of
module execution, instance sizes and reference bookkeeping, the refusal of
sub-interpreters, and the shape of the built library and wheel.
"""
import gc
import importlib
import importlib.util
import inspect
import shutil
import struct
import subprocess
import sys
import sysconfig
import textwrap
import weakref
import zipfile
from pathlib import Path

import pytest

import tarnwick
from tarnwick import MayBe, Result

STANDARD_MODULE_ATTRS = {
    "__all__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__",
}

# (class, method name, full docstring as registered), in method-table order.
RESULT_DOCS = [
    ("ok", "ok(value)\n--\n\nConstructeur Ok"),
    ("err", "err(message, code=None, details=None)\n--\n\n"
            "Constructeur Err avec message, code optionnel, details optionnel"),
    ("from_dict", "from_dict(dict)\n--\n\nfrom_dict(d) : construit un Result depuis un dict (inverse de to_dict)"),
    ("is_ok", "is_ok($self)\n--\n\nTrue si Ok"),
    ("is_err", "is_err($self)\n--\n\nTrue si Err"),
    ("unwrap", "unwrap($self)\n--\n\nUnwrap value ou ValueError si Err"),
    ("expect", "expect($self, message)\n--\n\nexpect(message) : comme unwrap mais avec message personnalisé"),
    ("unwrap_or", "unwrap_or($self, default)\n--\n\nunwrap_or(default) renvoie value ou default si Err"),
    ("unwrap_err", "unwrap_err($self)\n--\n\nunwrap_err() retourne (msg, code, details) ou ValueError si Ok"),
    ("to_option", "to_option($self)\n--\n\nto_option() : retourne la valeur ou None"),
    ("match", "match($self, ok=None, err=None)\n--\n\nmatch(ok=..., err=...) : pattern matching ergonomique"),
    ("map", "map($self, func)\n--\n\nmap(fn) : applique fn à Ok, laisse Err intact"),
    ("map_err", "map_err($self, func)\n--\n\nmap_err(fn) : applique fn à Err, laisse Ok intact\n"
                "fn reçoit (msg, code, details) et doit retourner (msg, code, details)"),
    ("flat_map", "flat_map($self, func)\n--\n\nflat_map(fn) : applique fn à Ok et attend un Result en retour"),
    ("and_then", "and_then($self, func)\n--\n\nand_then : alias de flat_map"),
    ("to_dict", "to_dict($self)\n--\n\nto_dict() : sérialisation en dict Python\n"
                'Ok  -> {"ok": true, "value": ...}\n'
                'Err -> {"ok": false, "error": msg, "code": ..., "details": ...}'),
    ("__class_getitem__", "__class_getitem__($cls, _item)\n--\n\nSupport pour Result[T, E] (typage générique)"),
]
MAYBE_DOCS = [
    ("just", "just(obj)\n--\n\nConstructeur Just"),
    ("nothing", "nothing()\n--\n\nConstructeur Nothing"),
    ("is_just", "is_just($self)\n--\n\nTrue si Just, False si Nothing"),
    ("is_nothing", "is_nothing($self)\n--\n\nTrue si Nothing, False si Just"),
    ("unwrap", "unwrap($self)\n--\n\nUnwrap ou ValueError si Nothing"),
    ("expect", "expect($self, message)\n--\n\nexpect(message) : comme unwrap mais avec message personnalisé"),
    ("to_option", "to_option($self)\n--\n\nto_option() : retourne la valeur ou None"),
    ("match", "match($self, just=None, nothing=None)\n--\n\nmatch(just=..., nothing=...) : pattern matching ergonomique"),
    ("or_else", "or_else($self, default)\n--\n\nor_else(default) renvoie la valeur interne ou default"),
    ("map", "map($self, func)\n--\n\nmap(fn) : applique fn à la valeur interne et wrappe dans un nouveau MayBe"),
    ("flat_map", "flat_map($self, func)\n--\n\nflat_map(fn) : applique fn à la valeur et attend un MayBe en retour"),
    ("__class_getitem__", "__class_getitem__($cls, _item)\n--\n\nSupport pour MayBe[T] (typage générique)"),
]


def run_python(code: str, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


# --------------------------------------------------------------------------
# Module object


def test_module_attributes() -> None:
    assert tarnwick.__all__ == ["MayBe", "Result"]
    assert type(tarnwick.__all__) is list
    assert tarnwick.__doc__ == ""
    names = set(dir(tarnwick))
    assert {n for n in names if not n.startswith("_")} == {"MayBe", "Result"}
    assert names - {"MayBe", "Result"} <= STANDARD_MODULE_ATTRS


def test_reimport_gives_new_module_with_same_classes() -> None:
    original = sys.modules.pop("tarnwick")
    try:
        fresh = importlib.import_module("tarnwick")
        assert fresh is not original
        assert fresh.Result is Result and fresh.MayBe is MayBe
        assert fresh.__all__ == ["MayBe", "Result"]
        assert fresh.__all__ is not original.__all__
    finally:
        sys.modules["tarnwick"] = original


def _fresh_module():
    spec = importlib.util.find_spec("tarnwick")
    return spec, importlib.util.module_from_spec(spec)


@pytest.mark.parametrize(
    "preset, expected",
    [
        (["x"], ["x", "MayBe", "Result"]),
        ([], ["MayBe", "Result"]),
    ],
)
def test_exec_appends_to_existing_all_list(preset, expected) -> None:
    spec, module = _fresh_module()
    module.__all__ = preset
    spec.loader.exec_module(module)
    assert module.__all__ is preset
    assert preset == expected
    assert module.Result is Result and module.MayBe is MayBe


def test_exec_accepts_list_subclass_for_all() -> None:
    class Names(list):
        pass

    spec, module = _fresh_module()
    module.__all__ = Names()
    spec.loader.exec_module(module)
    assert type(module.__all__) is Names and module.__all__ == ["MayBe", "Result"]


@pytest.mark.parametrize(
    "preset, message",
    [
        (("x",), "'tuple' object is not an instance of 'list'"),
        (None, "'None' is not an instance of 'list'"),
    ],
)
def test_exec_rejects_non_list_all(preset, message) -> None:
    spec, module = _fresh_module()
    module.__all__ = preset
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(module)
    assert str(info.value) == message
    assert type(info.value) is TypeError
    assert module.__all__ is preset
    assert not hasattr(module, "MayBe") and not hasattr(module, "Result")


def test_exec_all_lookup_goes_through_module_getattr() -> None:
    # A missing __all__ is looked up through the module's __getattr__ hook:
    # AttributeError means "create the list", anything else is the failure.
    spec, module = _fresh_module()
    module.__getattr__ = lambda name: (_ for _ in ()).throw(AttributeError(name))
    spec.loader.exec_module(module)
    assert module.__dict__["__all__"] == ["MayBe", "Result"]

    boom = KeyError("no lookups today")

    def refuse(name):
        raise boom

    spec, module = _fresh_module()
    module.__getattr__ = refuse
    with pytest.raises(KeyError) as info:
        spec.loader.exec_module(module)
    assert info.value is boom


# --------------------------------------------------------------------------
# Type objects


@pytest.mark.parametrize("cls, name", [(Result, "Result"), (MayBe, "MayBe")])
def test_class_names(cls, name) -> None:
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    assert cls.__flags__ & (1 << 10) == 0  # Py_TPFLAGS_BASETYPE
    assert cls.__flags__ & (1 << 14) != 0  # Py_TPFLAGS_HAVE_GC
    assert cls.__flags__ & (1 << 8) == 0  # Py_TPFLAGS_IMMUTABLETYPE


def test_class_docstrings() -> None:
    assert Result.__doc__ == "Result monad: Ok(value) | Err(message, code?, details?)"
    assert Result.__text_signature__ is None
    assert MayBe.__text_signature__ == "(obj)"
    assert MayBe.__doc__ == ""
    assert str(inspect.signature(MayBe)) == "(obj)"


@pytest.mark.parametrize("cls, table", [(Result, RESULT_DOCS), (MayBe, MAYBE_DOCS)])
def test_method_docstrings_and_signatures(cls, table) -> None:
    # The interpreter splits each registered docstring at "\n--\n\n" into
    # __text_signature__ and __doc__; a typo in either half shows up here.
    wrong = []
    for name, doc in table:
        head, body = doc.split("\n--\n\n")
        method = getattr(cls, name)
        got = (method.__doc__, method.__text_signature__)
        if not head.startswith(name + "(") or got != (body, head[len(name):]):
            wrong.append((name, got))
    assert wrong == []


def test_signatures_seen_by_inspect() -> None:
    assert str(inspect.signature(Result.err)) == "(message, code=None, details=None)"
    assert str(inspect.signature(Result.ok(1).match)) == "(ok=None, err=None)"
    assert str(inspect.signature(MayBe.nothing)) == "()"
    assert str(inspect.signature(MayBe(1).match)) == "(just=None, nothing=None)"


@pytest.mark.parametrize("cls, table", [(Result, RESULT_DOCS), (MayBe, MAYBE_DOCS)])
def test_method_table_order(cls, table) -> None:
    slot_wrappers = {"__new__", "__repr__", "__iter__", "__bool__", "__rshift__", "__rrshift__",
                     "__or__", "__ror__", "__len__", "__doc__", "__module__"}
    methods = [n for n in cls.__dict__ if n not in slot_wrappers]
    assert methods == [n for n, _ in table]


def test_method_kinds() -> None:
    kinds = {n: type(v).__name__ for c in (Result, MayBe) for n, v in c.__dict__.items()
             if n in ("ok", "err", "from_dict", "just", "nothing", "__class_getitem__", "map")}
    assert kinds == {"ok": "staticmethod", "err": "staticmethod", "from_dict": "staticmethod",
                     "just": "staticmethod", "nothing": "staticmethod",
                     "__class_getitem__": "classmethod_descriptor", "map": "method_descriptor"}
    # Static methods work the same when reached through an instance.
    assert Result.ok(0).ok(5).unwrap() == 5 and MayBe.nothing().just(7).unwrap() == 7


def test_result_not_instantiable() -> None:
    for args, kwargs in [((), {}), ((1,), {}), ((), {"value": 1})]:
        with pytest.raises(TypeError, match=r"^cannot create 'builtins\.Result' instances$"):
            Result(*args, **kwargs)
    assert MayBe(1).is_just()


@pytest.mark.parametrize("cls", [Result, MayBe])
def test_not_subclassable(cls) -> None:
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("make", [lambda: Result.err("e"), lambda: MayBe(1)])
def test_instances_take_no_attributes_and_no_weakrefs(make) -> None:
    obj = make()
    with pytest.raises(AttributeError):
        obj.x = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(obj)


@pytest.mark.parametrize("cls", [Result, MayBe])
def test_class_attributes_are_settable(cls) -> None:
    cls.extra_attribute = 42
    try:
        assert cls.extra_attribute == 42
        assert cls.ok(1).extra_attribute == 42 if cls is Result else cls(1).extra_attribute == 42
    finally:
        del cls.extra_attribute
    assert not hasattr(cls, "extra_attribute")


# --------------------------------------------------------------------------
# Instances: size and reference bookkeeping


def test_instance_sizes() -> None:
    # Beyond the object header (16 bytes on a 64-bit GIL build, more on a
    # free-threaded one): Result 40 bytes, MayBe 16; sys.getsizeof adds the
    # collector's header (none on a free-threaded build), as for a list.
    header = sys.getsizeof(object())
    gc_header = sys.getsizeof([]) - list.__basicsize__
    assert Result.__basicsize__ <= header + 40
    assert MayBe.__basicsize__ <= header + 16
    for make in (lambda: Result.ok(1), lambda: Result.err("m", "c", 1), lambda: Result.ok([])):
        assert sys.getsizeof(make()) == Result.__basicsize__ + gc_header
    for make in (lambda: MayBe(1), lambda: MayBe.nothing(), lambda: MayBe([])):
        assert sys.getsizeof(make()) == MayBe.__basicsize__ + gc_header


@pytest.mark.parametrize(
    "cls, make",
    [(Result, lambda i: Result.err("m", "c", i)), (MayBe, lambda i: MayBe.nothing())],
)
def test_class_refcount_restored_after_many_instances(cls, make) -> None:
    make(0)  # warm up any lazily created state
    # Free-threaded builds: objects that other threads left for this one to
    # release are released by a collection, not at once.
    gc.collect()
    before = sys.getrefcount(cls)
    items = [make(i) for i in range(10_000)]
    assert sys.getrefcount(cls) == before + 10_000
    del items
    assert sys.getrefcount(cls) == before


CONSTRUCTORS = [
    ("Result.ok", lambda p: Result.ok(p)),
    ("Result.err-details", lambda p: Result.err("m", None, p)),
    ("Result.from_dict-ok", lambda p: Result.from_dict({"ok": True, "value": p})),
    ("MayBe", lambda p: MayBe(p)),
    ("MayBe.just", lambda p: MayBe.just(p)),
]


@pytest.mark.parametrize("make", [m for _, m in CONSTRUCTORS], ids=[n for n, _ in CONSTRUCTORS])
def test_payload_refcount_one_per_instance(make) -> None:
    payload = object()
    make(payload)
    base = sys.getrefcount(payload)
    held = [make(payload) for _ in range(100)]
    assert sys.getrefcount(payload) == base + 100
    del held[:50]
    assert sys.getrefcount(payload) == base + 50
    del held
    assert sys.getrefcount(payload) == base


def test_texts_are_copied_not_referenced() -> None:
    message = "".join(["some ", "message"])
    code = "".join(["some ", "code"])
    before = sys.getrefcount(message), sys.getrefcount(code)
    held = [Result.err(message, code) for _ in range(100)]
    assert (sys.getrefcount(message), sys.getrefcount(code)) == before
    got = held[0].unwrap_err()
    assert got[0] == message and got[0] is not message
    assert got[1] == code and got[1] is not code


# --------------------------------------------------------------------------
# Shared library and wheel

# A free-threaded interpreter has no stable ABI: there the library is built
# against the full C API and named by that interpreter's own suffix.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
if FREE_THREADED:
    LIBRARY = "tarnwick" + sysconfig.get_config_var("EXT_SUFFIX")
    _CP = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    WHEEL_TAG = (_CP, _CP + "t")
else:
    # Windows has no abi3 suffix, only ".pyd".
    LIBRARY = "tarnwick.pyd" if sys.platform == "win32" else "tarnwick.abi3.so"
    WHEEL_TAG = ("cp312", "abi3")

needs_elf = pytest.mark.skipif(
    not sys.platform.startswith("linux"),
    reason="reads the ELF dynamic symbol table: Linux builds only",
)


def _dynamic_exports(path: Path) -> set[str]:
    """Names of the defined global/weak symbols of an ELF64 library's .dynsym."""
    data = path.read_bytes()
    assert data[:4] == b"\x7fELF" and data[4] == 2, "expected an ELF64 file"
    end = "<" if data[5] == 1 else ">"
    shoff, = struct.unpack_from(end + "Q", data, 0x28)
    shentsize, shnum = struct.unpack_from(end + "HH", data, 0x3A)
    sections = [struct.unpack_from(end + "IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    names = set()
    for _, sh_type, _, _, offset, size, link, _, _, entsize in sections:
        if sh_type != 11:  # SHT_DYNSYM
            continue
        str_offset = sections[link][4]
        for pos in range(offset, offset + size, entsize):
            st_name, st_info, _, st_shndx = struct.unpack_from(end + "IBBH", data, pos)
            if st_shndx == 0 or (st_info >> 4) not in (1, 2):  # undefined, or local binding
                continue
            raw = data[str_offset + st_name:data.index(b"\0", str_offset + st_name)]
            names.add(raw.decode())
    return names


def test_library_file_name() -> None:
    assert Path(tarnwick.__file__).name == LIBRARY


@needs_elf
def test_library_exports_only_init() -> None:
    lib = Path(tarnwick.__file__)
    assert _dynamic_exports(lib) == {"PyInit_tarnwick"}
    if shutil.which("nm"):
        out = subprocess.run(["nm", "-D", "--defined-only", str(lib)], capture_output=True, text=True,
                             check=True).stdout
        assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_tarnwick"]


def test_wheel_tags_and_library_at_root(tmp_path: Path) -> None:
    # Slow (a full CMake configure and build, several seconds) but part of the
    # default run: it is the only check of what actually gets shipped. The
    # cp312-abi3 wheel, or on a free-threaded interpreter its own cpXY-cpXYt one.
    pytest.importorskip("scikit_build_core")
    root = Path(__file__).resolve().parent.parent
    out = tmp_path / "dist"
    proc = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", str(root), "--no-build-isolation", "--no-deps",
         "-w", str(out), "-C", f"build-dir={tmp_path / 'build'}"],
        capture_output=True, text=True, timeout=900,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    name, version, py, abi, plat = wheels[0].stem.split("-")
    assert (name, (py, abi)) == ("tarnwick", WHEEL_TAG)
    with zipfile.ZipFile(wheels[0]) as whl:
        names = whl.namelist()
        assert LIBRARY in names
        meta = [n for n in names if n.endswith(".dist-info/WHEEL")]
        assert len(meta) == 1
        tags = [line.split(":", 1)[1].strip() for line in whl.read(meta[0]).decode().splitlines()
                if line.startswith("Tag:")]
        licenses = [n for n in names if ".dist-info/licenses/" in n]
        whl.extract(LIBRARY, tmp_path / "unpacked")
    assert tags and all(t.startswith("-".join(WHEEL_TAG) + "-") for t in tags)
    assert [n.rsplit("/", 1)[-1] for n in licenses] == ["LICENSE"]
    libraries = [n for n in names if n.endswith((".so", ".pyd", ".dylib", ".dll"))]
    assert libraries == [LIBRARY]
    if sys.platform.startswith("linux"):
        assert _dynamic_exports(tmp_path / "unpacked" / LIBRARY) == {"PyInit_tarnwick"}
