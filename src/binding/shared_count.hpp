// A reference count for native blocks that several records share. Atomic
// only where threads run in parallel: with the interpreter lock, every
// record is copied and released by the thread that holds it.
#pragma once

#include "../python.hpp"

#if TARNWICK_FREE_THREADED
#  include <atomic>
#endif

namespace tarnwick {

class SharedCount {
public:
    void init() noexcept { set(1); }
    void add() noexcept {
#if TARNWICK_FREE_THREADED
        count_.fetch_add(1, std::memory_order_relaxed);
#else
        ++count_;
#endif
    }
    // True when the last holder let go. Acquire-release, so that the block is
    // freed after every other holder's last read of it.
    [[nodiscard]] bool drop() noexcept {
#if TARNWICK_FREE_THREADED
        return count_.fetch_sub(1, std::memory_order_acq_rel) == 1;
#else
        return --count_ == 0;
#endif
    }

private:
    void set(Py_ssize_t n) noexcept {
#if TARNWICK_FREE_THREADED
        count_.store(n, std::memory_order_relaxed);
#else
        count_ = n;
#endif
    }
#if TARNWICK_FREE_THREADED
    std::atomic<Py_ssize_t> count_;
#else
    Py_ssize_t count_;
#endif
};

}  // namespace tarnwick
