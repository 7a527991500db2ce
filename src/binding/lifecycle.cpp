#include "lifecycle.hpp"

#include "state.hpp"

namespace tarnwick {

// The type's own allocation slot makes the instance, as object's constructor
// would (a heap type without a constructor of its own inherits the generic
// allocator), without building and checking an empty argument tuple.
Outcome<Ref> allocate_raw(PyTypeObject* type, allocfunc alloc) noexcept {
    if (alloc == nullptr) [[unlikely]] {
        alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        if (alloc == nullptr) return Error::fetch();
    }
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) [[unlikely]]
        return Error::fetch();
    return Ref::steal(obj);
}

// Deallocation keeps a nesting depth. Past the limit an instance is not
// released on the spot: it is pushed on a list threaded through its
// borrow-flag word (nobody can hold access to an object whose last reference
// is gone), and the outermost deallocation drains that list, calling each
// queued instance's own dealloc slot again. Each drained instance may queue
// more, so the C stack stays bounded however deep a chain of payloads is, as
// CPython's trashcan does for its own containers.
namespace {

constexpr int max_dealloc_depth = 64;

void release_now(PyObject* obj, ReleaseFn release_record, freefunc free) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    release_record(obj);
    if (free == nullptr) [[unlikely]]
        free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(obj);
    // Heap types: every instance holds a reference to its type.
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

void drain_deferred(DeallocState& state) noexcept {
    state.draining = true;
    while (state.deferred_head != nullptr) {
        PyObject* obj = state.deferred_head;
        state.being_drained = obj;
        auto dealloc = reinterpret_cast<destructor>(PyType_GetSlot(Py_TYPE(obj), Py_tp_dealloc));
        dealloc(obj);  // pops itself from the list, see deallocate()
    }
    state.draining = false;
}

}  // namespace

void deallocate(PyObject* obj, BorrowFlag& link, ReleaseFn release_record, freefunc free) noexcept {
    DeallocState& state = dealloc_state();
    if (obj == state.being_drained) {
        state.being_drained = nullptr;
        state.deferred_head = reinterpret_cast<PyObject*>(link.load(std::memory_order_relaxed));
    } else if (state.depth >= max_dealloc_depth) {
        link.store(reinterpret_cast<std::uintptr_t>(state.deferred_head), std::memory_order_relaxed);
        state.deferred_head = obj;
        return;
    }
    ++state.depth;
    release_now(obj, release_record, free);
    --state.depth;
    if (state.depth == 0 && state.deferred_head != nullptr && !state.draining) drain_deferred(state);
}

}  // namespace tarnwick
