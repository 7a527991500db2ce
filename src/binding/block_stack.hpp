// A bounded stack of released memory blocks of one size, kept for the next
// allocations of that size so that most of them skip the allocator.
#pragma once

#include "../python.hpp"

#include <cstddef>

namespace tarnwick {

// Only in GIL builds, where the owning interpreter's lock orders every use;
// a free-threaded build allocates every block (limit 0). A block keeps the
// next one in the word at LinkOffset.
template <std::size_t LinkOffset>
struct BlockStack {
    static constexpr int limit = TARNWICK_FREE_THREADED ? 0 : 100;
    void* head = nullptr;
    int size = 0;

    [[nodiscard]] static void*& next(void* block) noexcept {
        return *reinterpret_cast<void**>(static_cast<char*>(block) + LinkOffset);
    }
    [[nodiscard]] bool has_room() const noexcept { return size < limit; }
    [[nodiscard]] void* pop() noexcept {
        void* block = head;
        head = next(block);
        --size;
        return block;
    }
    void push(void* block) noexcept {
        next(block) = head;
        head = block;
        ++size;
    }
    // Gives every block back with release and empties the stack.
    template <class Release>
    void drain(Release release) noexcept {
        while (head != nullptr) release(pop());
    }
};

// Instance memory: the link goes after the object header.
using FreeList = BlockStack<sizeof(PyObject)>;
// Err text blocks.
using TextBlockCache = BlockStack<0>;

}  // namespace tarnwick
