// State that is not per instance. Every global of the module, who writes it,
// when, and what makes reading it safe:
//
// - ClassOf<PyResult>::holder, ClassOf<MayBe>::holder (result_class.cpp,
//   maybe_class.cpp): the type objects and their allocation and free slots.
//   Written once, by the first module execution (or the first use after a
//   failed creation), published by compare-and-swap; read with acquire loads;
//   never cleared.
// - internal_error_type (error.cpp): the internal-failure exception type.
//   Made on first need, published by compare-and-swap, never cleared.
// - Signature::interned (each binding description) and the dict-form keys
//   (result_class.cpp): interned str, filled on first use by
//   compare-and-swap (strings.hpp), never cleared.
// - the owning interpreter (module.cpp): set by the first module execution,
//   under the import lock; read only by later module executions.
// - the deallocation state (below): see DeallocState.
#pragma once

#include "../python.hpp"

#include <atomic>

namespace tarnwick {

extern std::atomic<PyObject*> internal_error_type;

// Bounded deallocation (lifecycle.cpp): the nesting depth, the queue of
// instances whose release was deferred, and the drain in progress. Touched
// only with the interpreter lock held, in the one interpreter allowed.
struct DeallocState {
    int depth = 0;
    bool draining = false;
    PyObject* deferred_head = nullptr;
    PyObject* being_drained = nullptr;
};

[[nodiscard]] DeallocState& dealloc_state() noexcept;

}  // namespace tarnwick
