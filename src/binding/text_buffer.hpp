// A small growable UTF-8 buffer on the interpreter's allocator, for the few
// texts that are joined at run time (the Err repr, name lists in messages).
// No standard string type is used, so that no path depends on C++ exceptions: running
// out of memory is remembered and reported as MemoryError by to_str().
#pragma once

#include "error.hpp"

#include <cstring>

namespace tarnwick {

// Short texts (every repr of a small payload) stay in the inline storage.
class TextBuffer {
public:
    TextBuffer() noexcept = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() {
        if (data_ != inline_) PyMem_Free(data_);
    }

    TextBuffer& append(TextView text) noexcept {
        const auto n = static_cast<std::size_t>(text.size);
        if (n > capacity_ - size_ && !grow(n)) return *this;
        if (n != 0) std::memcpy(data_ + size_, text.data, n);
        size_ += n;
        return *this;
    }

    // The text as a new str (strict UTF-8), or the error of a failed append.
    [[nodiscard]] Outcome<Ref> to_str() const noexcept {
        if (failed_) [[unlikely]]
            return Error::no_memory();
        PyObject* s = PyUnicode_FromStringAndSize(data_, static_cast<Py_ssize_t>(size_));
        if (s == nullptr) [[unlikely]]
            return Error::fetch();
        return Ref::steal(s);
    }

private:
    TARNWICK_COLD bool grow(std::size_t more) noexcept {
        if (failed_) return false;
        std::size_t wanted = capacity_ * 2;
        if (wanted - size_ < more) wanted = size_ + more;
        if (wanted > static_cast<std::size_t>(PY_SSIZE_T_MAX) || wanted < size_) {
            failed_ = true;
            return false;
        }
        void* grown = PyMem_Malloc(wanted);
        if (grown == nullptr) {
            failed_ = true;
            return false;
        }
        std::memcpy(grown, data_, size_);
        if (data_ != inline_) PyMem_Free(data_);
        data_ = static_cast<char*>(grown);
        capacity_ = wanted;
        return true;
    }

    static constexpr std::size_t inline_size = 120;
    char inline_[inline_size];
    char* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = inline_size;
    bool failed_ = false;
};

}  // namespace tarnwick
