#include "state.hpp"

namespace tarnwick {

std::atomic<PyObject*> internal_error_type{nullptr};

namespace {
DeallocState process_dealloc_state;
}

DeallocState& dealloc_state() noexcept { return process_dealloc_state; }

}  // namespace tarnwick
