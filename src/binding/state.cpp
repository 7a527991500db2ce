#include "state.hpp"

namespace tarnwick {

std::atomic<std::size_t> queued_instances{0};

}  // namespace tarnwick
