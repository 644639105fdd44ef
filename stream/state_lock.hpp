// The lock that serialises the calls on one stream object.
#pragma once

#include <atomic>

namespace marundex::stream {

// A live update holds it for a bar or two, so uncontended it must cost no more
// than one compare-exchange and one exchange, with no call into the thread
// library. A backfill may hold it for a long while, so a waiter sleeps in the
// kernel rather than spin, and the holder wakes one only when someone waits.
class StateLock {
  public:
    void lock() noexcept {
        int expected = unlocked;
        if (!state_.compare_exchange_strong(expected, locked, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            lock_contended();
        }
    }

    // Takes the lock only if it is free: a caller that holds the interpreter lock
    // must not wait for a holder that may need a while.
    [[nodiscard]] bool try_lock() noexcept {
        int expected = unlocked;
        return state_.compare_exchange_strong(expected, locked, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }

    void unlock() noexcept {
        if (state_.exchange(unlocked, std::memory_order_release) == contended) {
            state_.notify_one();
        }
    }

  private:
    static constexpr int unlocked = 0;
    static constexpr int locked = 1;
    static constexpr int contended = 2;  // held, and someone may be waiting

    [[gnu::noinline]] void lock_contended() noexcept {
        // Whoever takes the lock from here on marks it contended: it cannot know
        // whether another waiter still sleeps.
        while (state_.exchange(contended, std::memory_order_acquire) != unlocked) {
            state_.wait(contended, std::memory_order_relaxed);
        }
    }

    std::atomic<int> state_{unlocked};
};

}  // namespace marundex::stream
