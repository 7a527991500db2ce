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
// - free_list<Record> (lifecycle.hpp): blocks of released instances, GIL
//   builds only; read and written only with the interpreter lock held (a
//   fork() happens with it held too, so the child gets a consistent list).
//   The blocks stay reachable until the process ends.
// - block_cache (error_texts.cpp): released Err text blocks of the small
//   size, GIL builds only, under the same rule as free_list.
// - the Nothing repr (maybe_class.cpp): an interned str, as above.
// - the tuple type's iter slot (shared_bodies.hpp): a function-local static,
//   initialised once by the language's thread-safe static initialisation.
// - the deallocation state (below): per thread, so nothing is shared; and
//   queued_instances, the number of instances queued on all threads' lists,
//   changed atomically by the thread that queues or drains (a forked child
//   may inherit a count from threads it does not have: deallocation then
//   only takes its slower path).
// Nothing else is process-wide: no other global is written after start-up.
#pragma once

#include "../python.hpp"

#include <atomic>
#include <cstddef>

namespace tarnwick {

extern std::atomic<PyObject*> internal_error_type;
extern std::atomic<std::size_t> queued_instances;

// Bounded deallocation (lifecycle.cpp): the nesting depth, the queue of
// instances whose release was deferred, and the drain in progress. Per
// thread, as CPython's own trashcan state is: whatever a thread drops is
// released on that thread before its outermost deallocation returns, one
// thread's waiting finaliser never holds up another's, and a child made by
// fork() starts from the forking thread's own state (the state of threads
// that do not exist in the child is not inherited as a stuck depth).
struct DeallocState {
    int depth = 0;
    bool draining = false;
    PyObject* deferred_head = nullptr;
    PyObject* being_drained = nullptr;
};

// The calling thread's deallocation state (defined in lifecycle.cpp, its only
// user, so that access stays a plain thread-local read).

}  // namespace tarnwick
