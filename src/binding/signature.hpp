// Binding descriptions and argument binding: positional arguments, then
// keywords, into one slot per parameter.
#pragma once

#include "error.hpp"
#include "strings.hpp"

#include <array>
#include <cstddef>

namespace tarnwick {

// Per function: class name, function name, parameter names, required count.
// Every parameter is positional-or-keyword; nothing takes *args or **kwargs.
struct SignatureView {
    const char* class_name;   // may be null
    const char* function_name;
    const char* const* names;
    StrSlot* interned;        // the names as interned str in the calling interpreter; null: unknown
    Py_ssize_t count;
    Py_ssize_t required;
};

template <std::size_t N>
struct Signature {
    const char* class_name;
    const char* function_name;
    std::array<const char*, N> names;
    Py_ssize_t required;
    // Where the interned copies of the names sit in each interpreter's table
    // of names, so that keywords usually match by pointer.
    int first_name = reserve_names(static_cast<int>(N));

    static constexpr std::size_t size = N;
    // table: the calling interpreter's names, or null.
    [[nodiscard]] SignatureView view(StrSlot* table) const noexcept {
        return {class_name, function_name, names.data(), table != nullptr ? table + first_name : nullptr,
                static_cast<Py_ssize_t>(N), required};
    }
};

// Binds fast-call arguments into slots (borrowed; null = left out).
[[nodiscard]] Status bind_keywords(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames, PyObject** slots) noexcept;
// Binds a positional tuple and an optional keyword dict into slots.
[[nodiscard]] Status bind_tuple(const SignatureView& sig, PyObject* args, PyObject* kwargs,
                                PyObject** slots) noexcept;

// names() gives the calling interpreter's table of names (or null); it is
// asked only when keywords are passed.
template <std::size_t N, class Names>
[[nodiscard]] inline Status bind_fast(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames, PyObject** slots, Names names) noexcept {
    // The common case, all arguments by position, stays inline.
    if (kwnames == nullptr && nargs <= static_cast<Py_ssize_t>(N) && nargs >= sig.required) {
        for (std::size_t i = 0; i < N; ++i) slots[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
        return Done{};
    }
    return bind_keywords(sig.view(names()), args, nargs, kwnames, slots);
}

// The same for a positional tuple and an optional keyword dict.
template <std::size_t N, class Names>
[[nodiscard]] inline Status bind_tuple(const Signature<N>& sig, PyObject* args, PyObject* kwargs, PyObject** slots,
                                       Names names) noexcept {
    if (kwargs == nullptr) {
        const Py_ssize_t nargs = PyTuple_Size(args);
        if (nargs <= static_cast<Py_ssize_t>(N) && nargs >= sig.required) {
            for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(N); ++i)
                slots[i] = i < nargs ? PyTuple_GetItem(args, i) : nullptr;
            return Done{};
        }
    }
    return bind_tuple(sig.view(names()), args, kwargs, slots);
}

}  // namespace tarnwick
