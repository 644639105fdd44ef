// One step of the exponential moving average, shared by EMA and by the chains of
// averages that DEMA and TEMA take, each average over the outputs of the one before.
#pragma once

#include <cstdint>

#include "checkpoint.hpp"
#include "float64_access.hpp"

namespace marundex::core::detail {

struct EmaFactors {
    std::uint64_t period;
    double period_double;
    double alpha;
    double beta;
};

inline double ema_alpha_of(double period) noexcept {
    return 2.0 / (period + 1.0);
}

inline EmaFactors ema_factors_of(std::uint64_t period) noexcept {
    const double p = period_as_double(period);
    const double alpha = ema_alpha_of(p);
    return {period, p, alpha, 1.0 - alpha};
}

// The average after one more finite input: two separately rounded products, then
// their sum.
inline double ema_smoothed(const EmaFactors& f, double average, double x) noexcept {
    return f.beta * average + f.alpha * x;
}

// What an average carries from one bar to the next.
using EmaCarry = EmaLink;

inline constexpr EmaCarry fresh_ema{0, -0.0, quiet_nan};

inline bool seeded(const EmaFactors& f, const EmaCarry& carry) noexcept {
    return carry.finite_run == f.period;
}

// The average's output for one more input, NaN where it has none. The seed is the
// mean of the first `period` finite inputs in a row: a non-finite input before it
// starts the run, and its sum, afresh; after it, the average skips such an input.
// The period is at least 1: a period of 0 has no average, and its callers write NaN.
inline double ema_step(const EmaFactors& f, EmaCarry& carry, double x) noexcept {
    if (seeded(f, carry)) {
        if (!is_finite(x)) {
            return quiet_nan;
        }
        carry.average = ema_smoothed(f, carry.average, x);
        return carry.average;
    }
    if (!is_finite(x)) {
        carry.finite_run = 0;
        carry.seed_sum = -0.0;
        return quiet_nan;
    }
    carry.seed_sum = carry.seed_sum + x;
    if (++carry.finite_run < f.period) {
        return quiet_nan;
    }
    // The seed is a true division, unlike the reciprocal product of the SMA.
    carry.average = carry.seed_sum / f.period_double;
    return carry.average;
}

// Whether a run of finite inputs, taken in any order of bars, leaves this carry. The
// seed sum adds finite inputs from -0: it is -0 before the first, that input itself
// after it, and never NaN. The average is NaN until the seed and never NaN after
// it: finite inputs cannot make it so. With period 1 the old average is weighed by
// 0, so the average is the last finite input.
inline bool consistent_ema(const EmaFactors& f, const EmaCarry& carry) noexcept {
    const std::uint64_t run = carry.finite_run;
    if (run > f.period) {
        return false;
    }
    if (run == 0 ? !same_bits(carry.seed_sum, -0.0)
                 : is_nan(carry.seed_sum) || (run == 1 && !is_finite(carry.seed_sum))) {
        return false;
    }
    if (f.period == 0 || run < f.period) {
        return same_bits(carry.average, quiet_nan);
    }
    return f.period == 1 ? is_finite(carry.average) : !is_nan(carry.average);
}

}  // namespace marundex::core::detail
