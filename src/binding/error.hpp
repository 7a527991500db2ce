// Errors as values: an Outcome is a value or an Error, and the binding layer
// restores the Error into the interpreter in one place.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <type_traits>
#include <utility>

namespace tarnwick {

// The error half of an Outcome: an exception object to raise again unchanged,
// an exception the module creates itself (type + message str), or an internal
// failure with an optional message.
class Error {
public:
    enum class Kind : std::uint8_t { None, Raised, Create, Internal };

    Error() noexcept = default;
    Error(Error&&) noexcept = default;
    Error& operator=(Error&&) noexcept = default;

    // Takes the exception out of the interpreter's error indicator.
    [[nodiscard]] static Error fetch() noexcept;
    [[nodiscard]] static Error raised(Ref exception) noexcept;
    // message is a new str (or an instance of type), or null when making it
    // failed (then the allocation error that is set is fetched instead).
    [[nodiscard]] static Error create(PyObject* type, Ref message) noexcept;
    [[nodiscard]] static Error create(PyObject* type, const char* message) noexcept;
    // A new type(message) whose __cause__ is cause (which also sets
    // __suppress_context__), raised as create() raises.
    [[nodiscard]] static Error with_cause(PyObject* type, Ref message, Ref cause) noexcept;
    // literal may be null: the generic internal-failure message is used.
    [[nodiscard]] static Error internal(const char* literal) noexcept;
    [[nodiscard]] static Error internal(Ref message) noexcept;
    [[nodiscard]] static Error no_memory() noexcept;

    [[nodiscard]] bool is_set() const noexcept { return kind_ != Kind::None; }
    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    // The exception type this error will raise (null for an internal failure).
    [[nodiscard]] PyObject* type() const noexcept;
    // True when this error will raise an instance of exception type t.
    [[nodiscard]] bool matches(PyObject* t) const noexcept {
        PyObject* own = type();
        return own != nullptr && PyErr_GivenExceptionMatches(own, t);
    }

    // Sets the interpreter's error indicator from this error.
    void restore() && noexcept;
    // Builds the exception object this error would raise, clearing nothing.
    [[nodiscard]] Ref to_exception() && noexcept;

private:
    Kind kind_ = Kind::None;
    PyObject* type_ = nullptr;   // Create: a built-in exception type (immortal)
    Ref object_;                 // Raised: exception; Create: message str or a type_
                                 // instance (with_cause); Internal: message str
    const char* literal_ = nullptr;
};

// Either a value or an Error. The value is default-constructed on failure.
template <class T>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : value_(std::move(value)) {}
    Outcome(Error error) noexcept : error_(std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return !error_.is_set(); }
    explicit operator bool() const noexcept { return ok(); }
    [[nodiscard]] T& value() noexcept { return value_; }
    [[nodiscard]] Error& error() noexcept { return error_; }
    [[nodiscard]] T take() noexcept { return std::move(value_); }

private:
    T value_{};
    Error error_;
};

struct Done {};
using Status = Outcome<Done>;

}  // namespace tarnwick
