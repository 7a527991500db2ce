// Taking part in the cyclic garbage collector. A record can hold any object,
// so an instance can be part of a reference cycle (an exception kept as an
// Err's details holds, through its traceback, the frame that holds the Err).
// Records are never written after allocation, so whether an instance can be
// part of a cycle is known when it is built and never changes: only such an
// instance is tracked, as CPython leaves tuples of atomic objects untracked,
// and the others cost the collector nothing.
//
// No clear slot: a record cannot be emptied in place. The collector breaks a
// cycle through the mutable objects in it (the list, dict, frame or instance
// dictionary that leads back), as it does for tuples, and the instances then
// go by reference counting.
#pragma once

#include "instance.hpp"

#include <array>
#include <cstddef>

namespace tarnwick {

// Objects of these exact types refer to no object that could lead back to
// the instance holding them. Null (an absent payload) counts as one.
[[nodiscard]] TARNWICK_ALWAYS_INLINE bool is_atomic(PyObject* obj) noexcept {
    if (obj == nullptr) return true;
    PyTypeObject* type = Py_TYPE(obj);
    return type == &PyLong_Type || type == &PyUnicode_Type || obj == Py_None || type == &PyBool_Type ||
           type == &PyFloat_Type || type == &PyBytes_Type;
}

// True when type is one of the module's classes (collector.cpp, which knows
// them all).
[[nodiscard]] bool is_record_class(PyTypeObject* type) noexcept;

// Whether obj, held by a record, could lead back to the instance holding it:
// anything but an atomic object or an untracked instance of the module's
// classes (whose record never changes, so it stays untracked). Any other
// untracked object (an empty dict, say) may be tracked later.
[[nodiscard]] inline bool may_close_cycle(PyObject* obj) noexcept {
    if (is_atomic(obj)) [[likely]]
        return false;
    return PyObject_GC_IsTracked(obj) || !is_record_class(Py_TYPE(obj));
}

template <std::size_t N>
[[nodiscard]] inline bool any_may_close_cycle(const std::array<PyObject*, N>& objects) noexcept {
    for (PyObject* obj : objects)
        if (may_close_cycle(obj)) return true;
    return false;
}

template <std::size_t N>
[[nodiscard]] TARNWICK_ALWAYS_INLINE bool all_atomic(const std::array<PyObject*, N>& objects) noexcept {
    for (PyObject* obj : objects)
        if (!is_atomic(obj)) return false;
    return true;
}

// A new instance's record is in place: the instance is tracked when the
// record may form a cycle. Allocation never tracks (allocate_raw, the free
// lists, untracked_allocation), so this is the only place that does.
template <class Record>
TARNWICK_ALWAYS_INLINE void track_if_cyclic(PyObject* obj, const Record& record) noexcept {
    if (record.may_form_cycle()) PyObject_GC_Track(obj);
}

// Before an instance's record is released (or the instance queued for
// release): the collector must no longer see it. An instance holding only
// atomic objects was never tracked, so it skips the call; the test reads
// types alone, which cannot change, so it cannot miss a tracked instance.
// Untracking twice (a queued instance deallocated again) is harmless.
template <class Record>
TARNWICK_ALWAYS_INLINE void untrack_before_release(PyObject* obj, const Record& record) noexcept {
    if (!all_atomic(record.references())) PyObject_GC_UnTrack(obj);
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
