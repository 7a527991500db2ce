// Instance allocation, and deallocation that stays bounded on deep chains.
#pragma once

#include "instance.hpp"

#include <memory>
#include <new>

namespace tarnwick {

// A new, uninitialised instance of type: its record area is zeroed.
[[nodiscard]] Outcome<Ref> allocate_raw(PyTypeObject* type) noexcept;

// The allocation slot of a class whose instances only the module makes: any
// other way to make one (object.__new__ after the class's __new__ was
// replaced) fails as the class itself does, instead of yielding an instance
// with an empty record.
PyObject* refused_allocation(PyTypeObject* type, Py_ssize_t) noexcept;

// A new instance of type holding record. On failure the record is released.
template <class Record>
[[nodiscard]] inline Outcome<Ref> make_instance(PyTypeObject* type, Record&& record) noexcept {
    auto obj = allocate_raw(type);
    if (!obj) return std::move(obj.error());
    auto* inst = as_instance<Record>(obj.value().get());
    new (&inst->record) Record(std::move(record));
    new (&inst->borrow) BorrowFlag(0);
    return obj;
}

template <class Record>
[[nodiscard]] inline Outcome<Ref> make_instance(Record&& record) noexcept {
    auto type = ClassOf<Record>::holder.get_or_internal_failure();
    if (!type) return std::move(type.error());
    return make_instance(type.value(), std::move(record));
}

// Deallocation of an instance whose last reference is gone. release_record
// gives up the record's references and texts; free is the type's free slot
// when known, else null. may_nest tells whether releasing the record may
// free other objects (it holds a last reference), and so possibly deallocate
// further instances from inside this one: only then is the nesting depth
// counted. Past a depth limit, instances are queued and released by the
// outermost deallocation instead of recursing.
using ReleaseFn = void (*)(PyObject*) noexcept;
void deallocate(PyObject* obj, BorrowFlag& link, ReleaseFn release_record, freefunc free, bool may_nest) noexcept;

// True when releasing obj's reference frees it.
[[nodiscard]] inline bool last_reference(PyObject* obj) noexcept { return obj != nullptr && Py_REFCNT(obj) == 1; }

template <class Record>
void deallocate_instance(PyObject* self) noexcept {
    const TypeHolder& holder = ClassOf<Record>::holder;
    auto* inst = as_instance<Record>(self);
    freefunc free = reinterpret_cast<PyObject*>(Py_TYPE(self)) == holder.type.load(std::memory_order_relaxed)
                        ? holder.free.load(std::memory_order_relaxed)
                        : nullptr;
    deallocate(self, inst->borrow, [](PyObject* obj) noexcept { std::destroy_at(&as_instance<Record>(obj)->record); },
               free, inst->record.holds_last_reference());
}

}  // namespace tarnwick
