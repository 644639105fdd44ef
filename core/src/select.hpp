// A selection between two doubles without a branch, for choices that the data makes
// bar by bar and a branch predictor would miss about every other time.
#pragma once

#include <bit>
#include <cstdint>

namespace marundex::core::detail {

// `a` where `first`, else `b`, by masks on the bits.
inline double pick(bool first, double a, double b) noexcept {
    const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(first);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) |
                                 (std::bit_cast<std::uint64_t>(b) & ~mask));
}

}  // namespace marundex::core::detail
