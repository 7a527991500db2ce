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
#include <cstdint>

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

// The state of cls, one of this module's classes of another interpreter than
// the main one, through the module the class was made with.
[[nodiscard]] InterpState* state_of_other(PyTypeObject* cls) noexcept;

// Each thread remembers, per kind of class, the last class of another
// interpreter it found and that class's state, so that a sub-interpreter's
// entries skip the two lookups above. An entry is good while no interpreter
// state has let go of its classes since it was made (classes_dropped counts
// those): until then the state still holds the class, so neither can be gone
// and no other type can have taken the class's address.
struct ClassCacheEntry {
    PyTypeObject* cls = nullptr;
    InterpState* state = nullptr;
    std::uint64_t epoch = 0;
};
extern std::atomic<std::uint64_t> classes_dropped;
extern constinit thread_local ClassCacheEntry class_cache[class_count];

template <int Index>
[[nodiscard]] TARNWICK_ALWAYS_INLINE InterpState* cached_state(PyTypeObject* cls) noexcept {
    const ClassCacheEntry& entry = class_cache[Index];
    if (entry.cls == cls && entry.epoch == classes_dropped.load(std::memory_order_acquire)) [[likely]]
        return entry.state;
    return nullptr;
}
// The same for a class of either kind, with one access to the cache.
[[nodiscard]] TARNWICK_ALWAYS_INLINE InterpState* cached_state_any(PyTypeObject* cls) noexcept {
    const ClassCacheEntry* entries = class_cache;
    const auto epoch = classes_dropped.load(std::memory_order_acquire);
    for (int i = 0; i < class_count; ++i)
        if (entries[i].cls == cls && entries[i].epoch == epoch) return entries[i].state;
    return nullptr;
}
// Remembers cls and state, found after reading epoch, if the state holds cls.
template <int Index>
inline void remember_class(PyTypeObject* cls, InterpState* state, std::uint64_t epoch) noexcept {
    if (state != nullptr && state->classes[Index].load(std::memory_order_acquire) == cls)
        class_cache[Index] = {cls, state, epoch};
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
