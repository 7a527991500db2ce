// Interned str objects the module keeps for the life of the process
// (parameter names, dict keys): made on first use, never released.
#pragma once

#include "error.hpp"

#include <atomic>

namespace tarnwick {

// One cached interned str. Threads may race to fill it (free-threaded
// builds): the first compare-and-swap wins and a loser drops its own copy;
// the acquire load pairs with that release, so a reader sees a complete str.
using StrSlot = std::atomic<PyObject*>;

// The cached str, or null with the error set when making it failed.
[[nodiscard]] TARNWICK_COLD PyObject* intern_into(StrSlot& slot, const char* text) noexcept;

[[nodiscard]] inline PyObject* cached_str(StrSlot& slot, const char* text) noexcept {
    PyObject* s = slot.load(std::memory_order_acquire);
    if (s != nullptr) [[likely]]
        return s;
    return intern_into(slot, text);
}

}  // namespace tarnwick
