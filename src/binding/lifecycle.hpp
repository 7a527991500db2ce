// Instance allocation, and deallocation that stays bounded on deep chains.
#pragma once

#include "collector.hpp"
#include "instance.hpp"
#include "state.hpp"

#include <memory>
#include <new>

namespace tarnwick {

// A new instance of type whose record is not yet built, not tracked by the
// collector. Only a trackable one may be tracked later: the others may come
// from memory the collector never sees (py::new_untracked_object).
[[nodiscard]] Outcome<Ref> allocate_raw(PyTypeObject* type, bool trackable) noexcept;

// The allocation slot of a class whose instances other code may make
// (object.__new__ once the class's __new__ was replaced): an untracked
// instance with an empty record, as make_instance leaves an instance whose
// record holds nothing. The generic allocator would track it, and
// deallocation untracks only instances whose borrow flag marks them tracked.
template <class Record>
PyObject* untracked_allocation(PyTypeObject* type, Py_ssize_t) noexcept {
    auto made = allocate_raw(type, false);
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

// A new instance of ctx's class holding record. On failure the record is
// released. Memory comes from the class's free list when it has a block.
template <class Record>
[[nodiscard]] inline Outcome<Ref> make_instance(Ctx ctx, Record&& record) noexcept {
    // Whether the record may form a cycle decides where a free-threaded
    // build takes the instance's memory from (allocate_raw); a GIL build asks
    // once the record is in place, where the answer costs least.
    constexpr bool ask_first = py::untracked_objects_outside_collector_heap;
    bool cyclic = ask_first && record.may_form_cycle();
    Ref obj;
    FreeList* reuse = FreeList::limit > 0 && ctx.state != nullptr ? &ctx.state->free_lists[ClassOf<Record>::index]
                                                                   : nullptr;
    // An abstract class (__abstractmethods__ set) must refuse as object's
    // constructor does: allocate_raw() sees to that.
    if (reuse != nullptr && reuse->head != nullptr && !(PyType_GetFlags(ctx.cls) & Py_TPFLAGS_IS_ABSTRACT)) [[likely]] {
        // As the generic allocator does: the type (a reference to it, since
        // it is a heap type) and a reference count of one. The block is not
        // tracked (deallocation untracked it).
        obj = Ref::steal(PyObject_Init(static_cast<PyObject*>(reuse->pop()), ctx.cls));
    } else {
        auto made = allocate_raw(ctx.cls, cyclic);
        if (!made) return std::move(made.error());
        obj = made.take();
    }
    auto* inst = as_instance<Record>(obj.get());
    new (&inst->record) Record(std::move(record));
    if constexpr (!ask_first) cyclic = inst->record.may_form_cycle();
    track_if(cyclic, obj.get(), *inst);
    return obj;
}

// Deallocation of an instance whose last reference is gone. While an entry
// still holds shared access to it (its receiver was lent and then dropped),
// it is postponed: the borrow word is marked and the entry that gives the
// last access back runs it. how.record gives up the record's references and
// texts (into how.state's caches); the memory goes to how.keep (a
// free list with room) or to how.free, the type's free slot (null: looked
// up). may_nest tells whether releasing the record may free other objects (it
// holds a last reference), and so possibly deallocate further instances from
// inside this one: only then is the nesting depth counted. Past a depth
// limit, instances are queued and released by the outermost deallocation
// instead of recursing.
using ReleaseFn = void (*)(PyObject*, InterpState*) noexcept;
struct Release {
    ReleaseFn record;
    InterpState* state;  // the class's interpreter state, or null
    FreeList* keep;
    freefunc free;
};
void deallocate(PyObject* obj, BorrowFlag& link, const Release& how, bool may_nest) noexcept;

// True when releasing obj's reference frees it.
//
// Free-threaded builds: another thread may hold a reference to obj and drop
// it between this read and the release, so the answer can be wrong both
// ways. A wrong "yes" only sends the release down the counted path. A wrong
// "no" lets this one level release its record without counting a depth; the
// objects it frees are deallocated by their own dealloc slots, which ask the
// same question of their own records and count again. Each uncounted level
// needs another thread to drop that very payload's last other reference
// inside this window, so a race adds one level per such drop, never a
// recursion of unbounded depth on its own.
[[nodiscard]] inline bool last_reference(PyObject* obj) noexcept { return obj != nullptr && Py_REFCNT(obj) == 1; }

// Gives up what the record holds. release_into() leaves every member empty,
// so the destructor would have nothing left to do, and it is not run: the
// storage is freed or reused as raw memory next.
template <class Record>
void release_record(PyObject* obj, InterpState* state) noexcept {
    as_instance<Record>(obj)->record.release_into(state);
}

// Whether cls is Record's class in another interpreter than the main one,
// and that class's state (null for a class the collector cleared). The
// class table answers most calls; otherwise the module's classes are told
// apart from every other type by their deallocation function (the
// interpreter's own types and other modules' classes cannot have it). The
// search returns both by value: an out-parameter would make callers keep
// their state in memory on their fast paths too.
struct OtherClass {
    bool is_class;
    InterpState* state;
};
template <class Record>
void deallocate_instance(PyObject* self) noexcept;
template <class Record>
TARNWICK_NOINLINE OtherClass find_other_class(PyTypeObject* cls) noexcept {
    if (PyType_GetSlot(cls, Py_tp_dealloc) != reinterpret_cast<void*>(&deallocate_instance<Record>))
        return {false, nullptr};
    return {true, state_of_other(cls)};
}
// Whether cls is Record's class in another interpreter (the state, null for
// a cleared class, goes to state): the table's answer inline, the search out
// of line.
template <class Record>
[[nodiscard]] TARNWICK_ALWAYS_INLINE bool other_class(PyTypeObject* cls, InterpState*& state) noexcept {
    state = table_state<ClassOf<Record>::index>(cls);
    if (state != nullptr) [[likely]]
        return true;
    const OtherClass found = find_other_class<Record>(cls);
    state = found.state;
    return found.is_class;
}

// Any other interpreter's instance, or one whose class the collector
// cleared: the state is found through the class.
template <class Record>
TARNWICK_NOINLINE void deallocate_other(PyObject* self, bool may_nest) noexcept {
    constexpr int index = ClassOf<Record>::index;
    // Before the record is released or the instance queued: free-list
    // blocks and queued instances stay out of the collector's lists.
    const bool tracked = is_tracked_instance(*as_instance<Record>(self));
    if (tracked) [[likely]]
        PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    InterpState* state = &main_state;
    if (type != main_class<Record>()) (void)other_class<Record>(type, state);
    // Blocks are kept only for a class the state still holds (see
    // drop_classes() in interpreter.cpp).
    const bool keep_block = FreeList::limit > 0 && state != nullptr &&
                            state->classes[index].load(std::memory_order_relaxed) == type &&
                            reusable_block(self, tracked);
    freefunc free = state != nullptr ? state->class_free[index].load(std::memory_order_relaxed) : nullptr;
    // Where untracked instances live outside the collector's heap, their
    // memory goes straight back, without the collector's bookkeeping (the
    // classes have no pre-header there: no managed dict or weak references).
    if constexpr (py::untracked_objects_outside_collector_heap)
        if (!tracked) free = &PyObject_Free;
    const Release how = {
        &release_record<Record>,
        state,
        keep_block ? &state->free_lists[index] : nullptr,
        free,
    };
    deallocate(self, as_instance<Record>(self)->borrow, how, may_nest);
}

template <class Record>
void deallocate_instance(PyObject* self) noexcept {
    constexpr int index = ClassOf<Record>::index;
    auto* inst = as_instance<Record>(self);
    PyTypeObject* type = Py_TYPE(self);
    // The common case inline: an instance of the main interpreter or of a
    // class in the class table, the free list has room, no entry holds
    // access, nothing is queued, and nothing the record releases can go with
    // it (asked last, and again on the slower path only when it said yes).
    if constexpr (FreeList::limit > 0) {
        InterpState* state = type == main_class<Record>() ? &main_state : table_state<index>(type);
        if (state != nullptr) [[likely]] {
            FreeList& keep = state->free_lists[index];
            // No access held: the word is the tracked mark or nothing.
            const auto word = inst->borrow.load(std::memory_order_acquire);
            if (keep.has_room() && (word & ~tracked_mark) == 0 &&
                queued_instances.load(std::memory_order_relaxed) == 0 && !inst->record.holds_last_reference() &&
                reusable_block(self, word != 0)) [[likely]] {
                if (word != 0) PyObject_GC_UnTrack(self);
                release_record<Record>(self, state);
                keep.push(self);
                Py_DECREF(reinterpret_cast<PyObject*>(type));  // held by every instance of a heap type
                return;
            }
        }
    }
    deallocate_other<Record>(self, inst->record.holds_last_reference());
}

}  // namespace tarnwick
