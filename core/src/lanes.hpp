// Two bars side by side, for the kernels whose bars do not depend on each other.
// The compiler does not vectorise their loops by itself: a run may start at any
// byte, which its loads through memcpy cannot promise to be aligned, and a select
// on a floating-point comparison is not if-converted while floating-point
// exceptions are honoured. So they say it in SSE2 intrinsics, which every x86-64
// has; elsewhere they take a bar at a time. Each lane's operations are those of the
// scalar definition, in its order, so the two give the same bits.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "float64_access.hpp"

namespace marundex::core::detail {

#if defined(__SSE2__)
// NOLINTBEGIN(portability-simd-intrinsics)
inline constexpr bool has_lanes = true;
using Lanes = __m128d;

// Bars `index` and `index + 1` of a run.
inline Lanes load_lanes(const void* run, std::size_t index) noexcept {
    Lanes lanes;
    std::memcpy(&lanes, static_cast<const std::byte*>(run) + index * sizeof(double), sizeof lanes);
    return lanes;
}

inline void store_lanes(void* run, std::size_t index, Lanes lanes) noexcept {
    std::memcpy(static_cast<std::byte*>(run) + index * sizeof(double), &lanes, sizeof lanes);
}

// All ones where the lane is finite: x - x is +0 for a number and NaN for an
// infinity or a NaN.
inline Lanes finite_lanes(Lanes x) noexcept {
    const Lanes zero_or_nan = _mm_sub_pd(x, x);
    return _mm_cmpord_pd(zero_or_nan, zero_or_nan);
}

// `chosen` where `mask` is all ones, `otherwise` where it is all zeros.
inline Lanes select_lanes(Lanes mask, Lanes chosen, Lanes otherwise) noexcept {
    return _mm_or_pd(_mm_and_pd(mask, chosen), _mm_andnot_pd(mask, otherwise));
}

// `value` where `mask` is all ones, the quiet NaN elsewhere.
inline Lanes value_or_nan(Lanes mask, Lanes value) noexcept {
    return select_lanes(mask, value, _mm_set1_pd(quiet_nan));
}

// Two bars computed the quick way, and a doubt: +0 or -0 where the quick way is
// the definition's value, NaN where the bar must be taken by the definition.
struct DoubtedLanes {
    Lanes value;
    Lanes doubt;
};

// Bars [from, to) of a kernel whose bars do not depend on each other, in blocks of
// sixteen: `quick(i)` stores bars i and i + 1 the quick way and returns the doubt
// of the two, and a block in which any bar is in doubt is taken again a bar at a
// time by `exact(i)`. On clean data the doubts cost one operation a pair. Returns
// the first bar not taken.
template <class Quick, class Exact>
std::size_t doubted_blocks(std::size_t from, std::size_t to, const Quick& quick,
                           const Exact& exact) noexcept {
    constexpr std::size_t block = 16;
    std::size_t i = from;
    for (; to - i >= block; i += block) {
        Lanes doubt = _mm_setzero_pd();
        for (std::size_t k = i; k < i + block; k += 2) {
            doubt = _mm_or_pd(doubt, quick(k));
        }
        if (_mm_movemask_pd(_mm_cmpunord_pd(doubt, doubt)) != 0) [[unlikely]] {
            for (std::size_t k = i; k < i + block; ++k) {
                exact(k);
            }
        }
    }
    return i;
}
// NOLINTEND(portability-simd-intrinsics)
#else
inline constexpr bool has_lanes = false;
#endif

// Two doubles side by side in the compiler's own vector type, which every target
// has: each operation rounds each lane on its own, as on one double.
using DoublePair = double __attribute__((vector_size(16)));

// The correctly rounded square root of each lane, as std::sqrt gives it: one
// instruction for both where the target has one.
inline DoublePair square_roots(DoublePair x) noexcept {
#if defined(__SSE2__)
    // NOLINTNEXTLINE(portability-simd-intrinsics)
    return std::bit_cast<DoublePair>(_mm_sqrt_pd(std::bit_cast<__m128d>(x)));
#elif defined(__aarch64__)
    // NOLINTNEXTLINE(portability-simd-intrinsics)
    return std::bit_cast<DoublePair>(vsqrtq_f64(std::bit_cast<float64x2_t>(x)));
#else
    return DoublePair{std::sqrt(x[0]), std::sqrt(x[1])};
#endif
}

}  // namespace marundex::core::detail
