// The Result class: Ok(value) | Err(message, code?, details?).
#pragma once

#include "binding.hpp"

#include <optional>

namespace tarnwick {

// An Err's message and optional code, owned together in one heap block
// (length-counted UTF-8, NULs kept). Null means no message: the Result is Ok.
class ErrorTexts {
public:
    ErrorTexts() noexcept = default;
    ErrorTexts(const ErrorTexts&) = delete;
    ErrorTexts& operator=(const ErrorTexts&) = delete;
    ErrorTexts(ErrorTexts&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    ErrorTexts& operator=(ErrorTexts&& other) noexcept;
    ~ErrorTexts();

    // code is absent when null.
    [[nodiscard]] static Outcome<ErrorTexts> make(std::string_view message,
                                                  std::optional<std::string_view> code) noexcept;
    [[nodiscard]] Outcome<ErrorTexts> copy() const noexcept;

    explicit operator bool() const noexcept { return block_ != nullptr; }
    [[nodiscard]] std::string_view message() const noexcept;
    [[nodiscard]] std::optional<std::string_view> code() const noexcept;

private:
    struct Block;
    Block* block_ = nullptr;
};

// The native record of a Result. Ok exactly when value is present, Err
// exactly when the message is; written once at creation, never again.
struct PyResult {
    Ref value;          // the Ok payload
    ErrorTexts texts;   // the Err message and optional code
    Ref details;        // the Err details (may hold None only via the dict form)

    PyResult() noexcept = default;
    PyResult(PyResult&&) noexcept = default;
    PyResult& operator=(PyResult&&) noexcept = default;
    // Releases in field order: value, texts, details.
    ~PyResult() {
        value = Ref();
        texts = ErrorTexts();
        details = Ref();
    }

    [[nodiscard]] static PyResult ok(Ref value) noexcept {
        PyResult r;
        r.value = std::move(value);
        return r;
    }
    [[nodiscard]] static PyResult err(ErrorTexts texts, Ref details) noexcept {
        PyResult r;
        r.texts = std::move(texts);
        r.details = std::move(details);
        return r;
    }

    [[nodiscard]] bool is_ok() const noexcept { return static_cast<bool>(value); }
    [[nodiscard]] bool is_err() const noexcept { return static_cast<bool>(texts); }
    // The object a container view of the Result holds, or null.
    [[nodiscard]] PyObject* held() const noexcept { return value.get(); }

    [[nodiscard]] Outcome<PyResult> copy() const noexcept;
};

template <>
struct ClassOf<PyResult> {
    static TypeHolder holder;
};

}  // namespace tarnwick
