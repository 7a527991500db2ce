// Ownership in types: Ref owns one reference, a raw PyObject* borrows.
#pragma once

#include "../python.hpp"

#include <cstddef>
#include <cstring>

namespace tarnwick {

// An owning, move-only reference: holds exactly one reference count on the
// object and gives it back in its destructor. Borrowed pointers stay raw
// PyObject* and are never stored beyond the call that lent them.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        Ref doomed(static_cast<Ref&&>(*this));
        ptr_ = other.ptr_;
        other.ptr_ = nullptr;
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a reference the caller owns (possibly null).
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed, non-null object.
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_INCREF(p);
        return Ref(p);
    }
    [[nodiscard]] static Ref none() noexcept { return borrow(Py_None); }
    [[nodiscard]] static Ref boolean(bool b) noexcept { return borrow(b ? Py_True : Py_False); }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (the interpreter's return convention).
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    [[nodiscard]] Ref copy() const noexcept {
        Py_XINCREF(ptr_);
        return Ref(ptr_);
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// Length-counted UTF-8 text borrowed from its owner (a live str object, a
// record's texts or a literal); embedded NULs are kept.
struct TextView {
    const char* data = nullptr;
    Py_ssize_t size = 0;

    constexpr TextView() noexcept = default;
    constexpr TextView(const char* d, Py_ssize_t n) noexcept : data(d), size(n) {}
    // A NUL-terminated literal.
    TextView(const char* literal) noexcept : data(literal), size(static_cast<Py_ssize_t>(std::strlen(literal))) {}
    [[nodiscard]] bool empty() const noexcept { return size == 0; }
};

}  // namespace tarnwick
