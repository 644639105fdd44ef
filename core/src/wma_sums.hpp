// The weighted moving average's step, which WMA takes over its inputs and HMA over
// its inputs and over the line of its two averages' difference: the window's plain
// and weighted sums carried from bar to bar, and summed afresh once a window.
#pragma once

#include <cstdint>

#include "float64_access.hpp"

namespace marundex::core::detail {

struct WmaWeights {
    std::uint64_t period;
    double period_double;
    // The sum of the weights, period * (period + 1) / 2, exact up to 2**53.
    double divisor;
};

inline WmaWeights wma_weights(std::uint64_t period) noexcept {
    const double p = period_as_double(period);
    return {period, p, (p * (p + 1.0)) / 2.0};
}

// What the window's sums carry from one bar to the next. While the window is not
// full, holds a bad input, or has just held one, both sums are NaN: the next good
// window sums itself afresh.
struct WmaSums {
    double sum;
    double weighted;
    // The inputs in the window that are NaN or infinite.
    std::uint64_t bad;
};

// The sums of a full window, in order from its oldest input, from -0 as the SMA
// adds: the weights are 1 for the oldest input up to period for the newest.
// `back(j)` is the input j bars before the newest.
template <class Back>
WmaSums wma_sums_afresh(const WmaWeights& f, Back back) noexcept {
    double sum = -0.0;
    double weighted = -0.0;
    for (std::uint64_t k = 1; k <= f.period; ++k) {
        const double x = back(f.period - k);
        sum = sum + x;
        weighted = weighted + period_as_double(k) * x;
    }
    return {sum, weighted, 0};
}

// One bar: its input x, the one leaving the window, whether the window is full and
// whether it has been renewed entirely since its sums were last summed afresh
// (carried sums lose a little at every step, and the weighted one takes the plain
// one's losses in again and again, so they are never carried further than a
// window). Returns the average, or NaN.
template <class Back>
double wma_step(const WmaWeights& f, WmaSums& carry, bool full, bool renewed, double x,
                double leaving, Back back) noexcept {
    carry.bad += static_cast<std::uint64_t>(!is_finite(x));
    carry.bad -= static_cast<std::uint64_t>(!is_finite(leaving));
    if (!full || carry.bad != 0) {
        carry.sum = quiet_nan;
        carry.weighted = quiet_nan;
        return quiet_nan;
    }
    // Each weight falls by one and the newest input comes in at `period`: the
    // weighted sum takes the old plain sum off. Each sum takes one addition on the
    // chain from bar to bar, the SMA's difference first.
    double weighted = carry.weighted + (f.period_double * x - carry.sum);
    double sum = carry.sum + (x - leaving);
    if (renewed || !is_finite(weighted) || !is_finite(sum)) {
        // A renewed window, the first good one after a bad input, or sums that
        // overflowed.
        const WmaSums fresh = wma_sums_afresh(f, back);
        sum = fresh.sum;
        weighted = fresh.weighted;
    }
    carry.sum = sum;
    carry.weighted = weighted;
    return weighted / f.divisor;
}

// Counts the bars to the end of a window of `period` bars, from `bars` bars seen:
// tick() is true at the last bar of each, where the window has been renewed.
struct Renewal {
    std::uint64_t period;
    std::uint64_t left;

    Renewal(std::uint64_t window, std::uint64_t bars) noexcept
        : period(window), left(window - bars % window) {}
    bool tick() noexcept {
        if (--left == 0) {
            left = period;
            return true;
        }
        return false;
    }
};

}  // namespace marundex::core::detail
