// Instance layout, each class's description, and the "is this an instance of
// the class" checks.
#pragma once

#include "interpreter.hpp"
#include "messages.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarnwick {

// Counts the shared accesses to a record (see access.hpp). Changed only
// atomically: callables run by a body may let other threads in.
using BorrowFlag = std::atomic<std::uintptr_t>;
static_assert(sizeof(BorrowFlag) == sizeof(void*) && BorrowFlag::is_always_lock_free);
// The flag's top bit marks an instance the cyclic collector tracks, set when
// the instance is built (collector.hpp); the count below it never gets near.
inline constexpr std::uintptr_t tracked_mark = ~(~std::uintptr_t{0} >> 1);

// Instance layout: object header, borrow flag, native record. The flag comes
// first so that it sits at the same place in every class (instance_is_gc in
// collector.hpp reads it without knowing the class).
template <class Record>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    Record record;
};

template <class Record>
[[nodiscard]] inline Instance<Record>* as_instance(PyObject* obj) noexcept {
    return reinterpret_cast<Instance<Record>*>(obj);
}

// Specialised by each class (result_class.hpp, maybe_class.hpp):
//   static constexpr int index;          its place in an interpreter's state
//   static constexpr const char* name;   "Result"
//   static PyType_Spec& spec;            made into one class per interpreter
template <class Record>
struct ClassOf;

// The calling interpreter's class of Record, as its main-interpreter fast
// path sees it (null elsewhere).
template <class Record>
[[nodiscard]] TARNWICK_ALWAYS_INLINE PyTypeObject* main_class() noexcept {
    return main_state.classes[ClassOf<Record>::index].load(std::memory_order_relaxed);
}

// obj as an instance of cls (the entry's own class), or the cast error. For
// instances a user callable returns (flat_map, >>): an instance of the same
// class in the same interpreter. Neither class can be subclassed.
template <class Record>
[[nodiscard]] inline Outcome<Instance<Record>*> checked_instance(PyObject* obj, PyTypeObject* cls) noexcept {
    if (Py_TYPE(obj) != cls) [[unlikely]]
        return cast_error(obj, ClassOf<Record>::name);
    return as_instance<Record>(obj);
}

}  // namespace tarnwick
