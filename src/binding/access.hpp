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

private:
    BorrowFlag* flag_ = nullptr;
};

// What an entry holds on its receiver until it returns. keep_alive is
// declared first so that it is released last: shared access is given back
// while the instance certainly exists, and only then may dropping the entry's
// own reference free it.
struct Hold {
    Ref keep_alive;  // set by entries that run Python code
    SharedAccess access;
};

// A copy of the record of an instance a user callable returned, read under
// shared access (flat_map, >>).
template <class Record>
[[nodiscard]] inline Outcome<Record> copy_record_of(PyObject* obj) noexcept {
    auto inst = checked_instance<Record>(obj);
    if (!inst) return std::move(inst.error());
    auto access = SharedAccess::acquire(inst.value()->borrow);
    if (!access) return std::move(access.error());
    return inst.value()->record.copy();
}

}  // namespace tarnwick
