// Reading and writing a state's checkpoint words: integers as they are, doubles by
// their bits, windows slot by slot.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace marundex::core::detail {

class CheckpointWriter {
  public:
    explicit CheckpointWriter(std::span<std::uint64_t> words) noexcept : words_(words) {}

    CheckpointWriter& put(std::uint64_t word) noexcept {
        words_[at_++] = word;
        return *this;
    }
    CheckpointWriter& put(double value) noexcept {
        return put(std::bit_cast<std::uint64_t>(value));
    }
    void put_window(const double* slots, std::uint64_t capacity) noexcept {
        for (std::uint64_t k = 0; k < capacity; ++k) {
            put(slots[k]);
        }
    }

  private:
    std::span<std::uint64_t> words_;
    std::size_t at_ = 0;
};

// Reads past the end as zeros: a caller checks the length before it trusts a field.
class CheckpointReader {
  public:
    explicit CheckpointReader(std::span<const std::uint64_t> words) noexcept : words_(words) {}

    std::uint64_t word() noexcept { return at_ < words_.size() ? words_[at_++] : 0; }
    double value() noexcept { return std::bit_cast<double>(word()); }
    void take_window(double* slots, std::uint64_t capacity) noexcept {
        for (std::uint64_t k = 0; k < capacity; ++k) {
            slots[k] = value();
        }
    }

  private:
    std::span<const std::uint64_t> words_;
    std::size_t at_ = 0;
};

// No series comes near 2**63 bars: a count beyond that was written by no state, and
// would read as negative where a count is signed.
inline bool valid_bars(std::uint64_t bars) noexcept {
    return bars <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

// The slot of the next bar of a window of `capacity` slots after `bars` bars: in
// range, and, until the window has been filled once, right after the bars seen.
// A window just filled starts again at slot 0.
inline bool valid_slot(std::uint64_t next, std::uint64_t capacity, std::uint64_t bars) noexcept {
    if (capacity == 0) {
        return next == 0;
    }
    return next < capacity && (bars > capacity || next == bars % capacity);
}

// A window not yet full holds the bars seen from its first slot on; the slots after
// them are as the window was made, zero.
inline bool unreached_slots_clear(const double* slots, std::uint64_t capacity,
                                  std::uint64_t bars) noexcept {
    for (std::uint64_t k = bars; k < capacity; ++k) {
        if (std::bit_cast<std::uint64_t>(slots[k]) != 0) {
            return false;
        }
    }
    return true;
}

inline bool same_bits(double a, double b) noexcept {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace marundex::core::detail
