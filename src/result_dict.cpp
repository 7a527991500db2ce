// The dict form of a Result: {"ok": True, "value": v} or {"ok": False,
// "error": message} with "code" and "details" when present.
#include "result_class.hpp"

namespace tarnwick::result {

namespace {

// The dict form's keys as interned str, made on first use in each
// interpreter.
const Name key_ok{"ok"};
const Name key_value{"value"};
const Name key_error{"error"};
const Name key_code{"code"};
const Name key_details{"details"};

Status set_item(Ctx ctx, PyObject* dict, const Name& key, PyObject* value) noexcept {
    Ref spare;
    PyObject* k = ctx.name(key, spare);
    if (k == nullptr) [[unlikely]]
        return Error::fetch();
    if (PyDict_SetItem(dict, k, value) < 0) return Error::fetch();
    return Done{};
}

// The dict's own item lookup, holding a strong reference to what it finds:
// a borrowed entry could die as soon as any Python code runs (a key's __eq__
// during the next lookup). A missing key is an empty Ref.
Outcome<Ref> lookup(Ctx ctx, PyObject* dict, const Name& key) noexcept {
    Ref spare;
    PyObject* k = ctx.name(key, spare);
    if (k == nullptr) [[unlikely]]
        return Error::fetch();
    PyObject* found = nullptr;
    const int status = py::dict_get_ref(dict, k, &found);
    if (status < 0) return Error::fetch();
    return Ref::steal(found);  // empty when missing
}

TARNWICK_COLD Error missing_key(const char* message) noexcept {
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
        return format_error(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion", type);
    }
    auto result = call(to_bool.get(), flag);
    if (!result) return std::move(result.error());
    PyObject* b = result.value().get();
    if (b == Py_True) return true;
    if (b == Py_False) return false;
    return cast_error(b, "bool");
}

}  // namespace

Outcome<Ref> to_dict(const PyResult& r, Ctx ctx) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Error::fetch();
    auto put = [&](const Name& key, PyObject* value) { return set_item(ctx, dict.get(), key, value); };
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

Outcome<Ref> from_dict(Ctx ctx, Dict d) noexcept {
    auto lookup = [&](const Name& key) { return result::lookup(ctx, d.object.get(), key); };
    auto flag_entry = lookup(key_ok);
    if (!flag_entry) return std::move(flag_entry.error());
    if (!flag_entry.value()) return missing_key("Missing 'ok' key in dict");
    auto flag = ok_flag(flag_entry.value().get());
    if (!flag) return std::move(flag.error());

    if (flag.value()) {
        auto value = lookup(key_value);
        if (!value) return std::move(value.error());
        if (!value.value()) return missing_key("Missing 'value' key for Ok result");
        return new_ok(ctx, value.take());
    }

    auto message_entry = lookup(key_error);
    if (!message_entry) return std::move(message_entry.error());
    if (!message_entry.value()) return missing_key("Missing 'error' key for Err result");
    Ref message_obj = message_entry.take();
    auto message = text_of(message_obj.get());
    if (!message) return std::move(message.error());

    auto code_entry = lookup(key_code);
    if (!code_entry) return std::move(code_entry.error());
    Ref code_obj = code_entry.take();
    std::optional<TextView> code;
    if (code_obj) {
        // A code that is not usable text is simply left out; running out of
        // memory while reading it is an error, not a missing code.
        if (auto text = text_of(code_obj.get()))
            code = text.value();
        else if (text.error().matches(PyExc_MemoryError))
            return std::move(text.error());
    }

    auto details = lookup(key_details);
    if (!details) return std::move(details.error());

    auto texts = ErrorTexts::make(message.value(), code, ctx.text_blocks());
    if (!texts) return std::move(texts.error());
    return make_instance(ctx, PyResult::err(texts.take(), details.take()));
}

}  // namespace tarnwick::result
