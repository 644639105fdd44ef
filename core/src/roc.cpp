#include "lagged.hpp"

namespace marundex::core {

// ((now / then) - 1) * 100, each operation rounded on its own; 0 where the input a
// period back is zero, as TA-Lib gives there; NaN where either input is NaN or
// infinite.
double RateOfChange::of(double now, double then) noexcept {
    if (!detail::is_finite(now) || !detail::is_finite(then)) {
        return detail::quiet_nan;
    }
    if (then == 0.0) {
        return 0.0;
    }
    return ((now / then) - 1.0) * 100.0;
}

#if defined(__SSE2__)
// NOLINTBEGIN(portability-simd-intrinsics)
// Exact on every bar: never in doubt.
template <>
detail::DoubtedLanes detail::formula_lanes<RateOfChange>(Lanes now, Lanes then) noexcept {
    const Lanes both_finite = _mm_and_pd(finite_lanes(now), finite_lanes(then));
    const Lanes rate =
        _mm_mul_pd(_mm_sub_pd(_mm_div_pd(now, then), _mm_set1_pd(1.0)), _mm_set1_pd(100.0));
    const Lanes then_is_zero = _mm_cmpeq_pd(then, _mm_setzero_pd());
    return {value_or_nan(both_finite, _mm_andnot_pd(then_is_zero, rate)), _mm_setzero_pd()};
}
// NOLINTEND(portability-simd-intrinsics)
#endif

template class LaggedState<RateOfChange>;

}  // namespace marundex::core
