#include "state.hpp"

namespace tarnwick {

std::atomic<PyObject*> internal_error_type{nullptr};
std::atomic<std::size_t> queued_instances{0};

}  // namespace tarnwick
