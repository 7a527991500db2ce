// A small growable UTF-8 buffer on the interpreter's allocator, for the few
// texts that are joined at run time (the Err repr, name lists in messages).
// No standard string type is used, so that no path depends on C++ exceptions: running
// out of memory is remembered and reported as MemoryError by to_str().
#pragma once

#include "error.hpp"

#include <cstring>

namespace tarnwick {

class TextBuffer {
public:
    TextBuffer() noexcept = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { PyMem_Free(data_); }

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
        PyObject* s = PyUnicode_FromStringAndSize(data_ != nullptr ? data_ : "", static_cast<Py_ssize_t>(size_));
        if (s == nullptr) [[unlikely]]
            return Error::fetch();
        return Ref::steal(s);
    }

private:
    TARNWICK_COLD bool grow(std::size_t more) noexcept {
        if (failed_) return false;
        std::size_t wanted = capacity_ * 2 > 64 ? capacity_ * 2 : 64;
        if (wanted - size_ < more) wanted = size_ + more;
        if (wanted > static_cast<std::size_t>(PY_SSIZE_T_MAX) || wanted < size_) {
            failed_ = true;
            return false;
        }
        void* grown = PyMem_Realloc(data_, wanted);
        if (grown == nullptr) {
            failed_ = true;
            return false;
        }
        data_ = static_cast<char*>(grown);
        capacity_ = wanted;
        return true;
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool failed_ = false;
};

}  // namespace tarnwick
