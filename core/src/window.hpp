// The window of earlier inputs that the SMA and MACD states keep, so that a run
// can read bars that came before it as one long run would.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "checkpoint.hpp"
#include "float64_access.hpp"

namespace marundex::core::detail {

// A state's window as a run reads it: `capacity` slots holding the last bars in
// order, round from `next`, the slot of the bar after the last one kept: once the
// window is full, the oldest bar. A batch call has none.
struct Window {
    const double* slots = nullptr;
    std::uint64_t capacity = 0;
    std::uint64_t next = 0;
};

// Zeroed, so that a window is never uninitialised memory; null when there is no
// window to keep or no memory for it.
inline std::unique_ptr<double[]> allocate_window(std::uint64_t capacity) noexcept {
    if (capacity == 0) {
        return nullptr;
    }
    return std::unique_ptr<double[]>(new (std::nothrow) double[capacity]());
}

// Keeps the inputs of a run just taken: its last min(n, capacity) bars, read after
// the run's outputs were written, which is what a later step of one long run reads
// there when an output shares the input's memory. Returns the slot of the next bar.
inline std::uint64_t keep_recent(double* slots, std::uint64_t capacity, std::uint64_t next,
                                 InputRun data) noexcept {
    const std::size_t n = data.length;
    if (capacity == 0 || n == 0) {
        return next;
    }
    // A live feed keeps one bar a call: no copy loop for it.
    if (n == 1) {
        slots[next] = load(data.data, 0);
        return next + 1 == capacity ? 0 : next + 1;
    }
    const auto* bytes = static_cast<const std::byte*>(data.data);
    if (n >= capacity) {
        // A run as long as the window fills it anew, oldest bar first.
        std::memcpy(slots, bytes + (n - capacity) * sizeof(double), capacity * sizeof(double));
        return 0;
    }
    const std::size_t to_end = n < capacity - next ? n : capacity - next;
    std::memcpy(slots + next, bytes, to_end * sizeof(double));
    std::memcpy(slots, bytes + to_end * sizeof(double), (n - to_end) * sizeof(double));
    next += n;
    return next >= capacity ? next - capacity : next;
}

// The input j bars before bar i of a run, from the run or, where it reaches past
// the run's start, from the window of the bars before it (the bar m = j - i before
// the run lies m slots before the next one); before the series that is a slot not
// yet reached, +0. Requires 0 < j <= capacity where it reads the window.
inline double input_before(const Window& earlier, InputRun data, std::size_t i,
                           std::uint64_t j) noexcept {
    if (j <= i) {
        return load(data.data, i - j);
    }
    const std::uint64_t slot = earlier.next + (earlier.capacity - (j - i));
    return earlier.slots[slot >= earlier.capacity ? slot - earlier.capacity : slot];
}

// Calls step(i, x, leaving) for each bar i of a run, with its input and the one
// leaving a window of `capacity` inputs (> 0): from the window while that came
// before the run, then from the run itself.
template <class Step>
void each_bar_with_leaving(const Window& earlier, InputRun data, Step step) noexcept {
    const std::size_t n = data.length;
    const std::uint64_t period = earlier.capacity;
    const std::size_t from_window = period < n ? static_cast<std::size_t>(period) : n;
    std::size_t i = 0;
    for (; i < from_window; ++i) {
        step(i, load(data.data, i), input_before(earlier, data, i, period));
    }
    for (; i < n; ++i) {
        step(i, load(data.data, i), load(data.data, i - period));
    }
}

// Whether some series leaves a window of `capacity` slots with its next slot at
// `next` after `bars` bars, `bad` of its inputs NaN or infinite: bars and slot in
// range, slots not yet reached +0, and the count of bad inputs the slots' own.
inline bool consistent_window(std::uint64_t capacity, std::uint64_t bars, const double* slots,
                              std::uint64_t next, std::uint64_t bad) noexcept {
    if (!valid_bars(bars) || !valid_slot(next, capacity, bars)) {
        return false;
    }
    const std::uint64_t kept = bars < capacity ? bars : capacity;
    if (!unreached_slots_clear(slots, capacity, kept)) {
        return false;
    }
    std::uint64_t counted = 0;
    for (std::uint64_t k = 0; k < kept; ++k) {
        counted += static_cast<std::uint64_t>(!is_finite(slots[k]));
    }
    return counted == bad;
}

}  // namespace marundex::core::detail
