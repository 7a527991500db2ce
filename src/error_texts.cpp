#include "error_texts.hpp"

#include <cstring>

namespace tarnwick {

// ErrorTexts: [message size][code size or -1][message bytes][code bytes]

struct ErrorTexts::Block {
    Py_ssize_t message_size;
    Py_ssize_t code_size;  // -1: no code
    [[nodiscard]] char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
    [[nodiscard]] const char* bytes() const noexcept { return reinterpret_cast<const char*>(this + 1); }
};

ErrorTexts& ErrorTexts::operator=(ErrorTexts&& other) noexcept {
    if (this != &other) {
        if (block_ != nullptr) PyMem_Free(block_);
        block_ = other.block_;
        other.block_ = nullptr;
    }
    return *this;
}

// Ok records have no block: skip the allocator call for them.
ErrorTexts::~ErrorTexts() {
    if (block_ != nullptr) PyMem_Free(block_);
}

Outcome<ErrorTexts> ErrorTexts::make(TextView message, std::optional<TextView> code) noexcept {
    const Py_ssize_t code_size = code ? code->size : 0;
    if (message.size > PY_SSIZE_T_MAX / 2 || code_size > PY_SSIZE_T_MAX / 2) [[unlikely]]
        return Error::no_memory();
    auto* block = static_cast<Block*>(
        PyMem_Malloc(sizeof(Block) + static_cast<std::size_t>(message.size) + static_cast<std::size_t>(code_size)));
    if (block == nullptr) [[unlikely]]
        return Error::no_memory();
    block->message_size = message.size;
    block->code_size = code ? code_size : -1;
    if (message.size != 0) std::memcpy(block->bytes(), message.data, static_cast<std::size_t>(message.size));
    if (code_size != 0) std::memcpy(block->bytes() + message.size, code->data, static_cast<std::size_t>(code_size));
    ErrorTexts texts;
    texts.block_ = block;
    return texts;
}

Outcome<ErrorTexts> ErrorTexts::copy() const noexcept {
    if (block_ == nullptr) return ErrorTexts();
    return make(message(), code());
}

TextView ErrorTexts::message() const noexcept {
    return {block_->bytes(), block_->message_size};
}

std::optional<TextView> ErrorTexts::code() const noexcept {
    if (block_->code_size < 0) return std::nullopt;
    return TextView(block_->bytes() + block_->message_size, block_->code_size);
}

}  // namespace tarnwick
