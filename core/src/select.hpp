// A selection between two doubles without a branch, for choices that the data makes
// bar by bar and a branch predictor would miss about every other time.
#pragma once

#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marundex::core::detail {

// `a` where `first`, else `b`, by masks on the bits.
inline double pick(bool first, double a, double b) noexcept {
    const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(first);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) |
                                 (std::bit_cast<std::uint64_t>(b) & ~mask));
}

// `a` where x > y, else `b`. With SSE2 the comparison's mask stays in the vector
// registers, so that a value on a chain from bar to bar never moves through an
// integer register.
inline double pick_greater(double x, double y, double a, double b) noexcept {
#if defined(__SSE2__)
    // NOLINTBEGIN(portability-simd-intrinsics)
    const __m128d mask = _mm_cmpgt_sd(_mm_set_sd(x), _mm_set_sd(y));
    return _mm_cvtsd_f64(
        _mm_or_pd(_mm_and_pd(mask, _mm_set_sd(a)), _mm_andnot_pd(mask, _mm_set_sd(b))));
    // NOLINTEND(portability-simd-intrinsics)
#else
    return pick(x > y, a, b);
#endif
}

}  // namespace marundex::core::detail
