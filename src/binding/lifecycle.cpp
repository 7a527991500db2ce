#include "lifecycle.hpp"

#include "messages.hpp"
#include "state.hpp"

namespace tarnwick {

namespace {

// object's constructor, for a class that is abstract: it raises the
// interpreter's own "Can't instantiate abstract class" TypeError.
TARNWICK_COLD Outcome<Ref> allocate_through_object(PyTypeObject* type) noexcept {
    auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    if (object_new == nullptr) return Error::fetch();
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return Error::fetch();
    Ref obj = Ref::steal(object_new(type, empty.get(), nullptr));
    if (!obj) return Error::fetch();
    return obj;
}

}  // namespace

// The collector's allocator makes the instance (header, type reference,
// reference count of one) without tracking it, which the generic allocator
// would do at once, and without zeroing a body that make_instance fills
// anyway; nor does it build and check an empty argument tuple, as object's
// constructor would. Only an abstract class (its __abstractmethods__ set)
// goes through object's constructor, so that it refuses exactly as object
// does.
Outcome<Ref> allocate_raw(PyTypeObject* type) noexcept {
    if (PyType_GetFlags(type) & Py_TPFLAGS_IS_ABSTRACT) [[unlikely]]
        return allocate_through_object(type);
    PyObject* obj = _PyObject_GC_New(type);
    if (obj == nullptr) [[unlikely]]
        return Error::fetch();
    return Ref::steal(obj);
}

PyObject* refused_allocation(PyTypeObject* type, Py_ssize_t) noexcept {
    Ref name = Ref::steal(PyType_GetQualName(type));
    if (!name) return nullptr;
    std::move(format_error(PyExc_TypeError, "cannot create 'builtins.%U' instances", name.get())).restore();
    return nullptr;
}

// Deallocation keeps a nesting depth. Past the limit an instance is not
// released on the spot: it is pushed on a list threaded through its
// borrow-flag word (nobody can hold access to an object whose last reference
// is gone), and the outermost deallocation drains that list, calling each
// queued instance's own dealloc slot again. Each drained instance may queue
// more, so the C stack stays bounded however deep a chain of payloads is, as
// CPython's trashcan does for its own containers.
//
// The state is per thread (state.hpp). A record that holds no last reference
// cannot nest, and while no instance is queued on any thread (the common
// case, one relaxed load) it is released without touching that state.
namespace {

constexpr int max_dealloc_depth = 64;
constinit thread_local DeallocState dealloc_state;

void release_now(PyObject* obj, const Release& how) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    how.record(obj);
    if (how.keep != nullptr && how.keep->size < FreeList::limit) {
        how.keep->push(obj);
    } else {
        freefunc free = how.free;
        if (free == nullptr) [[unlikely]]
            free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free(obj);
    }
    // Heap types: every instance holds a reference to its type.
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

TARNWICK_COLD void drain_deferred(DeallocState& state) noexcept {
    state.draining = true;
    while (state.deferred_head != nullptr) {
        PyObject* obj = state.deferred_head;
        state.being_drained = obj;
        auto dealloc = reinterpret_cast<destructor>(PyType_GetSlot(Py_TYPE(obj), Py_tp_dealloc));
        dealloc(obj);  // pops itself from the list, see deallocate()
    }
    state.draining = false;
}

TARNWICK_COLD void deallocate_counted(PyObject* obj, BorrowFlag& link, const Release& how, bool may_nest) noexcept {
    DeallocState& state = dealloc_state;
    if (obj == state.being_drained) {
        state.being_drained = nullptr;
        state.deferred_head = reinterpret_cast<PyObject*>(link.load(std::memory_order_relaxed));
        queued_instances.fetch_sub(1, std::memory_order_relaxed);
    } else if (!may_nest) {
        release_now(obj, how);
        return;
    } else if (state.depth >= max_dealloc_depth) {
        link.store(reinterpret_cast<std::uintptr_t>(state.deferred_head), std::memory_order_relaxed);
        state.deferred_head = obj;
        // Seen by this thread's own later loads in program order, which is
        // all that matters: only this thread drains its queue.
        queued_instances.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    ++state.depth;
    release_now(obj, how);
    --state.depth;
    if (state.depth == 0 && state.deferred_head != nullptr && !state.draining) drain_deferred(state);
}

}  // namespace

void deallocate(PyObject* obj, BorrowFlag& link, const Release& how, bool may_nest) noexcept {
    if (!may_nest && queued_instances.load(std::memory_order_relaxed) == 0) [[likely]] {
        release_now(obj, how);
        return;
    }
    deallocate_counted(obj, link, how, may_nest);
}

}  // namespace tarnwick
