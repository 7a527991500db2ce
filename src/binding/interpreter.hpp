// The state tarnwick keeps for each interpreter: its two classes, their free
// lists, the Err text-block cache, the internal-failure type and the interned
// names. Nothing of one interpreter is ever used by another: each has its own
// objects and its own allocator, and may run in parallel with the others.
//
// Where a state is found:
// - from a class (every entry has one: the receiver's class, the class a
//   static method is bound to, the class a constructor is called on): the
//   main interpreter's classes are compared with main_state's, and any other
//   class is looked up in the class table (below), both without a call; a
//   class the table has no room for leads to its state through the module it
//   was made with (PyType_GetModuleState).
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

static_assert(alignof(InterpState) > 1, "the class table keeps a class's index in the low bit of its state's address");

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

// The classes of interpreters other than the main one, and their states,
// found from the class without a call: a process-wide table, open-addressed
// by the class's address. A state enters its classes when it makes them and
// withdraws them before it lets go of them, so an entry names a class that is
// alive and the state that holds it. A reader looks up a class it holds (an
// instance's, or one an entry was called on) of its own interpreter: only
// that interpreter withdraws it, which it cannot do in the middle of the
// reader's entry, and no other interpreter can write an entry for an address
// that a live class has. A class that finds no room (more classes than the
// table keeps near its slot) is found through its module instead.
struct ClassSlot {
    std::atomic<PyTypeObject*> cls{nullptr};
    // The state's address with the class's index in the low bit; zero while
    // the slot is free, or being filled or emptied.
    std::atomic<std::uintptr_t> tagged_state{0};

    // Frees the slot: the class goes first, so that no reader finds it with
    // a state word already cleared for the next owner.
    void clear() noexcept {
        cls.store(nullptr, std::memory_order_release);
        tagged_state.store(0, std::memory_order_release);
    }
};
inline constexpr std::size_t class_table_size = 512;  // a power of two
inline constexpr std::size_t class_table_probes = 8;
extern ClassSlot class_table[class_table_size];

// A class's home slot: bits of its address above the allocator's alignment
// (classes are large objects, far enough apart to differ there).
inline constexpr unsigned class_slot_shift = 6;
[[nodiscard]] TARNWICK_ALWAYS_INLINE std::size_t class_slot_of(PyTypeObject* cls) noexcept {
    return (reinterpret_cast<std::uintptr_t>(cls) >> class_slot_shift) & (class_table_size - 1);
}
// The slot probe steps past a class's home slot (0: the home slot).
[[nodiscard]] TARNWICK_ALWAYS_INLINE ClassSlot& class_slot(PyTypeObject* cls, std::size_t probe) noexcept {
    return class_table[(class_slot_of(cls) + probe) & (class_table_size - 1)];
}
// The tagged state of cls from the table (0: not there).
[[nodiscard]] TARNWICK_NOINLINE std::uintptr_t probe_class_table(PyTypeObject* cls) noexcept;
[[nodiscard]] TARNWICK_ALWAYS_INLINE std::uintptr_t tagged_state_of(PyTypeObject* cls) noexcept {
    const ClassSlot& slot = class_slot(cls, 0);
    if (slot.cls.load(std::memory_order_acquire) == cls) [[likely]]
        return slot.tagged_state.load(std::memory_order_relaxed);
    return probe_class_table(cls);
}

// The state of cls if it is the Index'th class of a state in the table, or
// null (look further: it may still be such a class, or not be one). The tag
// is taken off by xor: a tag of another index leaves the low bit set.
template <int Index>
[[nodiscard]] TARNWICK_ALWAYS_INLINE InterpState* table_state(PyTypeObject* cls) noexcept {
    const std::uintptr_t untagged = tagged_state_of(cls) ^ static_cast<std::uintptr_t>(Index);
    if (untagged & 1) [[unlikely]]
        return nullptr;
    return reinterpret_cast<InterpState*>(untagged);
}
// The same for a class of either kind.
[[nodiscard]] TARNWICK_ALWAYS_INLINE InterpState* table_state_any(PyTypeObject* cls) noexcept {
    return reinterpret_cast<InterpState*>(tagged_state_of(cls) & ~std::uintptr_t{1});
}

// Enters the Index'th class of state (not the main state) in the table, if
// there is room; withdraws a class (no effect for one that is not there).
void enter_class(PyTypeObject* cls, InterpState* state, int index) noexcept;
void withdraw_class(PyTypeObject* cls) noexcept;

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
