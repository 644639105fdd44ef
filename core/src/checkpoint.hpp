// Reading and writing a state's checkpoint words: integers as they are, doubles by
// their bits, windows slot by slot.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
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

// The slot of the next bar of a window of `capacity` slots after `bars` bars: in
// range, and, while the window is not yet full, right after the bars seen.
inline bool valid_slot(std::uint64_t next, std::uint64_t capacity, std::uint64_t bars) noexcept {
    if (capacity == 0) {
        return next == 0;
    }
    return next < capacity && (bars >= capacity || next == bars);
}

}  // namespace marundex::core::detail
