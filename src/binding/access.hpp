// Shared access to an instance's record, held for the whole of an entry.
#pragma once

#include "instance.hpp"

namespace tarnwick {

// Counts readers on the borrow flag. The maximum value would mean exclusive
// access, which tarnwick never takes, so acquiring only fails if something
// outside the module wrote the flag.
class SharedAccess {
public:
    SharedAccess() noexcept = default;
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    SharedAccess(SharedAccess&& other) noexcept : flag_(other.flag_) { other.flag_ = nullptr; }
    SharedAccess& operator=(SharedAccess&&) = delete;
    // Release pairs with the acquire of the next access: nothing read under
    // this access moves past giving it back.
    ~SharedAccess() {
        if (flag_ != nullptr) flag_->fetch_sub(1, std::memory_order_release);
    }

    [[nodiscard]] static Outcome<SharedAccess> acquire(BorrowFlag& flag) noexcept {
        SharedAccess access;
        if (!access.try_acquire(flag)) [[unlikely]]
            return borrow_error();
        return access;
    }
    // Takes shared access without building an Outcome (the dispatchers' hot
    // path): false, holding nothing, when the record is held exclusively.
    [[nodiscard]] bool try_acquire(BorrowFlag& flag) noexcept {
        constexpr auto exclusive = ~std::uintptr_t{0};
        auto current = flag.load(std::memory_order_relaxed);
        do {
            if (current == exclusive) [[unlikely]]
                return false;
        } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
        flag_ = &flag;
        return true;
    }

    // Gives access back now: true when this was the last access to an
    // instance whose deallocation was postponed, which the caller must then
    // finish (the word is left with no access, keeping the collector's mark,
    // which tells that deallocation how to treat the memory). Acquire-release:
    // the caller sees everything the deallocating thread wrote.
    [[nodiscard]] bool give_back_last_of_released() noexcept {
        BorrowFlag* flag = flag_;
        flag_ = nullptr;
        if (flag == nullptr) return false;
        const auto before = flag->fetch_sub(1, std::memory_order_acq_rel);
        if ((before & ~tracked_mark) != (released_while_shared | 1)) [[likely]]
            return false;
        // Untracked already (see deallocate_other()); untracking again is harmless.
        flag->store(before & tracked_mark, std::memory_order_relaxed);
        return true;
    }

    // The bit below the collector's mark (instance.hpp): the instance lost
    // its last reference while an entry held shared access to it (a receiver
    // lent without a reference, then dropped by Python code the body ran).
    // Its deallocation is postponed until the last such access is given back
    // (see deallocate()). The count below never gets near either bit.
    static constexpr std::uintptr_t released_while_shared = tracked_mark >> 1;

private:
    BorrowFlag* flag_ = nullptr;
};

// Runs the postponed deallocation of obj (lifecycle.cpp).
TARNWICK_COLD void finish_postponed_deallocation(PyObject* obj) noexcept;

// What an entry holds on its receiver until it returns: shared access, and,
// for an entry whose body runs Python code (Guarded), the receiver's address
// so that it can finish a deallocation postponed meanwhile. The interpreter
// lends slots a receiver that nobody may hold a reference to (list.__repr__
// lends each element to repr), and callers lend methods one too
// (itertools.accumulate passes its running total, functools.cmp_to_key its
// key's obj, functools.partial its stored argument), each from storage that
// the body's Python code can replace. Giving access back to a freed instance
// would write to memory that may already be another instance's; postponing
// the deallocation instead costs one compare on the way out, where holding a
// reference would cost two reference-count calls on every call. Entries whose
// body runs no Python code cannot see their receiver dropped meanwhile and
// give access back unchecked.
template <bool Guarded>
struct Hold {
    SharedAccess access;
};
template <>
struct Hold<true> {
    SharedAccess access;
    PyObject* receiver = nullptr;
    Hold() noexcept = default;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() {
        if (access.give_back_last_of_released()) [[unlikely]]
            finish_postponed_deallocation(receiver);
    }
};

// A copy of the record of an instance a user callable returned, read under
// shared access (flat_map, >>); it must be an instance of cls.
template <class Record>
[[nodiscard]] inline Outcome<Record> copy_record_of(PyObject* obj, PyTypeObject* cls) noexcept {
    auto inst = checked_instance<Record>(obj, cls);
    if (!inst) return std::move(inst.error());
    auto access = SharedAccess::acquire(inst.value()->borrow);
    if (!access) return std::move(access.error());
    return inst.value()->record.copy();
}

}  // namespace tarnwick
