#include "error.hpp"

#include "interpreter.hpp"

namespace tarnwick {

namespace {

constexpr const char* internal_error_doc =
    "Raised when tarnwick's native code fails in a way that has no Python exception of its own.\n"
    "It derives from BaseException so that `except Exception` does not hide it.";
constexpr const char* generic_internal_message = "internal failure in tarnwick's native code";
constexpr const char* nothing_set_message = "attempted to fetch exception but none was set";

// Whether any interpreter ever made its internal-failure type: until then,
// no fetched exception can be one, and the lookup is skipped.
constinit std::atomic<bool> internal_types_made{false};

// The calling interpreter's internal-failure exception type, made on first
// need and kept in its state. Two threads may race to make it (free-threaded
// builds): one wins, the other's type is dropped. Without a state (the module
// is being torn down), a type is made for this one failure.
Ref get_internal_error_type() noexcept {
    InterpState* state = current_state();
    if (state != nullptr) {
        if (PyObject* type = state->internal_error_type.load(std::memory_order_acquire)) [[likely]]
            return Ref::borrow(type);
    }
    Ref made = Ref::steal(PyErr_NewExceptionWithDoc("tarnwick.InternalError", internal_error_doc,
                                                    PyExc_BaseException, nullptr));
    if (!made || state == nullptr) return made;
    internal_types_made.store(true, std::memory_order_relaxed);
    PyObject* expected = nullptr;
    if (!state->internal_error_type.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel))
        return Ref::borrow(expected);
    Py_INCREF(made.get());  // the state's reference
    return made;
}

// True when exc is the calling interpreter's internal-failure type.
bool is_internal_failure(PyObject* exc) noexcept {
    if (!internal_types_made.load(std::memory_order_relaxed)) [[likely]]
        return false;
    InterpState* state = current_state();
    return state != nullptr &&
           reinterpret_cast<PyObject*>(Py_TYPE(exc)) == state->internal_error_type.load(std::memory_order_acquire);
}

}  // namespace

Error Error::raised(Ref exception) noexcept {
    Error e;
    e.kind_ = Kind::Raised;
    e.object_ = std::move(exception);
    return e;
}

Error Error::create(PyObject* type, Ref message) noexcept {
    if (!message) return fetch();
    Error e;
    e.kind_ = Kind::Create;
    e.type_ = type;
    e.object_ = std::move(message);
    return e;
}

Error Error::create(PyObject* type, const char* message) noexcept {
    return create(type, Ref::steal(PyUnicode_FromString(message)));
}

Error Error::with_cause(PyObject* type, Ref message, Ref cause) noexcept {
    if (!message) return fetch();
    PyObject* argv[] = {nullptr, message.get()};
    Ref exc = Ref::steal(PyObject_Vectorcall(type, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!exc) return fetch();
    PyException_SetCause(exc.get(), cause.release());
    // Raised like every error the module makes (PyErr_SetObject, which takes
    // the instance as it is), so that it also gets the exception being
    // handled as its __context__.
    return create(type, std::move(exc));
}

Error Error::internal(const char* literal) noexcept {
    Error e;
    e.kind_ = Kind::Internal;
    e.literal_ = literal;
    return e;
}

Error Error::internal(Ref message) noexcept {
    Error e;
    e.kind_ = Kind::Internal;
    e.object_ = std::move(message);
    return e;
}

Error Error::no_memory() noexcept {
    PyErr_NoMemory();
    return fetch();
}

Error Error::fetch() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return create(PyExc_SystemError, nothing_set_message);
    if (is_internal_failure(exc)) [[unlikely]] {
        // An internal failure crossing back into the module is not an ordinary
        // error: show it where it happened, then fail this operation too.
        PySys_WriteStderr("tarnwick: an internal failure reached the module from a call it made.\n"
                          "tarnwick: the failure is printed below; the current operation fails as well.\n");
        Ref text = Ref::steal(PyObject_Str(exc));
        PyErr_SetRaisedException(exc);
        PyErr_PrintEx(0);
        if (!text) {
            PyErr_Clear();
            return internal(nullptr);
        }
        return internal(std::move(text));
    }
    return raised(Ref::steal(exc));
}

PyObject* Error::type() const noexcept {
    switch (kind_) {
    case Kind::Raised: return reinterpret_cast<PyObject*>(Py_TYPE(object_.get()));
    case Kind::Create: return type_;
    default: return nullptr;
    }
}

void Error::restore() && noexcept {
    switch (kind_) {
    case Kind::None:
        // A body reported failure without an error: still never crash.
        PyErr_SetString(PyExc_SystemError, nothing_set_message);
        return;
    case Kind::Raised: PyErr_SetRaisedException(object_.release()); return;
    case Kind::Create: PyErr_SetObject(type_, object_.get()); return;
    case Kind::Internal: {
        Ref type = get_internal_error_type();
        if (!type) return;  // its creation error is set
        if (object_) {
            PyErr_SetObject(type.get(), object_.get());
        } else {
            Ref message = Ref::steal(PyUnicode_FromString(literal_ ? literal_ : generic_internal_message));
            if (message) PyErr_SetObject(type.get(), message.get());
        }
        return;
    }
    }
}

Ref Error::to_exception() && noexcept {
    std::move(*this).restore();
    return Ref::steal(PyErr_GetRaisedException());
}

}  // namespace tarnwick
