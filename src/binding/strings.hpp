// Interned str the module keeps for each interpreter (parameter names, dict
// keys, the Nothing repr): made on first use in that interpreter, released
// when the interpreter's tarnwick state ends (interpreter.hpp).
#pragma once

#include "error.hpp"

#include <atomic>

namespace tarnwick {

// One cached interned str. Threads may race to fill it (free-threaded
// builds): the first compare-and-swap wins and a loser drops its own copy;
// the acquire load pairs with that release, so a reader sees a complete str.
using StrSlot = std::atomic<PyObject*>;

// Every interpreter's state has a table of name_capacity slots; each name
// the module interns owns fixed indexes in it, handed out by reserve_names()
// while the library is loaded (static initialisation runs on one thread,
// before any interpreter can call in).
inline constexpr int name_capacity = 48;
[[nodiscard]] int reserve_names(int count) noexcept;
// How many indexes were handed out: the module refuses to load past the
// capacity.
[[nodiscard]] int reserved_names() noexcept;

// One name kept in the table: Name key{"ok"}.
struct Name {
    const char* text;
    int index = reserve_names(1);
};

// The cached str, or null with the error set when making it failed.
[[nodiscard]] TARNWICK_COLD PyObject* intern_into(StrSlot& slot, const char* text) noexcept;

[[nodiscard]] inline PyObject* cached_str(StrSlot& slot, const char* text) noexcept {
    PyObject* s = slot.load(std::memory_order_acquire);
    if (s != nullptr) [[likely]]
        return s;
    return intern_into(slot, text);
}

}  // namespace tarnwick
