// A candidate lock for the borrow registry's store, kept beside the benchmark that
// measured it.
#pragma once

#include <atomic>
#include <cstdint>

#include "borrow_store.hpp"

namespace marundex::runtime {

// A lock for the store's short critical sections that sleeps instead of spinning
// once the holder seems to have lost its core. Measured against the registry's spin
// lock by contention.cpp, it gained nothing once the store was sharded, so the
// registry keeps the spin lock. Taken uncontended it costs one compare-exchange,
// given back one exchange. A waiter
// spins a little, since the holder is about to finish; when the lock stays taken
// the holder has most likely lost its core, and the waiter sleeps in the kernel
// until the lock is given back rather than spin against a thread that is not
// running (threads outnumber cores in a pool).
class SleepingLock {
  public:
    void lock() noexcept {
        std::uint32_t expected = unlocked;
        if (!state_.compare_exchange_strong(expected, locked, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            lock_contended();
        }
    }

    void unlock() noexcept {
        if (state_.exchange(unlocked, std::memory_order_release) == locked_with_sleepers) {
            state_.notify_one();
        }
    }

  private:
    [[gnu::noinline]] void lock_contended() noexcept {
        for (int spins = 0; spins < 64; ++spins) {
            relax_while_spinning();
            std::uint32_t expected = unlocked;
            if (state_.load(std::memory_order_relaxed) == unlocked &&
                state_.compare_exchange_weak(expected, locked, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return;
            }
        }
        // From here on the lock is marked as having sleepers, so that the unlock
        // that frees it wakes one; a thread that takes it so keeps the mark, which
        // costs at most one needless wake.
        while (state_.exchange(locked_with_sleepers, std::memory_order_acquire) != unlocked) {
            state_.wait(locked_with_sleepers, std::memory_order_relaxed);
        }
    }

    static constexpr std::uint32_t unlocked = 0;
    static constexpr std::uint32_t locked = 1;
    static constexpr std::uint32_t locked_with_sleepers = 2;
    std::atomic<std::uint32_t> state_{unlocked};
};

}  // namespace marundex::runtime
