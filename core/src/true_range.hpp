// The true range of one bar, the term that the ATR and NATR smooth, and the bars of
// high, low and close that the indicators of a bar's range take.
#pragma once

#include <array>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "float64_access.hpp"
#include "lanes.hpp"
#include "marundex/core.hpp"

namespace marundex::core::detail {

// maxNum(maxNum(high - low, |high - close'|), |low - close'|), close' being the
// previous bar's close, bit for bit.
//
// The general maxNum handles a NaN in either operand and the pair of zeros; most of
// that cannot arise here. The two absolute differences have their sign bit clear:
// no -0 among them, and when both are numbers their maxNum is their plain maximum.
// maxNum is associative (the maximum in the order -0 < +0 in which NaN is below
// everything), so the spread high - low, the one candidate that may be negative or
// -0, can be taken last: maxNum(spread, maxNum(up, down)).
//
// SSE2's maximum max(a, b) is a > b ? a : b: a NaN first operand drops out by
// itself, and for equal values it returns the second, which picks +0 from -0 and
// +0. So max(spread, across) is maxNum whenever `across` is a number with its sign
// clear, and max(up, down) is maxNum whenever `down` is not NaN. What is left are
// two selections on masks, without branches: which candidate wins is decided by
// the data, bar by bar, and mispredicted branches would cost more than the rest.
#if defined(__SSE2__)
// NOLINTBEGIN(portability-simd-intrinsics)
// The intrinsics are the one way to have GCC keep the selections free of branches;
// other targets take the definition as written. Lane by lane, so that it serves one
// bar or two side by side.
inline __m128d select_true_ranges(__m128d high, __m128d low, __m128d previous_close) noexcept {
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d spread = _mm_sub_pd(high, low);
    const __m128d up = _mm_andnot_pd(sign, _mm_sub_pd(high, previous_close));
    const __m128d down = _mm_andnot_pd(sign, _mm_sub_pd(low, previous_close));
    const __m128d up_is_number = _mm_cmpord_pd(up, up);
    const __m128d down_is_number = _mm_cmpord_pd(down, down);
    // A NaN `down` becomes +0, below or equal to every absolute difference: `across`
    // is the larger number of the two, or +0 when both are NaN.
    __m128d across = _mm_max_pd(up, _mm_and_pd(down, down_is_number));
    // When both are NaN the spread alone is left: +0 | spread is the spread, and
    // max(spread, spread) returns it, a NaN included.
    across = _mm_or_pd(across, _mm_andnot_pd(_mm_or_pd(up_is_number, down_is_number), spread));
    return _mm_max_pd(spread, across);
}
// NOLINTEND(portability-simd-intrinsics)
#endif

inline double true_range(double high, double low, double previous_close) noexcept {
#if defined(__SSE2__)
    // NOLINTNEXTLINE(portability-simd-intrinsics)
    return _mm_cvtsd_f64(
        select_true_ranges(_mm_set_sd(high), _mm_set_sd(low), _mm_set_sd(previous_close)));
#else
    return max_num(max_num(high - low, std::fabs(high - previous_close)),
                   std::fabs(low - previous_close));
#endif
}

// Two consecutive bars at once: element k of the result is the true range of
// (high[k], low[k], previous_close[k]).
inline std::array<double, 2> true_ranges(const std::array<double, 2>& high,
                                         const std::array<double, 2>& low,
                                         const std::array<double, 2>& previous_close) noexcept {
#if defined(__SSE2__)
    // NOLINTBEGIN(portability-simd-intrinsics)
    const __m128d ranges = select_true_ranges(_mm_loadu_pd(high.data()), _mm_loadu_pd(low.data()),
                                              _mm_loadu_pd(previous_close.data()));
    return {_mm_cvtsd_f64(ranges), _mm_cvtsd_f64(_mm_unpackhi_pd(ranges, ranges))};
    // NOLINTEND(portability-simd-intrinsics)
#else
    return {true_range(high[0], low[0], previous_close[0]),
            true_range(high[1], low[1], previous_close[1])};
#endif
}

// A bar's three inputs, as the indicators of high, low and close take them.
struct Bars {
    InputRun high;
    InputRun low;
    InputRun close;
};

inline bool overlap(const Bars& bars, OutputRun out) noexcept {
    return overlap(bars.high, out) || overlap(bars.low, out) || overlap(bars.close, out);
}

// The true range where all three inputs are finite, NaN otherwise. Of finite inputs
// no candidate is NaN, so maxNum is the plain maximum there; a difference that
// overflows gives +inf, the value the formula has. Without branches: which bars are
// bad is decided by the data, and a mispredicted branch would cost more than the
// true range itself.
inline double finite_true_range(double high, double low, double previous_close) noexcept {
    const double range = true_range(high, low, previous_close);
    const bool finite = is_finite(high) && is_finite(low) && is_finite(previous_close);
    return finite ? range : quiet_nan;
}

#if defined(__SSE2__)
// NOLINTBEGIN(portability-simd-intrinsics)
// The true ranges of two bars the quick way: where all three inputs are finite, no
// candidate is NaN, and the plain maximum is maxNum (the absolute differences have
// their sign clear, and SSE2's maximum takes the second of equal operands, +0 of
// -0 and +0). A bad input makes an absolute difference NaN or infinite, and puts
// the bar in doubt; an overflowing spread is the value.
inline DoubtedLanes quick_true_ranges(Lanes high, Lanes low, Lanes previous_close) noexcept {
    const Lanes sign = _mm_set1_pd(-0.0);
    const Lanes spread = _mm_sub_pd(high, low);
    const Lanes up = _mm_andnot_pd(sign, _mm_sub_pd(high, previous_close));
    const Lanes down = _mm_andnot_pd(sign, _mm_sub_pd(low, previous_close));
    const Lanes doubt = _mm_mul_pd(_mm_add_pd(up, down), _mm_setzero_pd());
    return {_mm_max_pd(spread, _mm_max_pd(up, down)), doubt};
}
// NOLINTEND(portability-simd-intrinsics)
#endif

}  // namespace marundex::core::detail
