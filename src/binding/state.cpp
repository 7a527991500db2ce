#include "state.hpp"

namespace tarnwick {

std::atomic<PyObject*> internal_error_type{nullptr};

}  // namespace tarnwick
