// State that is not per instance. Every global of the module, who writes it,
// when, and what makes reading it safe:
//
// Per interpreter (interpreter.hpp): the two classes and their free slots,
// the free lists of instance memory, the Err text-block cache, the
// internal-failure type and the interned names (parameter names, dict keys,
// the Nothing repr) live in that interpreter's InterpState. It is owned by
// the module object that made the classes and released by that module's
// free function, while the interpreter still runs; a state is found from a
// class (the main interpreter's by comparison with main_state, any other
// through the class table or the class's module) or, where no class is at
// hand, through a capsule in the interpreter's dict. Within one interpreter:
//   - classes, class_free, internal_error_type, names: filled once (at import,
//     or on first need by compare-and-swap), read with atomic loads;
//   - free lists and text-block cache: GIL builds only, used with that
//     interpreter's lock held (a fork() happens with it held too); off in
//     free-threaded builds.
// Process-wide:
// - main_state (interpreter.cpp): the main interpreter's InterpState, a
//   global so that the main interpreter's classes are found without a call.
//   Written only by the main interpreter; other interpreters only compare
//   their classes with its class pointers (atomic loads), which never match
//   theirs. Emptied by its owner module's free function, and forgotten
//   without being touched by a Py_AtExit function after the runtime is
//   finalised, so that a new runtime starts clean.
// - class_table (interpreter.cpp): the classes of interpreters other than
//   the main one and their states. A slot is claimed by compare-and-swap on
//   its state word and published by a release store of its class; only the
//   interpreter that entered a class withdraws it, before letting go of it,
//   so a reader that finds its own live class finds that class's state.
// - abandoned_instances, abandoned_texts (interpreter.cpp): blocks a finished
//   runtime left in the main state, kept (never used) because their
//   allocator is gone; written only by the Py_AtExit function, after the
//   runtime has ended.
// - forget_registered (interpreter.cpp): whether that Py_AtExit function is
//   registered for the current runtime; atomic.
// - internal_types_made (error.cpp): whether any interpreter ever made its
//   internal-failure type, so that fetching an exception looks it up only
//   then; atomic, set once.
// - names_handed_out (strings.cpp): indexes of the interned-name tables,
//   written by static initialisers before any interpreter can call in.
// - the tuple type's iter slot (shared_bodies.hpp): a C function of the
//   interpreter library, the same in every interpreter and runtime; a
//   function-local static initialised once, thread-safely.
// - the static methods' bound definitions (the classes' tables): constant
//   once the library is loaded.
// - the deallocation state (below): per thread and, within a thread, per
//   interpreter; and queued_instances, the number of instances queued on all
//   threads' lists, changed atomically by the thread that queues or drains
//   (a forked child may inherit a count from threads it does not have:
//   deallocation then only takes its slower path).
// Nothing else is global: type specifications, method tables and messages
// are constant data.
#pragma once

#include "../python.hpp"

#include <atomic>
#include <cstddef>

namespace tarnwick {

extern std::atomic<std::size_t> queued_instances;

// Bounded deallocation (lifecycle.cpp): the nesting depth, the queue of
// instances whose release was deferred, and the drain in progress. Per
// thread, as CPython's own trashcan state is: whatever a thread drops is
// released on that thread before its outermost deallocation returns, one
// thread's waiting finaliser never holds up another's, and a child made by
// fork() starts from the forking thread's own state. Within a thread, per
// interpreter: a deallocation in another interpreter nested inside one in
// use (a finaliser that runs code in a sub-interpreter) gets a state of its
// own until it has drained, so that no interpreter's queue ever holds, or
// drains, another's instances.
struct DeallocState {
    int depth = 0;
    bool draining = false;
    PyObject* deferred_head = nullptr;
    PyObject* being_drained = nullptr;
    PyInterpreterState* interp = nullptr;  // whose instances it holds while in use

    [[nodiscard]] bool in_use() const noexcept { return depth > 0 || draining || deferred_head != nullptr; }
};

}  // namespace tarnwick
