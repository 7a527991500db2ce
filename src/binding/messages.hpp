// Every message the binding layer builds. Each is a small cold function, so
// the hot paths carry only a call.
#pragma once

#include "error.hpp"


namespace tarnwick {

struct SignatureView;

// A new str from a PyUnicode_FromFormat format; null with the error set.
[[nodiscard]] Ref format_text(const char* format, ...) noexcept;
// An exception of the given type whose message is format_text(format, ...).
[[nodiscard]] TARNWICK_COLD Error format_error(PyObject* type, const char* format, ...) noexcept;

// "'T' object is not an instance of 'C'" / "'None' is not an instance of 'C'".
[[nodiscard]] TARNWICK_COLD Error cast_error(PyObject* obj, const char* required) noexcept;
// "argument 'p': ..." for an exact TypeError, any other error unchanged.
[[nodiscard]] TARNWICK_COLD Error argument_error(const char* parameter, Error error) noexcept;
[[nodiscard]] TARNWICK_COLD Error value_error(TextView text) noexcept;
[[nodiscard]] TARNWICK_COLD Error value_error(const char* prefix, TextView text) noexcept;
[[nodiscard]] TARNWICK_COLD Error borrow_error() noexcept;

// The binding TypeErrors, named after the call ("Result.err()").
[[nodiscard]] TARNWICK_COLD Error too_many_error(const SignatureView& sig, Py_ssize_t given) noexcept;
[[nodiscard]] TARNWICK_COLD Error missing_error(const SignatureView& sig, PyObject* const* slots) noexcept;
[[nodiscard]] TARNWICK_COLD Error unexpected_keyword_error(const SignatureView& sig, PyObject* keyword) noexcept;
[[nodiscard]] TARNWICK_COLD Error multiple_values_error(const SignatureView& sig, Py_ssize_t index) noexcept;

}  // namespace tarnwick
