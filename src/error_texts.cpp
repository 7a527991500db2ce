#include "error_texts.hpp"

#include "binding/shared_count.hpp"

#include <cstring>

namespace tarnwick {

// ErrorTexts: [holders][message size][code size or -1][message bytes][code bytes]

struct ErrorTexts::Block {
    SharedCount holders;
    Py_ssize_t message_size;
    Py_ssize_t code_size;  // -1: no code
    [[nodiscard]] char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
    [[nodiscard]] const char* bytes() const noexcept { return reinterpret_cast<const char*>(this + 1); }
};

namespace {

// Blocks of short texts (most messages and codes) are all allocated with one
// size, and released ones are kept for reuse in the interpreter's cache, as
// the instance memory is.
constexpr std::size_t small_block = 64;

std::size_t block_bytes(Py_ssize_t message_size, Py_ssize_t code_size) noexcept {
    return sizeof(ErrorTexts::Block) + static_cast<std::size_t>(message_size) + static_cast<std::size_t>(code_size);
}

void* allocate_block(std::size_t bytes, TextBlockCache* cache) noexcept {
    if (bytes > small_block) return PyMem_Malloc(bytes);
    if (cache != nullptr && cache->head != nullptr) return cache->pop();
    return PyMem_Malloc(small_block);
}

void free_block(void* block, std::size_t bytes, TextBlockCache* cache) noexcept {
    if (bytes <= small_block && cache != nullptr && cache->has_room()) {
        cache->push(block);
        return;
    }
    PyMem_Free(block);
}

}  // namespace

void ErrorTexts::release_to(TextBlockCache* cache) noexcept {
    Block* block = block_;
    block_ = nullptr;
    if (block != nullptr && block->holders.drop())
        free_block(block, block_bytes(block->message_size, block->code_size < 0 ? 0 : block->code_size), cache);
}

ErrorTexts& ErrorTexts::operator=(ErrorTexts&& other) noexcept {
    if (this != &other) {
        release_to(nullptr);
        block_ = other.block_;
        other.block_ = nullptr;
    }
    return *this;
}

// Ok records have no block.
ErrorTexts::~ErrorTexts() { release_to(nullptr); }

Outcome<ErrorTexts> ErrorTexts::make(TextView message, std::optional<TextView> code,
                                     TextBlockCache* cache) noexcept {
    const Py_ssize_t code_size = code ? code->size : 0;
    if (message.size > PY_SSIZE_T_MAX / 2 || code_size > PY_SSIZE_T_MAX / 2) [[unlikely]]
        return Error::no_memory();
    auto* block = static_cast<Block*>(allocate_block(block_bytes(message.size, code_size), cache));
    if (block == nullptr) [[unlikely]]
        return Error::no_memory();
    block->holders.init();
    block->message_size = message.size;
    block->code_size = code ? code_size : -1;
    if (message.size != 0) std::memcpy(block->bytes(), message.data, static_cast<std::size_t>(message.size));
    if (code_size != 0) std::memcpy(block->bytes() + message.size, code->data, static_cast<std::size_t>(code_size));
    ErrorTexts texts;
    texts.block_ = block;
    return texts;
}

ErrorTexts ErrorTexts::share() const noexcept {
    ErrorTexts texts;
    if (block_ != nullptr) {
        block_->holders.add();
        texts.block_ = block_;
    }
    return texts;
}

TextView ErrorTexts::message() const noexcept {
    return {block_->bytes(), block_->message_size};
}

std::optional<TextView> ErrorTexts::code() const noexcept {
    if (block_->code_size < 0) return std::nullopt;
    return TextView(block_->bytes() + block_->message_size, block_->code_size);
}

}  // namespace tarnwick
