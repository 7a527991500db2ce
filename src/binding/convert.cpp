#include "convert.hpp"

namespace tarnwick {

Outcome<TextView> text_of(PyObject* obj) noexcept {
    if (!PyUnicode_Check(obj)) [[unlikely]]
        return cast_error(obj, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) [[unlikely]]
        return Error::fetch();
    return TextView{data, size};
}

Outcome<Ref> new_str(TextView text) noexcept {
    PyObject* s = PyUnicode_FromStringAndSize(text.data, text.size);
    if (s == nullptr) [[unlikely]]
        return Error::fetch();
    return Ref::steal(s);
}

}  // namespace tarnwick
