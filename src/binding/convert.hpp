// Typed arguments: what a body's parameter types mean, and how a bound slot
// becomes one. A conversion that fails names its parameter (see dispatch.hpp).
#pragma once

#include "messages.hpp"


namespace tarnwick {

// A parameter that may be left out. Passing None counts as leaving it out:
// object is null in both cases.
struct Optional {
    PyObject* object = nullptr;
    explicit operator bool() const noexcept { return object != nullptr; }
};
// A callable the body calls (func of map, flat_map, ...; the right operand of
// >>). Not checked here: calling a non-callable raises the interpreter's
// TypeError. A body that takes one runs Python code (see dispatch.hpp).
struct Callable {
    PyObject* object = nullptr;
};
// An optional callable (match's handlers): None counts as left out.
struct Handler {
    PyObject* object = nullptr;
    explicit operator bool() const noexcept { return object != nullptr; }
};
// A text parameter (str or subclass), viewed as UTF-8.
struct Text : TextView {};
// A text parameter where None or omission means absent.
struct OptionalText {
    bool present = false;
    TextView text;
};
// A dict (or dict subclass) parameter, held for the whole call: a body
// looks it up again after running Python code (a key's __eq__, a flag's
// __bool__), and a caller may lend the argument without a reference of its
// own (functools.partial lends its stored arguments, which that code can
// replace).
struct Dict {
    Ref object;
};

// The text argument rule: str or subclass, strict UTF-8; cast error otherwise.
[[nodiscard]] Outcome<TextView> text_of(PyObject* obj) noexcept;
// A new str from UTF-8 text.
[[nodiscard]] Outcome<Ref> new_str(TextView text) noexcept;

template <class T>
struct Convert;
template <>
struct Convert<PyObject*> {
    static Outcome<PyObject*> from(PyObject* slot) noexcept { return slot; }
};
template <>
struct Convert<Optional> {
    static Outcome<Optional> from(PyObject* slot) noexcept { return Optional{slot != Py_None ? slot : nullptr}; }
};
template <>
struct Convert<Callable> {
    static Outcome<Callable> from(PyObject* slot) noexcept { return Callable{slot}; }
};
template <>
struct Convert<Handler> {
    static Outcome<Handler> from(PyObject* slot) noexcept { return Handler{slot != Py_None ? slot : nullptr}; }
};
template <>
struct Convert<Text> {
    static Outcome<Text> from(PyObject* slot) noexcept {
        auto text = text_of(slot);
        if (!text) return std::move(text.error());
        return Text{text.value()};
    }
};
template <>
struct Convert<OptionalText> {
    static Outcome<OptionalText> from(PyObject* slot) noexcept {
        if (slot == nullptr || slot == Py_None) return OptionalText{};
        auto text = text_of(slot);
        if (!text) return std::move(text.error());
        return OptionalText{true, text.value()};
    }
};
template <>
struct Convert<Dict> {
    static Outcome<Dict> from(PyObject* slot) noexcept {
        if (!PyDict_Check(slot)) return cast_error(slot, "dict");
        return Dict{Ref::borrow(slot)};
    }
};

}  // namespace tarnwick
