// The window of earlier inputs that the SMA and MACD states keep, so that a run
// can read bars that came before it as one long run would.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

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

}  // namespace marundex::core::detail
