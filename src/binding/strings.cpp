#include "strings.hpp"

namespace tarnwick {

PyObject* intern_into(StrSlot& slot, const char* text) noexcept {
    PyObject* made = PyUnicode_InternFromString(text);
    if (made == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

}  // namespace tarnwick
