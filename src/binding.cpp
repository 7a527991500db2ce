#include "binding.hpp"

#include <cstring>
#include <exception>
#include <string>

namespace tarnwick {

namespace {

// The internal-failure exception type: created on first need, kept forever.
PyObject* internal_error_type = nullptr;

constexpr const char* internal_error_doc =
    "Raised when tarnwick's native code fails in a way that has no Python exception of its own.\n"
    "It derives from BaseException so that `except Exception` does not hide it.";
constexpr const char* generic_internal_message = "internal failure in tarnwick's native code";

PyObject* get_internal_error_type() noexcept {
    if (internal_error_type == nullptr)
        internal_error_type = PyErr_NewExceptionWithDoc("tarnwick.InternalError", internal_error_doc,
                                                        PyExc_BaseException, nullptr);
    return internal_error_type;
}

}  // namespace

// ---------------------------------------------------------------------------
// Error

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
    if (exc == nullptr) return create(PyExc_SystemError, "attempted to fetch exception but none was set");
    if (internal_error_type != nullptr && Py_TYPE(exc) == reinterpret_cast<PyTypeObject*>(internal_error_type)) {
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
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return;
    case Kind::Raised: PyErr_SetRaisedException(object_.release()); return;
    case Kind::Create: PyErr_SetObject(type_, object_.get()); return;
    case Kind::Internal: {
        PyObject* type = get_internal_error_type();
        if (type == nullptr) return;  // its creation error is set
        if (object_) {
            PyErr_SetObject(type, object_.get());
        } else {
            Ref message = Ref::steal(PyUnicode_FromString(literal_ ? literal_ : generic_internal_message));
            if (message) PyErr_SetObject(type, message.get());
        }
        return;
    }
    }
}

Ref Error::to_exception() && noexcept {
    std::move(*this).restore();
    return Ref::steal(PyErr_GetRaisedException());
}

// ---------------------------------------------------------------------------
// Formatters

namespace {

// Display name of a type for the cast error; null when unreadable.
Ref qualname_of(PyObject* obj) noexcept {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) PyErr_Clear();
    return name;
}

}  // namespace

Error cast_error(PyObject* obj, const char* required) noexcept {
    if (obj == Py_None)
        return Error::create(PyExc_TypeError,
                             Ref::steal(PyUnicode_FromFormat("'None' is not an instance of '%s'", required)));
    Ref name = qualname_of(obj);
    if (!name)
        return Error::create(PyExc_TypeError,
                             Ref::steal(PyUnicode_FromFormat(
                                 "'<failed to extract type name>' object is not an instance of '%s'", required)));
    return Error::create(PyExc_TypeError, Ref::steal(PyUnicode_FromFormat("'%U' object is not an instance of '%s'",
                                                                          name.get(), required)));
}

Error argument_error(const char* parameter, Error error) noexcept {
    if (error.type() != PyExc_TypeError) return error;
    Ref exc = std::move(error).to_exception();
    if (!exc) return Error::fetch();
    // Making the TypeError itself can fail (MemoryError): that error is
    // raised as it is, not dressed up as an argument error.
    if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError))
        return Error::raised(std::move(exc));
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    if (!text) return Error::fetch();
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (!message) return Error::fetch();
    PyObject* argv[] = {nullptr, message.get()};
    Ref wrapped = Ref::steal(
        PyObject_Vectorcall(PyExc_TypeError, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!wrapped) return Error::fetch();
    // The new error keeps the old one's cause (None when it had none); setting
    // a cause also sets __suppress_context__.
    Ref cause = Ref::steal(PyException_GetCause(exc.get()));
    PyException_SetCause(wrapped.get(), cause ? cause.release() : Ref::none().release());
    return Error::raised(std::move(wrapped));
}

Error value_error(std::string_view text) noexcept {
    return Error::create(PyExc_ValueError,
                         Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

Error value_error(const char* prefix, std::string_view text) noexcept {
    try {
        std::string joined(prefix);
        joined.append(text);
        return value_error(std::string_view(joined));
    } catch (const std::bad_alloc&) {
        return Error::no_memory();
    }
}

Error borrow_error() noexcept { return Error::create(PyExc_RuntimeError, "Already mutably borrowed"); }

// ---------------------------------------------------------------------------
// Binding

namespace {

// "Result.err()" or "err()".
Ref call_name(const SignatureView& sig) noexcept {
    if (sig.class_name != nullptr)
        return Ref::steal(PyUnicode_FromFormat("%s.%s()", sig.class_name, sig.function_name));
    return Ref::steal(PyUnicode_FromFormat("%s()", sig.function_name));
}

[[gnu::cold, gnu::noinline]] Error unexpected_keyword_error(const SignatureView& sig, PyObject* keyword) noexcept {
    Ref name = call_name(sig);
    if (!name) return Error::fetch();
    return Error::create(PyExc_TypeError, Ref::steal(PyUnicode_FromFormat(
                                              "%U got an unexpected keyword argument '%S'", name.get(), keyword)));
}

[[gnu::cold, gnu::noinline]] Error multiple_values_error(const SignatureView& sig, Py_ssize_t index) noexcept {
    Ref name = call_name(sig);
    if (!name) return Error::fetch();
    return Error::create(PyExc_TypeError, Ref::steal(PyUnicode_FromFormat("%U got multiple values for argument '%s'",
                                                                          name.get(), sig.names[index])));
}

// Index of the parameter a keyword names, or -1. Pointer comparison against
// the interned names first (keywords in source code are interned), then a
// byte comparison of the UTF-8 text. A keyword that is not valid UTF-8
// names no parameter.
Py_ssize_t find_parameter(const SignatureView& sig, PyObject* keyword) noexcept {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (sig.interned[i] == nullptr) {
            sig.interned[i] = PyUnicode_InternFromString(sig.names[i]);
            if (sig.interned[i] == nullptr) PyErr_Clear();  // the byte comparison still works
        }
        if (sig.interned[i] == keyword) return i;
    }
    if (!PyUnicode_Check(keyword)) return -1;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        const std::size_t length = std::strlen(sig.names[i]);
        if (length == static_cast<std::size_t>(size) && std::memcmp(text, sig.names[i], length) == 0) return i;
    }
    return -1;
}

Status bind_keyword(const SignatureView& sig, PyObject* keyword, PyObject* value, PyObject** slots) noexcept {
    const Py_ssize_t index = find_parameter(sig, keyword);
    if (index < 0) return unexpected_keyword_error(sig, keyword);
    if (slots[index] != nullptr) return multiple_values_error(sig, index);
    slots[index] = value;
    return Done{};
}

Status check_required(const SignatureView& sig, Py_ssize_t given, PyObject* const* slots) noexcept {
    for (Py_ssize_t i = given; i < sig.required; ++i)
        if (slots[i] == nullptr) return missing_error(sig, slots);
    return Done{};
}

}  // namespace

Error too_many_error(const SignatureView& sig, Py_ssize_t given) noexcept {
    Ref name = call_name(sig);
    if (!name) return Error::fetch();
    const char* verb = given == 1 ? "was" : "were";
    if (sig.required == sig.count)
        return Error::create(PyExc_TypeError,
                             Ref::steal(PyUnicode_FromFormat("%U takes %zd positional arguments but %zd %s given",
                                                             name.get(), sig.count, given, verb)));
    return Error::create(PyExc_TypeError,
                         Ref::steal(PyUnicode_FromFormat("%U takes from %zd to %zd positional arguments but %zd %s given",
                                                         name.get(), sig.required, sig.count, given, verb)));
}

Error missing_error(const SignatureView& sig, PyObject* const* slots) noexcept {
    try {
        std::string list;
        Py_ssize_t missing = 0;
        Py_ssize_t total = 0;
        for (Py_ssize_t i = 0; i < sig.required; ++i) total += slots[i] == nullptr;
        for (Py_ssize_t i = 0; i < sig.required; ++i) {
            if (slots[i] != nullptr) continue;
            ++missing;
            if (missing > 1) list += total == 2 ? " and " : (missing == total ? ", and " : ", ");
            list += '\'';
            list += sig.names[i];
            list += '\'';
        }
        Ref name = call_name(sig);
        if (!name) return Error::fetch();
        return Error::create(PyExc_TypeError,
                             Ref::steal(PyUnicode_FromFormat("%U missing %zd required positional %s: %s", name.get(),
                                                             missing, missing == 1 ? "argument" : "arguments",
                                                             list.c_str())));
    } catch (const std::bad_alloc&) {
        return Error::no_memory();
    }
}

Status bind_keywords(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots) noexcept {
    for (Py_ssize_t i = 0; i < sig.count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (nargs > sig.count) return too_many_error(sig, nargs);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            auto bound = bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], slots);
            if (!bound) return bound;
        }
    }
    return check_required(sig, nargs, slots);
}

Status bind_tuple(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** slots) noexcept {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return Error::fetch();
    for (Py_ssize_t i = 0; i < sig.count; ++i) slots[i] = i < nargs ? PyTuple_GetItem(args, i) : nullptr;
    if (nargs > sig.count) return too_many_error(sig, nargs);
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            auto bound = bind_keyword(sig, key, value, slots);
            if (!bound) return bound;
        }
    }
    return check_required(sig, nargs, slots);
}

// ---------------------------------------------------------------------------
// Text argument rule

Outcome<TextView> text_of(PyObject* obj) noexcept {
    if (!PyUnicode_Check(obj)) [[unlikely]]
        return cast_error(obj, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) [[unlikely]]
        return Error::fetch();
    return TextView{data, size};
}

Outcome<Ref> new_str(std::string_view text) noexcept {
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (s == nullptr) [[unlikely]]
        return Error::fetch();
    return Ref::steal(s);
}

// ---------------------------------------------------------------------------
// Types and instances

Outcome<PyObject*> TypeHolder::get_or_create() noexcept {
    if (type != nullptr) return type;
    PyObject* created = PyType_FromSpec(spec);
    if (created == nullptr) return Error::fetch();
    alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(created), Py_tp_alloc));
    type = created;
    return type;
}

Outcome<PyTypeObject*> TypeHolder::create_for_use() noexcept {
    auto created = get_or_create();
    if (!created) {
        std::move(created.error()).restore();
        PyErr_WriteUnraisable(nullptr);
        Ref message = Ref::steal(PyUnicode_FromFormat("failed to create type object for `%s`", class_name));
        if (!message) return Error::fetch();
        return Error::internal(std::move(message));
    }
    return reinterpret_cast<PyTypeObject*>(created.value());
}

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
// CPython's trashcan does for its own containers. The state is process-wide:
// it is only touched with the interpreter lock held, and tarnwick runs in one
// interpreter only.
namespace {
constexpr int max_dealloc_depth = 64;
int dealloc_depth = 0;
bool draining = false;
PyObject* deferred_head = nullptr;
PyObject* being_drained = nullptr;

void release_now(PyObject* obj, ReleaseFn release_record) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    release_record(obj);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(obj);
    // Heap types: every instance holds a reference to its type.
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

void drain_deferred() noexcept {
    draining = true;
    while (deferred_head != nullptr) {
        PyObject* obj = deferred_head;
        being_drained = obj;
        auto dealloc = reinterpret_cast<destructor>(PyType_GetSlot(Py_TYPE(obj), Py_tp_dealloc));
        dealloc(obj);  // pops itself from the list, see deallocate()
    }
    draining = false;
}
}  // namespace

void deallocate(PyObject* obj, BorrowFlag& link, ReleaseFn release_record) noexcept {
    if (obj == being_drained) {
        being_drained = nullptr;
        deferred_head = reinterpret_cast<PyObject*>(link.load(std::memory_order_relaxed));
    } else if (dealloc_depth >= max_dealloc_depth) {
        link.store(reinterpret_cast<std::uintptr_t>(deferred_head), std::memory_order_relaxed);
        deferred_head = obj;
        return;
    }
    ++dealloc_depth;
    release_now(obj, release_record);
    --dealloc_depth;
    if (dealloc_depth == 0 && deferred_head != nullptr && !draining) drain_deferred();
}

// ---------------------------------------------------------------------------
// Calls into user code: positional arguments only, through vectorcall.

Outcome<Ref> call(PyObject* callable) noexcept {
    PyObject* result = PyObject_Vectorcall(callable, nullptr, 0, nullptr);
    if (result == nullptr) return Error::fetch();
    return Ref::steal(result);
}

Outcome<Ref> call(PyObject* callable, PyObject* arg) noexcept {
    PyObject* argv[2] = {nullptr, arg};
    PyObject* result = PyObject_Vectorcall(callable, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result == nullptr) return Error::fetch();
    return Ref::steal(result);
}

Outcome<Ref> call(PyObject* callable, PyObject* a, PyObject* b, PyObject* c) noexcept {
    PyObject* argv[4] = {nullptr, a, b, c};
    PyObject* result = PyObject_Vectorcall(callable, argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result == nullptr) return Error::fetch();
    return Ref::steal(result);
}

// ---------------------------------------------------------------------------
// The catch ladder shared by every dispatcher.

void detail::raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        Ref message = Ref::steal(PyUnicode_DecodeUTF8(e.what(), static_cast<Py_ssize_t>(std::strlen(e.what())),
                                                      "replace"));
        if (!message) return;
        Error::internal(std::move(message)).restore();
    } catch (...) {
        Error::internal(nullptr).restore();
    }
}

}  // namespace tarnwick
