// Instance layout and the "is this an instance of the class" checks.
#pragma once

#include "messages.hpp"
#include "type_holder.hpp"

#include <atomic>
#include <cstdint>

namespace tarnwick {

// Counts the shared accesses to a record (see access.hpp). Changed only
// atomically: callables run by a body may let other threads in.
using BorrowFlag = std::atomic<std::uintptr_t>;
static_assert(sizeof(BorrowFlag) == sizeof(void*) && BorrowFlag::is_always_lock_free);
// The flag's top bit marks an instance the cyclic collector tracks, set when
// the instance is built (collector.hpp); the count below it never gets near.
inline constexpr std::uintptr_t tracked_mark = ~(~std::uintptr_t{0} >> 1);

// Instance layout: object header, native record, borrow flag.
template <class Record>
struct Instance {
    PyObject_HEAD
    Record record;
    BorrowFlag borrow;
};

template <class Record>
[[nodiscard]] inline Instance<Record>* as_instance(PyObject* obj) noexcept {
    return reinterpret_cast<Instance<Record>*>(obj);
}

// obj's type is the class or a subtype of it.
[[nodiscard]] inline bool is_instance(PyObject* obj, PyTypeObject* type) noexcept {
    PyTypeObject* actual = Py_TYPE(obj);
    return actual == type || PyType_IsSubtype(actual, type);
}

// obj as an instance of Record's class, or the cast error. Used for
// receivers and for instances a user callable returns (flat_map, >>).
template <class Record>
[[nodiscard]] inline Outcome<Instance<Record>*> checked_instance(PyObject* obj) noexcept {
    auto type = ClassOf<Record>::holder.get_or_internal_failure();
    if (!type) [[unlikely]]
        return std::move(type.error());
    if (!is_instance(obj, type.value())) [[unlikely]]
        return cast_error(obj, ClassOf<Record>::holder.class_name);
    return as_instance<Record>(obj);
}

}  // namespace tarnwick
