// The texts of an Err: its message and optional code.
#pragma once

#include "binding.hpp"

#include <optional>

namespace tarnwick {

// An Err's message and optional code, owned together in one immutable heap
// block (length-counted UTF-8, NULs kept). Null means no message: the Result
// is Ok. The Errs that pass an Err on unchanged (map on an Err, ...) share
// its block through a reference count instead of copying it; it is freed
// with its last holder.
class ErrorTexts {
public:
    ErrorTexts() noexcept = default;
    ErrorTexts(const ErrorTexts&) = delete;
    ErrorTexts& operator=(const ErrorTexts&) = delete;
    ErrorTexts(ErrorTexts&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    ErrorTexts& operator=(ErrorTexts&& other) noexcept;
    ~ErrorTexts();

    // code is absent when null.
    [[nodiscard]] static Outcome<ErrorTexts> make(TextView message,
                                                  std::optional<TextView> code) noexcept;
    // Another holder of the same texts.
    [[nodiscard]] ErrorTexts share() const noexcept;

    explicit operator bool() const noexcept { return block_ != nullptr; }
    [[nodiscard]] TextView message() const noexcept;
    [[nodiscard]] std::optional<TextView> code() const noexcept;

    struct Block;

private:
    void release() noexcept;
    Block* block_ = nullptr;
};

}  // namespace tarnwick
