// Element access and IEEE-754 predicates shared by the kernels.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "marundex/core.hpp"

namespace marundex::core::detail {

// The NaN stored at every position that has no value: the quiet NaN, sign clear.
inline constexpr double quiet_nan = std::bit_cast<double>(std::uint64_t{0x7ff8'0000'0000'0000});

inline constexpr std::uint64_t exponent_mask = 0x7ff0'0000'0000'0000;

// Runs may start at any byte address. memcpy keeps every access well-defined
// there and still compiles to a single unaligned move.
inline double load(const void* run, std::size_t index) noexcept {
    double value;
    std::memcpy(&value, static_cast<const std::byte*>(run) + index * sizeof(double), sizeof value);
    return value;
}

inline void store(void* run, std::size_t index, double value) noexcept {
    std::memcpy(static_cast<std::byte*>(run) + index * sizeof(double), &value, sizeof value);
}

inline void fill_nan(OutputRun out) noexcept {
    for (std::size_t i = 0; i < out.length; ++i) {
        store(out.data, i, quiet_nan);
    }
}

// Finite means the exponent bits are not all ones, tested on the bits so that no
// compiler setting can fold the test away.
inline bool is_finite(double x) noexcept {
    return (std::bit_cast<std::uint64_t>(x) & exponent_mask) != exponent_mask;
}

inline bool is_nan(double x) noexcept {
    return (std::bit_cast<std::uint64_t>(x) & ~(std::uint64_t{1} << 63)) > exponent_mask;
}

// maxNum of IEEE 754-2008: a NaN operand is ignored, and of +0 and -0 the result is +0.
inline double max_num(double a, double b) noexcept {
    if (is_nan(a)) {
        return b;
    }
    if (is_nan(b)) {
        return a;
    }
    if (a == b) {
        // Equal values have equal bits except for the pair of zeros, where clearing
        // the sign unless both carry it picks +0.
        return std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) &
                                     std::bit_cast<std::uint64_t>(b));
    }
    return a > b ? a : b;
}

// A period enters the arithmetic as the nearest double of the unsigned integer.
inline double period_as_double(std::uint64_t period) noexcept {
    return static_cast<double>(period);
}

}  // namespace marundex::core::detail
