// The state tarnwick keeps for each interpreter: its two classes, their free
// lists, the Err text-block cache, the internal-failure type and the interned
// names. Nothing of one interpreter is ever used by another: each has its own
// objects and its own allocator, and may run in parallel with the others.
//
// Where a state is found:
// - from a class (every entry has one: the receiver's class, the class a
//   static method is bound to, the class a constructor is called on): the
//   main interpreter's classes are compared with main_state's, without a
//   call; any other class leads to its state through the module it was made
//   with (PyType_GetModuleState).
// - from the interpreter (import, and the rare paths that have no class):
//   a capsule in the interpreter's own dict (current_state()).
// Lifetime: the module object that made the classes owns the state (its
// module state points at it). The classes refer to that module, it refers to
// them through the state, and the collector reclaims the cycle when the
// interpreter ends (or when nothing refers to either any more); the module's
// free function then releases the state. The main interpreter's state is a
// global, so that its classes are found without a call; after the runtime is
// finalised it is forgotten (see module.cpp), and a new runtime starts clean.
#pragma once

#include "block_stack.hpp"
#include "strings.hpp"

#include <atomic>

namespace tarnwick {

inline constexpr int class_count = 2;  // Result, MayBe (ClassOf<Record>::index)

struct InterpState {
    std::atomic<PyTypeObject*> classes[class_count]{};
    std::atomic<freefunc> class_free[class_count]{};  // each class's free slot
    FreeList free_lists[class_count]{};
    TextBlockCache text_blocks{};
    std::atomic<PyObject*> internal_error_type{nullptr};
    StrSlot names[name_capacity]{};
    PyObject* owner = nullptr;  // the module object that owns this state; null: unused
};

// The main interpreter's state (interpreter.cpp).
extern InterpState main_state;

// What an entry knows of where it runs: its class and that class's state.
// state is null only for a class that has lost its module (the collector
// cleared the class while tearing down its interpreter): such an entry
// allocates and frees without the caches.
struct Ctx {
    PyTypeObject* cls;
    InterpState* state;

    [[nodiscard]] TextBlockCache* text_blocks() const noexcept {
        return state != nullptr ? &state->text_blocks : nullptr;
    }
    // The interned str of name in this interpreter (borrowed from the
    // state); null with the error set when making it failed. Without a state
    // it is made afresh and held by spare.
    [[nodiscard]] PyObject* name(const Name& n, Ref& spare) const noexcept {
        if (state != nullptr) [[likely]]
            return cached_str(state->names[n.index], n.text);
        spare = Ref::steal(PyUnicode_InternFromString(n.text));
        return spare.get();
    }
};

// The module state of the module object that made an interpreter's classes.
struct ModuleState {
    InterpState* interp;  // null in other module objects of the same interpreter
};

// The state of cls, one of this module's classes with the given index.
[[nodiscard]] InterpState* state_of_other(PyTypeObject* cls) noexcept;
template <int Index>
[[nodiscard]] TARNWICK_ALWAYS_INLINE InterpState* state_of(PyTypeObject* cls) noexcept {
    if (cls == main_state.classes[Index].load(std::memory_order_relaxed)) [[likely]]
        return &main_state;
    return state_of_other(cls);
}

// The calling interpreter's state, or null (no error set) when tarnwick was
// not imported there or its state has ended.
[[nodiscard]] InterpState* current_state() noexcept;

// Import: the calling interpreter's state. When it has none, one is started
// with this module as its owner, and make_classes fills in its classes.
using MakeClasses = Status (*)(PyObject* module, InterpState& state) noexcept;
[[nodiscard]] Outcome<InterpState*> state_for_import(PyObject* module, MakeClasses make_classes) noexcept;

// The owner module's collector support and release (module.cpp's slots).
int traverse_state(ModuleState* ms, visitproc visit, void* arg) noexcept;
void clear_state(ModuleState* ms) noexcept;
void end_state(ModuleState* ms) noexcept;

}  // namespace tarnwick
