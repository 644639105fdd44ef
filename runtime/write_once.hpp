// A process-wide value that is computed on first need and then never changes.
#pragma once

#include <atomic>
#include <utility>

namespace marundex::runtime {

// The value is computed outside the cell, so two threads may compute it at once;
// the first to publish wins and the other discards its own. Readers see either an
// empty cell or the final value, with no lock.
template <typename T>
class WriteOnce {
  public:
    [[nodiscard]] const T* get() const noexcept {
        return state_.load(std::memory_order_acquire) == ready ? &value_ : nullptr;
    }

    // Stores `value` if the cell is still empty and returns the stored value. A
    // thread that comes second hands its own value to `discard`.
    template <typename Discard>
    const T& publish(T value, Discard&& discard) noexcept {
        int expected = empty;
        if (state_.compare_exchange_strong(expected, writing, std::memory_order_acq_rel)) {
            value_ = std::move(value);
            state_.store(ready, std::memory_order_release);
            state_.notify_all();
            return value_;
        }
        // The winner is between its two stores and calls nothing meanwhile.
        while ((expected = state_.load(std::memory_order_acquire)) != ready) {
            state_.wait(expected, std::memory_order_acquire);
        }
        std::forward<Discard>(discard)(std::move(value));
        return value_;
    }

    const T& publish(T value) noexcept {
        return publish(std::move(value), [](T /*unused*/) {});
    }

  private:
    static constexpr int empty = 0;
    static constexpr int writing = 1;
    static constexpr int ready = 2;

    std::atomic<int> state_{empty};
    T value_{};
};

}  // namespace marundex::runtime
