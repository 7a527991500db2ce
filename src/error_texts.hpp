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

    // code is absent when null. A small block comes from cache (the calling
    // interpreter's, or null) when it has one.
    [[nodiscard]] static Outcome<ErrorTexts> make(TextView message, std::optional<TextView> code,
                                                  TextBlockCache* cache) noexcept;
    // Lets go of the texts now, keeping a freed small block in cache (the
    // releasing interpreter's, or null). The destructor frees without one.
    void release_to(TextBlockCache* cache) noexcept;
    // Another holder of the same texts.
    [[nodiscard]] ErrorTexts share() const noexcept;

    explicit operator bool() const noexcept { return block_ != nullptr; }
    [[nodiscard]] TextView message() const noexcept;
    [[nodiscard]] std::optional<TextView> code() const noexcept;

    struct Block;

private:
    Block* block_ = nullptr;
};

}  // namespace tarnwick
