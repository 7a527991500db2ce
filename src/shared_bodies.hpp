// Bodies that Result and MayBe share. Both behave as a container of zero or
// one object (Result: the Ok payload; MayBe: the Just value): each record
// provides held(), that object or null.
#pragma once

#include "binding.hpp"

namespace tarnwick::shared {

template <class Record>
Outcome<bool> truth(const Record& record) noexcept {
    return record.held() != nullptr;
}

template <class Record>
Outcome<Py_ssize_t> length(const Record& record) noexcept {
    return Py_ssize_t{record.held() != nullptr};
}

// An iterator over a fresh one- or zero-element tuple: the interpreter's own
// tuple iterator, independent of the instance once made. The tuple type's
// iter slot is called directly (looked up once; a function-local static is
// initialised once, thread-safely).
template <class Record>
Outcome<Ref> iterate(const Record& record) noexcept {
    static const auto tuple_iter = reinterpret_cast<getiterfunc>(PyType_GetSlot(&PyTuple_Type, Py_tp_iter));
    PyObject* held = record.held();
    Ref tuple = Ref::steal(held != nullptr ? PyTuple_Pack(1, held) : PyTuple_New(0));
    if (!tuple) [[unlikely]]
        return Error::fetch();
    Ref iterator = Ref::steal(tuple_iter != nullptr ? tuple_iter(tuple.get()) : PyObject_GetIter(tuple.get()));
    if (!iterator) [[unlikely]]
        return Error::fetch();
    return iterator;
}

// The held object, or the fallback, each returned as it is (unwrap_or,
// or_else, and the | operator: a NotImplemented fallback is returned as
// itself, and the interpreter goes on with its operator protocol).
template <class Record>
Outcome<Ref> value_or(const Record& record, PyObject* fallback) noexcept {
    PyObject* held = record.held();
    return Ref::borrow(held != nullptr ? held : fallback);
}

template <class Record>
Outcome<Ref> to_option(const Record& record) noexcept {
    return value_or(record, Py_None);
}

// The held object, or ValueError with the caller's message.
template <class Record>
Outcome<Ref> expect(const Record& record, Text message) noexcept {
    if (PyObject* held = record.held()) return Ref::borrow(held);
    return value_error(message);
}

// Cls[...] evaluates to the class itself, not a generic alias.
inline Outcome<Ref> class_getitem(PyObject* cls, PyObject* /*item*/) noexcept { return Ref::borrow(cls); }

// prefix + text + ")", joined as UTF-8 (no format parsing). Out of line: the
// buffer's inline storage stays off the frame that recurses through str().
TARNWICK_NOINLINE inline Outcome<Ref> wrapped_text(TextView prefix, PyObject* text) noexcept {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) [[unlikely]]
        return Error::fetch();
    TextBuffer repr;
    return repr.append(prefix).append(TextView(utf8, size)).append(TextView(")", 1)).to_str();
}

// prefix + str(held) + ")", for the Ok(...) and Just(...) reprs. str() of
// the held object must encode as strict UTF-8: a lone surrogate raises. A
// nested instance's repr runs inside str(), so each level of a deep chain
// costs the stack this frame and the slot's: kept small, so the interpreter's
// recursion limit is met before a small thread stack runs out.
inline Outcome<Ref> wrapped_str(TextView prefix, PyObject* held) noexcept {
    Ref text = Ref::steal(PyObject_Str(held));
    if (!text) [[unlikely]]
        return Error::fetch();
    return wrapped_text(prefix, text.get());
}

}  // namespace tarnwick::shared
