// Process-wide holder of one class's type object: empty until the type is
// first needed, then the same type object for the rest of the process.
#pragma once

#include "error.hpp"

#include <atomic>

namespace tarnwick {

struct TypeHolder {
    std::atomic<PyObject*> type;
    PyType_Spec* spec;
    const char* class_name;
    // The type's free slot, looked up once when the type is made. Null until
    // then (and for the loser of a creation race): users look it up themselves.
    std::atomic<freefunc> free;

    // The type object once created, else null. Acquire pairs with the
    // publishing compare-and-swap, so the type is seen complete.
    [[nodiscard]] PyTypeObject* created() const noexcept {
        return reinterpret_cast<PyTypeObject*>(type.load(std::memory_order_acquire));
    }
    // The type object, creating it if needed; fails with the creation error.
    [[nodiscard]] Outcome<PyObject*> get_or_create() noexcept;
    // For allocation and receiver checks, which have no way to report a
    // creation error of their own: the creation error is written as
    // unraisable and the operation fails as an internal failure.
    [[nodiscard]] Outcome<PyTypeObject*> get_or_internal_failure() noexcept {
        if (PyTypeObject* t = created()) [[likely]]
            return t;
        return create_or_internal_failure();
    }

private:
    [[nodiscard]] TARNWICK_COLD Outcome<PyTypeObject*> create_or_internal_failure() noexcept;
};

// Specialised by each class: the holder of its type object.
template <class Record>
struct ClassOf;

}  // namespace tarnwick
