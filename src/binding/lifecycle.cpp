#include "lifecycle.hpp"

#include "access.hpp"

#include "messages.hpp"
#include "state.hpp"

namespace tarnwick {

namespace {

// Whether object's constructor refuses type, a class that is abstract (its
// __abstractmethods__ set): it raises the interpreter's own "Can't
// instantiate abstract class" TypeError. An instance it makes all the same
// (another thread cleared __abstractmethods__ meanwhile) is dropped, and the
// caller allocates its own: only that one comes from the memory the
// instance needs (see py::new_untracked_object).
TARNWICK_COLD bool object_refuses(PyTypeObject* type) noexcept {
    auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    if (object_new == nullptr) return true;
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return true;
    return !Ref::steal(object_new(type, empty.get(), nullptr));
}

}  // namespace

// The collector's allocator makes the instance (header, type reference,
// reference count of one) without tracking it, which the generic allocator
// would do at once, and without zeroing a body that make_instance fills
// anyway; nor does it build and check an empty argument tuple, as object's
// constructor would. Only an abstract class (its __abstractmethods__ set)
// goes through object's constructor, so that it refuses exactly as object
// does.
Outcome<Ref> allocate_raw(PyTypeObject* type, bool trackable) noexcept {
    if ((PyType_GetFlags(type) & Py_TPFLAGS_IS_ABSTRACT) && object_refuses(type)) [[unlikely]]
        return Error::fetch();
    PyObject* obj = trackable ? _PyObject_GC_New(type) : py::new_untracked_object(type);
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
// is gone), beside the collector's mark, which the tp_is_gc slot and the
// deallocation read and so must survive the queue; the outermost
// deallocation drains that list, calling each queued instance's own dealloc
// slot again. Each drained instance may queue more, so the C stack stays
// bounded however deep a chain of payloads is, as CPython's trashcan does for
// its own containers.
//
// The state is per thread and, within a thread, per interpreter (state.hpp):
// a finaliser may switch the thread into another interpreter (exec in a
// sub-interpreter) while this interpreter's queue holds instances, and no
// interpreter may release another's. A record that holds no last reference
// cannot nest, and while no instance is queued on any thread (the common
// case, one relaxed load) it is released without touching that state.
namespace {

constexpr int max_dealloc_depth = 64;
// The thread's state for the interpreter it runs in: base_state, or while a
// deallocation runs in another interpreter nested inside one still in use,
// a state on that deallocation's stack frame.
constinit thread_local DeallocState base_state;
constinit thread_local DeallocState* current_dealloc = nullptr;

// A queue link in a borrow word: the next instance's address, shifted below
// the collector's mark (objects are aligned, so its low bit is free), and
// the mark the word had.
std::uintptr_t queue_link(PyObject* next, std::uintptr_t word) noexcept {
    return (reinterpret_cast<std::uintptr_t>(next) >> 1) | (word & tracked_mark);
}
PyObject* queued_next(std::uintptr_t link) noexcept {
    return reinterpret_cast<PyObject*>((link & ~tracked_mark) << 1);
}

// Deallocates obj again through its class's slot (a queued or postponed
// instance, whose last reference is already gone).
void run_dealloc_slot(PyObject* obj) noexcept {
    auto dealloc = reinterpret_cast<destructor>(PyType_GetSlot(Py_TYPE(obj), Py_tp_dealloc));
    dealloc(obj);
}

void release_now(PyObject* obj, const Release& how) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    how.record(obj, how.state);
    if (how.keep != nullptr && how.keep->has_room()) {
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
        run_dealloc_slot(obj);  // pops itself from the list, see deallocate()
    }
    state.draining = false;
}

// Marks the borrow word of an instance that an entry still reads: the entry
// that gives the last access back finishes the deallocation. False when no
// access is held (possibly given back meanwhile, by another thread).
bool postpone_while_shared(BorrowFlag& word) noexcept {
    auto current = word.load(std::memory_order_acquire);
    while ((current & ~tracked_mark) != 0) {
        if (word.compare_exchange_weak(current, current | SharedAccess::released_while_shared,
                                       std::memory_order_acq_rel, std::memory_order_acquire))
            return true;
    }
    return false;
}

void deallocate_in(DeallocState& state, PyObject* obj, BorrowFlag& link, const Release& how, bool may_nest) noexcept {
    // A queued instance's borrow word is its link; any other's counts the
    // shared accesses to it.
    if (obj == state.being_drained) {
        state.being_drained = nullptr;
        state.deferred_head = queued_next(link.load(std::memory_order_relaxed));
        queued_instances.fetch_sub(1, std::memory_order_relaxed);
    } else if (postpone_while_shared(link)) {
        return;
    } else if (!may_nest) {
        release_now(obj, how);
        return;
    } else if (state.depth >= max_dealloc_depth) {
        link.store(queue_link(state.deferred_head, link.load(std::memory_order_relaxed)), std::memory_order_relaxed);
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

TARNWICK_COLD void deallocate_counted(PyObject* obj, BorrowFlag& link, const Release& how, bool may_nest) noexcept {
    PyInterpreterState* interp = PyInterpreterState_Get();
    DeallocState* state = current_dealloc != nullptr ? current_dealloc : &base_state;
    if (state->interp != interp) {
        if (state->in_use()) {
            // Another interpreter's deallocation is under way on this thread:
            // this one gets a state of its own, until it has drained.
            DeallocState nested;
            nested.interp = interp;
            DeallocState* const outer = current_dealloc;
            current_dealloc = &nested;
            deallocate_in(nested, obj, link, how, may_nest);
            current_dealloc = outer;
            return;
        }
        state->interp = interp;
    }
    deallocate_in(*state, obj, link, how, may_nest);
}

}  // namespace

void finish_postponed_deallocation(PyObject* obj) noexcept { run_dealloc_slot(obj); }

void deallocate(PyObject* obj, BorrowFlag& link, const Release& how, bool may_nest) noexcept {
    if (!may_nest && queued_instances.load(std::memory_order_relaxed) == 0 &&
        (link.load(std::memory_order_acquire) & ~tracked_mark) == 0) [[likely]] {
        release_now(obj, how);
        return;
    }
    deallocate_counted(obj, link, how, may_nest);
}

}  // namespace tarnwick
