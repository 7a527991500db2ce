// Calling user callables: positional arguments only, through vectorcall.
#pragma once

#include "error.hpp"

#include <cstddef>

namespace tarnwick {

// argv points one past a writable slot (PY_VECTORCALL_ARGUMENTS_OFFSET).
[[nodiscard]] Outcome<Ref> call_vector(PyObject* callable, PyObject** argv, std::size_t nargs) noexcept;

template <class... Args>
[[nodiscard]] inline Outcome<Ref> call(PyObject* callable, Args*... args) noexcept {
    PyObject* argv[] = {nullptr, args...};
    return call_vector(callable, argv + 1, sizeof...(Args));
}

}  // namespace tarnwick
