#include "call.hpp"

namespace tarnwick {

Outcome<Ref> call_vector(PyObject* callable, PyObject** argv, std::size_t nargs) noexcept {
    PyObject* result = PyObject_Vectorcall(callable, argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result == nullptr) return Error::fetch();
    return Ref::steal(result);
}

}  // namespace tarnwick
