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

template class LaggedState<RateOfChange>;

}  // namespace marundex::core
