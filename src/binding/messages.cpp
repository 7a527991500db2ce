#include "messages.hpp"

#include "signature.hpp"
#include "text_buffer.hpp"

#include <cstdarg>

namespace tarnwick {

Ref format_text(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    Ref text = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    return text;
}

Error format_error(PyObject* type, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    Ref text = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    return Error::create(type, std::move(text));
}

Error cast_error(PyObject* obj, const char* required) noexcept {
    if (obj == Py_None) return format_error(PyExc_TypeError, "'None' is not an instance of '%s'", required);
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return format_error(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of '%s'",
                            required);
    }
    return format_error(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), required);
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
    // The new error keeps the old one's cause (None when it had none).
    Ref cause = Ref::steal(PyException_GetCause(exc.get()));
    return Error::with_cause(PyExc_TypeError, format_text("argument '%s': %U", parameter, text.get()),
                             cause ? std::move(cause) : Ref::none());
}

Error value_error(TextView text) noexcept {
    return Error::create(PyExc_ValueError,
                         Ref::steal(PyUnicode_FromStringAndSize(text.data, text.size)));
}

Error value_error(const char* prefix, TextView text) noexcept {
    TextBuffer joined;
    auto message = joined.append(prefix).append(text).to_str();
    if (!message) return std::move(message.error());
    return Error::create(PyExc_ValueError, message.take());
}

Error borrow_error() noexcept { return Error::create(PyExc_RuntimeError, "Already mutably borrowed"); }

namespace {

// "Result.err()" or "err()".
Ref call_name(const SignatureView& sig) noexcept {
    if (sig.class_name != nullptr) return format_text("%s.%s()", sig.class_name, sig.function_name);
    return format_text("%s()", sig.function_name);
}

}  // namespace

Error too_many_error(const SignatureView& sig, Py_ssize_t given) noexcept {
    Ref name = call_name(sig);
    if (!name) return Error::fetch();
    const char* verb = given == 1 ? "was" : "were";
    if (sig.required == sig.count)
        return format_error(PyExc_TypeError, "%U takes %zd positional arguments but %zd %s given", name.get(),
                            sig.count, given, verb);
    return format_error(PyExc_TypeError, "%U takes from %zd to %zd positional arguments but %zd %s given",
                        name.get(), sig.required, sig.count, given, verb);
}

Error missing_error(const SignatureView& sig, PyObject* const* slots) noexcept {
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < sig.required; ++i) total += slots[i] == nullptr;
    // 'a', 'a' and 'b', 'a', 'b', and 'c'
    TextBuffer list;
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (slots[i] != nullptr) continue;
        ++missing;
        if (missing > 1) list.append(total == 2 ? " and " : (missing == total ? ", and " : ", "));
        list.append("'").append(sig.names[i]).append("'");
    }
    auto names = list.to_str();
    if (!names) return std::move(names.error());
    Ref name = call_name(sig);
    if (!name) return Error::fetch();
    return format_error(PyExc_TypeError, "%U missing %zd required positional %s: %U", name.get(), missing,
                        missing == 1 ? "argument" : "arguments", names.value().get());
}

Error unexpected_keyword_error(const SignatureView& sig, PyObject* keyword) noexcept {
    Ref name = call_name(sig);
    if (!name) return Error::fetch();
    return format_error(PyExc_TypeError, "%U got an unexpected keyword argument '%S'", name.get(), keyword);
}

Error multiple_values_error(const SignatureView& sig, Py_ssize_t index) noexcept {
    Ref name = call_name(sig);
    if (!name) return Error::fetch();
    return format_error(PyExc_TypeError, "%U got multiple values for argument '%s'", name.get(), sig.names[index]);
}

}  // namespace tarnwick
