#include "strings.hpp"

namespace tarnwick {

namespace {
// Written only by static initialisers (one thread, at load time).
constinit int names_handed_out = 0;
}  // namespace

int reserve_names(int count) noexcept {
    const int base = names_handed_out;
    names_handed_out += count;
    return base;
}

int reserved_names() noexcept { return names_handed_out; }

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
