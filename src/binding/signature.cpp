#include "signature.hpp"

#include "messages.hpp"

#include <cstring>

namespace tarnwick {

namespace {

// Index of the parameter a keyword names, or -1. Pointer comparison against
// the interned names first (keywords in source code are interned), then a
// byte comparison of the UTF-8 text. A keyword that is not valid UTF-8
// names no parameter.
Py_ssize_t find_parameter(const SignatureView& sig, PyObject* keyword) noexcept {
    for (Py_ssize_t i = 0; sig.interned != nullptr && i < sig.count; ++i) {
        PyObject* name = cached_str(sig.interned[i], sig.names[i]);
        if (name == nullptr) PyErr_Clear();  // the byte comparison still works
        if (name == keyword) return i;
    }
    if (!PyUnicode_Check(keyword)) return -1;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        const std::size_t length = std::strlen(sig.names[i]);
        if (length == static_cast<std::size_t>(size) && std::memcmp(text, sig.names[i], length) == 0) return i;
    }
    return -1;
}

Status bind_keyword(const SignatureView& sig, PyObject* keyword, PyObject* value, PyObject** slots) noexcept {
    const Py_ssize_t index = find_parameter(sig, keyword);
    if (index < 0) return unexpected_keyword_error(sig, keyword);
    if (slots[index] != nullptr) return multiple_values_error(sig, index);
    slots[index] = value;
    return Done{};
}

Status check_required(const SignatureView& sig, Py_ssize_t given, PyObject* const* slots) noexcept {
    for (Py_ssize_t i = given; i < sig.required; ++i)
        if (slots[i] == nullptr) return missing_error(sig, slots);
    return Done{};
}

}  // namespace

namespace {

// The common keyword call: the keywords are the interned parameter names,
// in parameter order, right after the positional arguments, and cover the
// required parameters (match(ok=f, err=g)). False when anything else is
// passed, or before the names were interned: the general binding decides.
bool bind_in_order(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Py_ssize_t nkw, PyObject** slots) noexcept {
    const Py_ssize_t given = nargs + nkw;
    if (sig.interned == nullptr || given > sig.count || given < sig.required) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyTuple_GetItem(kwnames, k) != sig.interned[nargs + k].load(std::memory_order_acquire)) return false;
    for (Py_ssize_t i = 0; i < sig.count; ++i) slots[i] = i < given ? args[i] : nullptr;
    return true;
}

}  // namespace

Status bind_keywords(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots) noexcept {
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    if (nkw > 0 && bind_in_order(sig, args, nargs, kwnames, nkw, slots)) [[likely]]
        return Done{};
    for (Py_ssize_t i = 0; i < sig.count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (nargs > sig.count) return too_many_error(sig, nargs);  // before any keyword is looked at
    if (kwnames != nullptr) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            auto bound = bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], slots);
            if (!bound) return bound;
        }
    }
    return check_required(sig, nargs, slots);
}

Status bind_tuple(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** slots) noexcept {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return Error::fetch();
    for (Py_ssize_t i = 0; i < sig.count; ++i) slots[i] = i < nargs ? PyTuple_GetItem(args, i) : nullptr;
    if (nargs > sig.count) return too_many_error(sig, nargs);  // before any keyword is looked at
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            auto bound = bind_keyword(sig, key, value, slots);
            if (!bound) return bound;
        }
    }
    return check_required(sig, nargs, slots);
}

}  // namespace tarnwick
