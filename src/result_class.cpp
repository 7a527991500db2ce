#include "result_class.hpp"

#include "container_bodies.hpp"

#include <cstring>
#include <string>

namespace tarnwick {

// ---------------------------------------------------------------------------
// ErrorTexts: [message size][code size or -1][message bytes][code bytes]

struct ErrorTexts::Block {
    Py_ssize_t message_size;
    Py_ssize_t code_size;  // -1: no code
    [[nodiscard]] char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
    [[nodiscard]] const char* bytes() const noexcept { return reinterpret_cast<const char*>(this + 1); }
};

ErrorTexts& ErrorTexts::operator=(ErrorTexts&& other) noexcept {
    if (this != &other) {
        if (block_ != nullptr) PyMem_Free(block_);
        block_ = other.block_;
        other.block_ = nullptr;
    }
    return *this;
}

// Ok records have no block: skip the allocator call for them.
ErrorTexts::~ErrorTexts() {
    if (block_ != nullptr) PyMem_Free(block_);
}

Outcome<ErrorTexts> ErrorTexts::make(std::string_view message, std::optional<std::string_view> code) noexcept {
    const std::size_t code_size = code ? code->size() : 0;
    if (message.size() > PY_SSIZE_T_MAX / 2 || code_size > PY_SSIZE_T_MAX / 2) [[unlikely]]
        return Error::no_memory();
    auto* block = static_cast<Block*>(PyMem_Malloc(sizeof(Block) + message.size() + code_size));
    if (block == nullptr) [[unlikely]]
        return Error::no_memory();
    block->message_size = static_cast<Py_ssize_t>(message.size());
    block->code_size = code ? static_cast<Py_ssize_t>(code_size) : -1;
    if (!message.empty()) std::memcpy(block->bytes(), message.data(), message.size());
    if (code_size != 0) std::memcpy(block->bytes() + message.size(), code->data(), code_size);
    ErrorTexts texts;
    texts.block_ = block;
    return texts;
}

Outcome<ErrorTexts> ErrorTexts::copy() const noexcept {
    if (block_ == nullptr) return ErrorTexts();
    return make(message(), code());
}

std::string_view ErrorTexts::message() const noexcept {
    return {block_->bytes(), static_cast<std::size_t>(block_->message_size)};
}

std::optional<std::string_view> ErrorTexts::code() const noexcept {
    if (block_->code_size < 0) return std::nullopt;
    return std::string_view(block_->bytes() + block_->message_size, static_cast<std::size_t>(block_->code_size));
}

Outcome<PyResult> PyResult::copy() const noexcept {
    auto texts_copy = texts.copy();
    if (!texts_copy) return std::move(texts_copy.error());
    PyResult r;
    r.value = value.copy();
    r.texts = texts_copy.take();
    r.details = details.copy();
    return r;
}

namespace {

// ---------------------------------------------------------------------------
// The error triple: (message str, code str or None, details or None)

struct Triple {
    Ref message;
    Ref code;
    Ref details;
};

Outcome<Triple> triple_of(const PyResult& r) noexcept {
    auto message = new_str(r.texts.message());
    if (!message) return std::move(message.error());
    Ref code;
    if (auto text = r.texts.code()) {
        auto made = new_str(*text);
        if (!made) return std::move(made.error());
        code = made.take();
    } else {
        code = Ref::none();
    }
    return Triple{message.take(), std::move(code), r.details ? r.details.copy() : Ref::none()};
}

// A tuple returned by a map_err function, back into an Err record.
Outcome<PyResult> err_from_triple(PyObject* obj) noexcept {
    if (!PyTuple_Check(obj)) return cast_error(obj, "tuple");
    const Py_ssize_t size = PyTuple_Size(obj);
    if (size != 3)
        return Error::create(PyExc_ValueError,
                             Ref::steal(PyUnicode_FromFormat(
                                 "expected tuple of length 3, but got tuple of length %zd", size)));
    auto message = text_of(PyTuple_GetItem(obj, 0));
    if (!message) return std::move(message.error());
    PyObject* code_obj = PyTuple_GetItem(obj, 1);
    std::optional<std::string_view> code;
    if (code_obj != Py_None) {
        auto text = text_of(code_obj);
        if (!text) return std::move(text.error());
        code = text.value().view();
    }
    PyObject* details = PyTuple_GetItem(obj, 2);
    auto texts = ErrorTexts::make(message.value().view(), code);
    if (!texts) return std::move(texts.error());
    return PyResult::err(texts.take(), details != Py_None ? Ref::borrow(details) : Ref());
}

Outcome<Ref> pass_through(const PyResult& r) noexcept {
    auto copied = r.copy();
    if (!copied) return std::move(copied.error());
    return make_instance(copied.take());
}

Outcome<Ref> new_ok(Ref value) noexcept { return make_instance(PyResult::ok(std::move(value))); }

// ---------------------------------------------------------------------------
// Constructors

Outcome<Ref> ok(PyObject* value) noexcept { return new_ok(Ref::borrow(value)); }

Outcome<Ref> err(Text message, OptionalText code, Optional details) noexcept {
    auto texts = ErrorTexts::make(message.view(),
                                  code.present ? std::optional(code.text.view()) : std::nullopt);
    if (!texts) return std::move(texts.error());
    PyObject* d = details.object;
    return make_instance(PyResult::err(texts.take(), d != nullptr && d != Py_None ? Ref::borrow(d) : Ref()));
}

// ---------------------------------------------------------------------------
// Inspection and extraction

Outcome<Ref> is_ok(const PyResult& r) noexcept { return Ref::borrow(r.is_ok() ? Py_True : Py_False); }

Outcome<Ref> is_err(const PyResult& r) noexcept { return Ref::borrow(r.is_err() ? Py_True : Py_False); }

Outcome<Ref> unwrap(const PyResult& r) noexcept {
    if (r.value) return r.value.copy();
    return value_error("Tried to unwrap an Err: ", r.texts.message());
}

Outcome<Ref> expect(const PyResult& r, Text message) noexcept {
    if (r.value) return r.value.copy();
    return value_error(message.view());
}

Outcome<Ref> unwrap_or(const PyResult& r, PyObject* fallback) noexcept { return container::value_or(r, fallback); }

Outcome<Ref> unwrap_err(const PyResult& r) noexcept {
    if (!r.texts) return value_error("Tried to unwrap_err on an Ok");
    auto triple = triple_of(r);
    if (!triple) return std::move(triple.error());
    auto& t = triple.value();
    Ref tuple = Ref::steal(PyTuple_Pack(3, t.message.get(), t.code.get(), t.details.get()));
    if (!tuple) return Error::fetch();
    return tuple;
}

Outcome<Ref> to_option(const PyResult& r) noexcept { return container::value_or(r, Py_None); }

Outcome<Ref> repr(const PyResult& r) noexcept {
    if (r.value) return container::wrapped_str("Ok(", r.value.get());
    try {
        std::string text = "Err('";
        text.append(r.texts.message());
        if (auto code = r.texts.code()) {
            text.append("', code='");
            text.append(*code);
        }
        text.append("')");
        return new_str(text);
    } catch (const std::bad_alloc&) {
        return Error::no_memory();
    }
}

// ---------------------------------------------------------------------------
// Combinators and operators

Outcome<Ref> map(const PyResult& r, PyObject* func) noexcept {
    if (!r.value) return pass_through(r);
    auto mapped = call(func, r.value.get());
    if (!mapped) return std::move(mapped.error());
    return new_ok(mapped.take());
}

Outcome<Ref> map_err(const PyResult& r, PyObject* func) noexcept {
    if (!r.texts) return pass_through(r);
    auto triple = triple_of(r);
    if (!triple) return std::move(triple.error());
    auto& t = triple.value();
    auto returned = call(func, t.message.get(), t.code.get(), t.details.get());
    if (!returned) return std::move(returned.error());
    auto record = err_from_triple(returned.value().get());
    if (!record) return std::move(record.error());
    return make_instance(record.take());
}

// flat_map, and_then and >>: func(value) must return a Result, whose
// contents go into a new instance.
Outcome<Ref> bind(const PyResult& r, PyObject* func) noexcept {
    if (!r.value) return pass_through(r);
    auto returned = call(func, r.value.get());
    if (!returned) return std::move(returned.error());
    auto record = copy_record_of<PyResult>(returned.value().get());
    if (!record) return std::move(record.error());
    return make_instance(record.take());
}

Outcome<Ref> match(const PyResult& r, Optional on_ok, Optional on_err) noexcept {
    if (r.value) {
        if (on_ok.object == nullptr || on_ok.object == Py_None) return Ref::none();
        return call(on_ok.object, r.value.get());
    }
    if (on_err.object == nullptr || on_err.object == Py_None) return Ref::none();
    auto triple = triple_of(r);
    if (!triple) return std::move(triple.error());
    auto& t = triple.value();
    return call(on_err.object, t.message.get(), t.code.get(), t.details.get());
}

// ---------------------------------------------------------------------------
// Dict form

// The dict form's keys as interned str, made on first use.
enum DictKey { key_ok, key_value, key_error, key_code, key_details, key_count };
constexpr const char* dict_key_names[key_count] = {"ok", "value", "error", "code", "details"};
PyObject* dict_keys[key_count] = {};

Outcome<PyObject*> dict_key(DictKey key) noexcept {
    if (dict_keys[key] == nullptr) [[unlikely]] {
        dict_keys[key] = PyUnicode_InternFromString(dict_key_names[key]);
        if (dict_keys[key] == nullptr) return Error::fetch();
    }
    return dict_keys[key];
}

Status set_item(PyObject* dict, DictKey key, PyObject* value) noexcept {
    auto k = dict_key(key);
    if (!k) return std::move(k.error());
    if (PyDict_SetItem(dict, k.value(), value) < 0) return Error::fetch();
    return Done{};
}

Outcome<Ref> to_dict(const PyResult& r) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Error::fetch();
    auto put = [&](DictKey key, PyObject* value) { return set_item(dict.get(), key, value); };
    if (r.value) {
        if (auto s = put(key_ok, Py_True); !s) return std::move(s.error());
        if (auto s = put(key_value, r.value.get()); !s) return std::move(s.error());
        return dict;
    }
    if (auto s = put(key_ok, Py_False); !s) return std::move(s.error());
    auto triple = triple_of(r);
    if (!triple) return std::move(triple.error());
    if (auto s = put(key_error, triple.value().message.get()); !s) return std::move(s.error());
    if (r.texts.code())
        if (auto s = put(key_code, triple.value().code.get()); !s) return std::move(s.error());
    if (r.details)
        if (auto s = put(key_details, r.details.get()); !s) return std::move(s.error());
    return dict;
}

// The dict's own item lookup, holding a strong reference to what it finds:
// a borrowed entry could die as soon as any Python code runs (a key's __eq__
// during the next lookup). A missing key is an empty Ref.
Outcome<Ref> lookup(PyObject* dict, DictKey key) noexcept {
    auto k = dict_key(key);
    if (!k) return std::move(k.error());
    PyObject* found = PyDict_GetItemWithError(dict, k.value());
    if (found == nullptr) {
        if (PyErr_Occurred()) return Error::fetch();
        return Ref();
    }
    return Ref::borrow(found);
}

[[gnu::cold, gnu::noinline]] Error missing_key(const char* message) noexcept {
    return Error::create(PyExc_ValueError, message);
}

// A failed lookup while recognising a NumPy flag means "not NumPy", except
// when memory ran out: that is never taken for an answer.
Outcome<bool> not_numpy_unless_out_of_memory() noexcept {
    Error error = Error::fetch();
    if (error.matches(PyExc_MemoryError)) return error;
    return false;
}

// NumPy's boolean scalar, recognised without importing NumPy: a type whose
// __module__ is "numpy" and whose name is "bool_" or "bool".
Outcome<bool> is_numpy_bool(PyObject* obj) noexcept {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (!name) return not_numpy_unless_out_of_memory();
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0)
        return false;
    Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
    if (!module) return not_numpy_unless_out_of_memory();
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

Outcome<bool> ok_flag(PyObject* flag) noexcept {
    if (flag == Py_True) return true;
    if (flag == Py_False) return false;
    auto numpy_bool = is_numpy_bool(flag);
    if (!numpy_bool) return std::move(numpy_bool.error());
    if (!numpy_bool.value()) return cast_error(flag, "bool");
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(flag));
    Ref to_bool = Ref::steal(PyObject_GetAttrString(type, "__bool__"));
    if (!to_bool) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::fetch();
        PyErr_Clear();
        return Error::create(PyExc_TypeError,
                             Ref::steal(PyUnicode_FromFormat(
                                 "object of type '%S' does not define a '__bool__' conversion", type)));
    }
    auto result = call(to_bool.get(), flag);
    if (!result) return std::move(result.error());
    PyObject* b = result.value().get();
    if (b == Py_True) return true;
    if (b == Py_False) return false;
    return cast_error(b, "bool");
}

Outcome<Ref> from_dict(Dict d) noexcept {
    auto flag_entry = lookup(d.object, key_ok);
    if (!flag_entry) return std::move(flag_entry.error());
    if (!flag_entry.value()) return missing_key("Missing 'ok' key in dict");
    auto flag = ok_flag(flag_entry.value().get());
    if (!flag) return std::move(flag.error());

    if (flag.value()) {
        auto value = lookup(d.object, key_value);
        if (!value) return std::move(value.error());
        if (!value.value()) return missing_key("Missing 'value' key for Ok result");
        return new_ok(value.take());
    }

    auto message_entry = lookup(d.object, key_error);
    if (!message_entry) return std::move(message_entry.error());
    if (!message_entry.value()) return missing_key("Missing 'error' key for Err result");
    Ref message_obj = message_entry.take();
    auto message = text_of(message_obj.get());
    if (!message) return std::move(message.error());

    auto code_entry = lookup(d.object, key_code);
    if (!code_entry) return std::move(code_entry.error());
    Ref code_obj = code_entry.take();
    std::optional<std::string_view> code;
    if (code_obj) {
        // A code that is not usable text is simply left out; running out of
        // memory while reading it is an error, not a missing code.
        if (auto text = text_of(code_obj.get()))
            code = text.value().view();
        else if (text.error().matches(PyExc_MemoryError))
            return std::move(text.error());
    }

    auto details = lookup(d.object, key_details);
    if (!details) return std::move(details.error());

    auto texts = ErrorTexts::make(message.value().view(), code);
    if (!texts) return std::move(texts.error());
    return make_instance(PyResult::err(texts.take(), details.take()));
}

// ---------------------------------------------------------------------------
// Binding descriptions, in method-table order

Signature<1> ok_sig{"Result", "ok", {"value"}, 1};
Signature<3> err_sig{"Result", "err", {"message", "code", "details"}, 1};
Signature<1> from_dict_sig{"Result", "from_dict", {"dict"}, 1};
Signature<1> expect_sig{"Result", "expect", {"message"}, 1};
Signature<1> unwrap_or_sig{"Result", "unwrap_or", {"default"}, 1};
Signature<2> match_sig{"Result", "match", {"ok", "err"}, 0};
Signature<1> map_sig{"Result", "map", {"func"}, 1};
Signature<1> map_err_sig{"Result", "map_err", {"func"}, 1};
Signature<1> flat_map_sig{"Result", "flat_map", {"func"}, 1};
Signature<1> and_then_sig{"Result", "and_then", {"func"}, 1};
Signature<1> class_getitem_sig{"Result", "__class_getitem__", {"_item"}, 1};

// ---------------------------------------------------------------------------
// Method table, slots and type specification

PyMethodDef result_methods[] = {
    {"ok", as_cfunction(static_method<ok_sig, ok>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "ok(value)\n--\n\nConstructeur Ok"},
    {"err", as_cfunction(static_method<err_sig, err>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "err(message, code=None, details=None)\n--\n\nConstructeur Err avec message, code optionnel, details optionnel"},
    {"from_dict", as_cfunction(static_method<from_dict_sig, from_dict>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_dict(dict)\n--\n\nfrom_dict(d) : construit un Result depuis un dict (inverse de to_dict)"},
    {"is_ok", as_cfunction(method_noargs<is_ok>), METH_NOARGS, "is_ok($self)\n--\n\nTrue si Ok"},
    {"is_err", as_cfunction(method_noargs<is_err>), METH_NOARGS, "is_err($self)\n--\n\nTrue si Err"},
    {"unwrap", as_cfunction(method_noargs<unwrap>), METH_NOARGS,
     "unwrap($self)\n--\n\nUnwrap value ou ValueError si Err"},
    {"expect", as_cfunction(method<expect_sig, expect>), METH_FASTCALL | METH_KEYWORDS,
     "expect($self, message)\n--\n\nexpect(message) : comme unwrap mais avec message personnalisé"},
    {"unwrap_or", as_cfunction(method<unwrap_or_sig, unwrap_or>), METH_FASTCALL | METH_KEYWORDS,
     "unwrap_or($self, default)\n--\n\nunwrap_or(default) renvoie value ou default si Err"},
    {"unwrap_err", as_cfunction(method_noargs<unwrap_err>), METH_NOARGS,
     "unwrap_err($self)\n--\n\nunwrap_err() retourne (msg, code, details) ou ValueError si Ok"},
    {"to_option", as_cfunction(method_noargs<to_option>), METH_NOARGS,
     "to_option($self)\n--\n\nto_option() : retourne la valeur ou None"},
    {"match", as_cfunction(method<match_sig, match>), METH_FASTCALL | METH_KEYWORDS,
     "match($self, ok=None, err=None)\n--\n\nmatch(ok=..., err=...) : pattern matching ergonomique"},
    {"map", as_cfunction(method<map_sig, map>), METH_FASTCALL | METH_KEYWORDS,
     "map($self, func)\n--\n\nmap(fn) : applique fn à Ok, laisse Err intact"},
    {"map_err", as_cfunction(method<map_err_sig, map_err>), METH_FASTCALL | METH_KEYWORDS,
     "map_err($self, func)\n--\n\nmap_err(fn) : applique fn à Err, laisse Ok intact\n"
     "fn reçoit (msg, code, details) et doit retourner (msg, code, details)"},
    {"flat_map", as_cfunction(method<flat_map_sig, bind>), METH_FASTCALL | METH_KEYWORDS,
     "flat_map($self, func)\n--\n\nflat_map(fn) : applique fn à Ok et attend un Result en retour"},
    {"and_then", as_cfunction(method<and_then_sig, bind>), METH_FASTCALL | METH_KEYWORDS,
     "and_then($self, func)\n--\n\nand_then : alias de flat_map"},
    {"to_dict", as_cfunction(method_noargs<to_dict>), METH_NOARGS,
     "to_dict($self)\n--\n\nto_dict() : sérialisation en dict Python\n"
     "Ok  -> {\"ok\": true, \"value\": ...}\n"
     "Err -> {\"ok\": false, \"error\": msg, \"code\": ..., \"details\": ...}"},
    {"__class_getitem__", as_cfunction(class_method<class_getitem_sig, container::class_getitem>),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "__class_getitem__($cls, _item)\n--\n\nSupport pour Result[T, E] (typage générique)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>("Result monad: Ok(value) | Err(message, code?, details?)")},
    {Py_nb_bool, as_slot(bool_slot<container::truth<PyResult>>)},
    {Py_tp_repr, as_slot(object_slot<repr>)},
    {Py_mp_length, as_slot(length_slot<container::length<PyResult>>)},
    {Py_tp_iter, as_slot(object_slot<container::iterate<PyResult>>)},
    {Py_nb_rshift, as_slot(binary_slot<bind>)},
    {Py_nb_or, as_slot(binary_slot<container::or_operator<PyResult>>)},
    {Py_tp_methods, result_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_slot<PyResult>)},
    {0, nullptr},
};

// No Py_tp_new, hence DISALLOW_INSTANTIATION: instances come only from the
// static constructors and the operations.
PyType_Spec result_spec = {
    .name = "builtins.Result",
    .basicsize = static_cast<int>(sizeof(Instance<PyResult>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = result_slots,
};

}  // namespace

TypeHolder ClassOf<PyResult>::holder = {nullptr, &result_spec, "Result", nullptr};

}  // namespace tarnwick
