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

template class LaggedState<Momentum>;

}  // namespace marundex::core
