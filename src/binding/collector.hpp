// Taking part in the cyclic garbage collector. A record can hold any object,
// so an instance can be part of a reference cycle (an exception kept as an
// Err's details holds, through its traceback, the frame that holds the Err).
// Records are never written after allocation, so whether an instance can be
// part of a cycle is known when it is built and never changes: only such an
// instance is tracked, as CPython leaves tuples of atomic objects untracked,
// and the collector never scans the others. What that leaves unseen is an
// untracked instance's reference to its class (a heap type), so a cycle
// closed through the class (such an instance stored as a class or module
// attribute) is not reclaimed; tuples escape this only by having a static
// type, and tracking every instance to cover it would put them all in every
// collection's scan.
//
// An untracked instance is no collector object at all: the classes' tp_is_gc
// slot answers by the instance's mark. Otherwise every tuple and dict holding
// one would stay tracked for good (CPython untracks a container only when
// nothing in it is a collector object), and every collection would scan them:
// a million (key, Ok(int)) tuples measured 6 times as slow to collect, a dict
// of a million Ok(int) over 20 times. The price is a call of that slot for
// each instance a scanned container holds, where the collector would
// otherwise read the instance's header (make bench-gc shows both). Every
// instance keeps the header all the same: CPython 3.14's deallocation
// writes into it, whatever the slot says, when it postpones a collector
// object's deallocation near the end of the C stack. A free-threaded
// collector keeps its bits in the object header and walks every block of its
// own heap, tracked or not, so there an instance that is never tracked is
// allocated outside that heap (py::new_untracked_object) and costs a
// collection nothing.
//
// No clear slot: a record cannot be emptied in place. The collector breaks a
// cycle through the mutable objects in it (the list, dict, frame or instance
// dictionary that leads back), as it does for tuples, and the instances then
// go by reference counting.
#pragma once

#include "instance.hpp"

#include <array>
#include <atomic>
#include <new>

namespace tarnwick {

// True when type is one of the module's classes (collector.cpp, which knows
// them all).
[[nodiscard]] bool is_record_class(PyTypeObject* type) noexcept;

// Whether obj, held by a record, could lead back to the instance holding it.
// Objects of the exact types None, bool, int, float, str and bytes refer to
// nothing that could, nor does an untracked instance of the module's classes
// (its record never changes, so it stays untracked); any other untracked
// object (an empty dict, say) may be tracked later. int, the commonest
// payload, and the usual containers are tested inline; the rest out of line:
// str, then tracked objects (answered by the collector) before the other
// types.
TARNWICK_NOINLINE inline bool may_close_cycle_beyond_int(PyObject* obj, PyTypeObject* type) noexcept {
    if (type == &PyUnicode_Type) return false;
    if (PyObject_GC_IsTracked(obj)) return true;
    if (obj == Py_None || type == &PyBool_Type || type == &PyFloat_Type || type == &PyBytes_Type) return false;
    return !is_record_class(type);
}
[[nodiscard]] TARNWICK_ALWAYS_INLINE bool may_close_cycle(PyObject* obj) noexcept {
    if (obj == nullptr) return false;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyLong_Type) [[likely]]
        return false;
    if (type == &PyList_Type || type == &PyDict_Type) return true;
    return may_close_cycle_beyond_int(obj, type);
}

// A new instance's record is in place: the instance is tracked when the
// record may form a cycle (its may_form_cycle(), asked before allocation
// chose the instance's memory), and its borrow flag (made here) marks it so.
// Allocation never tracks (allocate_raw, the free lists,
// untracked_allocation), so this is the only place that does.
template <class Record>
TARNWICK_ALWAYS_INLINE void track_if(bool cyclic, PyObject* obj, Instance<Record>& inst) noexcept {
    new (&inst.borrow) BorrowFlag(cyclic ? tracked_mark : 0);
    if (cyclic) PyObject_GC_Track(obj);
}

// Whether the collector tracks an instance: the mark, set when the instance
// is built and kept whatever else the word holds (shared accesses, a
// postponed release, a deallocation queue's link; see lifecycle.cpp). It
// spares the untracked instances a call and a second look at their payloads
// when they go, tells a free-threaded build where the memory goes back to,
// and is what the classes' tp_is_gc slot answers.
[[nodiscard]] TARNWICK_ALWAYS_INLINE bool marked_tracked(const BorrowFlag& borrow) noexcept {
    return (borrow.load(std::memory_order_relaxed) & tracked_mark) != 0;
}
template <class Record>
[[nodiscard]] TARNWICK_ALWAYS_INLINE bool is_tracked_instance(const Instance<Record>& inst) noexcept {
    return marked_tracked(inst.borrow);
}

// Py_tp_is_gc body, one function for both classes (their borrow flags sit at
// the same place), so that a collection scanning a container of both makes
// the same indirect call each time: an untracked instance is no collector
// object. The collector asks it of every instance a scanned container holds
// before it reads the header, and never reads an untracked one's; a tuple or
// dict that holds only untracked instances and atomic objects can then be
// untracked too, as if it held ints.
inline int instance_is_gc(PyObject* self) noexcept {
    return marked_tracked(*reinterpret_cast<const BorrowFlag*>(reinterpret_cast<const char*>(self) + sizeof(PyObject)))
               ? 1
               : 0;
}

// Whether an instance's memory may go on a free list. Not when the collector
// finalized the instance (ran a __del__ assigned to its class, on a cycle it
// found): that mark lives in the collector's header, which reuse does not
// reset, so every later instance in the block would be taken as finalized
// already. Only a tracked instance can carry the mark.
[[nodiscard]] TARNWICK_ALWAYS_INLINE bool reusable_block(PyObject* obj, bool tracked) noexcept {
    return !tracked || !PyObject_GC_IsFinalized(obj);
}

// Py_tp_traverse body: the type (every instance of a heap type holds a
// reference to it), then every object the record holds. Reads the record
// without shared access: it is never written after allocation.
template <class Record>
[[nodiscard]] inline int traverse_instance(PyObject* self, visitproc visit, void* arg) noexcept {
    if (int stop = visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg)) return stop;
    for (PyObject* obj : as_instance<Record>(self)->record.references())
        if (obj != nullptr)
            if (int stop = visit(obj, arg)) return stop;
    return 0;
}

}  // namespace tarnwick
