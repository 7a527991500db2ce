#include "type_holder.hpp"

#include "messages.hpp"

namespace tarnwick {

Outcome<PyObject*> TypeHolder::get_or_create() noexcept {
    if (PyTypeObject* t = created()) return reinterpret_cast<PyObject*>(t);
    PyObject* made = PyType_FromSpec(spec);
    if (made == nullptr) return Error::fetch();
    // Another thread (or a finaliser run during creation) may have published
    // a type meanwhile: keep that one, so every user sees the same type.
    PyObject* expected = nullptr;
    if (!type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    auto* t = reinterpret_cast<PyTypeObject*>(made);
    free.store(reinterpret_cast<freefunc>(PyType_GetSlot(t, Py_tp_free)), std::memory_order_relaxed);
    return made;
}

Outcome<PyTypeObject*> TypeHolder::create_or_internal_failure() noexcept {
    auto made = get_or_create();
    if (!made) {
        std::move(made.error()).restore();
        PyErr_WriteUnraisable(nullptr);
        Ref message = format_text("failed to create type object for `%s`", class_name);
        if (!message) return Error::fetch();
        return Error::internal(std::move(message));
    }
    return reinterpret_cast<PyTypeObject*>(made.value());
}

}  // namespace tarnwick
