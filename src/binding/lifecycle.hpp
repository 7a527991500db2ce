// Instance allocation, and deallocation that stays bounded on deep chains.
#pragma once

#include "collector.hpp"
#include "instance.hpp"
#include "state.hpp"

#include <memory>
#include <new>

namespace tarnwick {

// The memory of released instances of one class, kept for the next
// allocations of that class: most allocations and deallocations then skip
// the allocator. Bounded, and only in GIL builds, where the interpreter lock
// orders every use; a free-threaded build allocates every instance.
// A block keeps the next one in its first word after the object header.
struct FreeList {
    PyObject* head = nullptr;
    int size = 0;
    static constexpr int limit = TARNWICK_FREE_THREADED ? 0 : 100;

    [[nodiscard]] static PyObject*& next(PyObject* block) noexcept {
        return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(block) + sizeof(PyObject));
    }
    [[nodiscard]] PyObject* pop() noexcept {
        PyObject* block = head;
        head = next(block);
        --size;
        return block;
    }
    void push(PyObject* block) noexcept {
        next(block) = head;
        head = block;
        ++size;
    }
};
template <class Record>
constinit inline FreeList free_list{};

// The free list of Record's class when type is that class (its blocks have
// that class's size), else null.
template <class Record>
[[nodiscard]] inline FreeList* free_list_for(PyTypeObject* type) noexcept {
    if constexpr (FreeList::limit == 0) {
        return nullptr;
    } else {
        return reinterpret_cast<PyObject*>(type) == ClassOf<Record>::holder.type.load(std::memory_order_relaxed)
                   ? &free_list<Record>
                   : nullptr;
    }
}

// A new instance of type whose record is not yet built, not tracked by the
// collector.
[[nodiscard]] Outcome<Ref> allocate_raw(PyTypeObject* type) noexcept;

// The allocation slot of a class whose instances other code may make
// (object.__new__ once the class's __new__ was replaced): an untracked
// instance with an empty record, as make_instance leaves an instance whose
// record holds nothing. The generic allocator would track it, and
// deallocation untracks only instances whose borrow flag marks them tracked.
template <class Record>
PyObject* untracked_allocation(PyTypeObject* type, Py_ssize_t) noexcept {
    auto made = allocate_raw(type);
    if (!made) [[unlikely]] {
        std::move(made.error()).restore();
        return nullptr;
    }
    auto* inst = as_instance<Record>(made.value().get());
    new (&inst->record) Record();
    new (&inst->borrow) BorrowFlag(0);
    return made.value().release();
}

// The allocation slot of a class whose instances only the module makes: any
// other way to make one (object.__new__ after the class's __new__ was
// replaced) fails as the class itself does, instead of yielding an instance
// with an empty record.
PyObject* refused_allocation(PyTypeObject* type, Py_ssize_t) noexcept;

// A new instance of type holding record. On failure the record is released.
template <class Record>
[[nodiscard]] inline Outcome<Ref> make_instance(PyTypeObject* type, Record&& record) noexcept {
    Ref obj;
    FreeList* reuse = free_list_for<Record>(type);
    // An abstract class (__abstractmethods__ set) must refuse as object's
    // constructor does: allocate_raw() sees to that.
    if (reuse != nullptr && reuse->head != nullptr && !(PyType_GetFlags(type) & Py_TPFLAGS_IS_ABSTRACT)) [[likely]] {
        // As the generic allocator does: the type (a reference to it, since
        // it is a heap type) and a reference count of one. The block is not
        // tracked (deallocation untracked it).
        obj = Ref::steal(PyObject_Init(reuse->pop(), type));
    } else {
        auto made = allocate_raw(type);
        if (!made) return std::move(made.error());
        obj = made.take();
    }
    auto* inst = as_instance<Record>(obj.get());
    new (&inst->record) Record(std::move(record));
    track_if_cyclic(obj.get(), *inst);
    return obj;
}

template <class Record>
[[nodiscard]] inline Outcome<Ref> make_instance(Record&& record) noexcept {
    auto type = ClassOf<Record>::holder.get_or_internal_failure();
    if (!type) return std::move(type.error());
    return make_instance(type.value(), std::move(record));
}

// Deallocation of an instance whose last reference is gone. how.record
// gives up the record's references and texts; the memory goes to how.keep (a
// free list with room) or to how.free, the type's free slot (null: looked
// up). may_nest tells whether releasing the record may free other objects (it
// holds a last reference), and so possibly deallocate further instances from
// inside this one: only then is the nesting depth counted. Past a depth
// limit, instances are queued and released by the outermost deallocation
// instead of recursing.
using ReleaseFn = void (*)(PyObject*) noexcept;
struct Release {
    ReleaseFn record;
    FreeList* keep;
    freefunc free;
};
void deallocate(PyObject* obj, BorrowFlag& link, const Release& how, bool may_nest) noexcept;

// True when releasing obj's reference frees it.
[[nodiscard]] inline bool last_reference(PyObject* obj) noexcept { return obj != nullptr && Py_REFCNT(obj) == 1; }

// Every case but the common one, out of line: the common case then keeps
// few registers to save, which pays for its test of the collector's mark.
template <class Record>
TARNWICK_NOINLINE void deallocate_instance_slowly(PyObject* self, FreeList* keep, bool may_nest) noexcept {
    const TypeHolder& holder = ClassOf<Record>::holder;
    auto* inst = as_instance<Record>(self);
    // Before the record is released or the instance queued: free-list
    // blocks and queued instances stay out of the collector's lists.
    untrack_before_release(self, *inst);
    const bool own_class = reinterpret_cast<PyObject*>(Py_TYPE(self)) == holder.type.load(std::memory_order_relaxed);
    const Release how = {
        [](PyObject* obj) noexcept { std::destroy_at(&as_instance<Record>(obj)->record); },
        keep,
        own_class ? holder.free.load(std::memory_order_relaxed) : nullptr,
    };
    deallocate(self, inst->borrow, how, may_nest);
}

template <class Record>
void deallocate_instance(PyObject* self) noexcept {
    auto* inst = as_instance<Record>(self);
    PyTypeObject* type = Py_TYPE(self);
    FreeList* keep = free_list_for<Record>(type);
    const bool may_nest = inst->record.holds_last_reference();
    // The common case inline: nothing the record releases can go with it,
    // nothing is queued, and the free list has room.
    if (keep != nullptr && keep->size < FreeList::limit && !may_nest &&
        queued_instances.load(std::memory_order_relaxed) == 0) [[likely]] {
        untrack_before_release(self, *inst);
        std::destroy_at(&inst->record);
        keep->push(self);
        Py_DECREF(reinterpret_cast<PyObject*>(type));  // held by every instance of a heap type
        return;
    }
    deallocate_instance_slowly<Record>(self, keep, may_nest);
}

}  // namespace tarnwick
