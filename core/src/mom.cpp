#include "lagged.hpp"

namespace marundex::core {

// The difference; NaN where either input is NaN or infinite. Finite inputs whose
// difference overflows give the infinity, as TA-Lib does.
double Momentum::of(double now, double then) noexcept {
    const double change = now - then;
    if (detail::is_finite(change) || (detail::is_finite(now) && detail::is_finite(then))) {
        return change;
    }
    return detail::quiet_nan;
}

#if defined(__SSE2__)
// NOLINTBEGIN(portability-simd-intrinsics)
// A difference of finite inputs is the value, even when it overflows. A difference
// that is not finite has an input that is not finite, or overflowed: in doubt.
template <>
detail::DoubtedLanes detail::formula_lanes<Momentum>(Lanes now, Lanes then) noexcept {
    const Lanes change = _mm_sub_pd(now, then);
    return {change, _mm_mul_pd(change, _mm_setzero_pd())};
}
// NOLINTEND(portability-simd-intrinsics)
#endif

template class LaggedState<Momentum>;

}  // namespace marundex::core
