// The weighted moving average's step, which WMA takes over its inputs and HMA over
// its inputs and over the line of its two averages' difference: the window's plain
// and weighted sums carried from bar to bar, and summed afresh once a window.
#pragma once

#include <cstddef>
#include <cstdint>

#include "float64_access.hpp"
#include "stretches.hpp"

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

// The plain and weighted sums of the `count` newest inputs, in order from the
// oldest, from -0 as the SMA adds: the weights are 1 for the oldest input up to
// count for the newest. `back(j)` is the input j bars before the newest.
template <class Back>
WmaSums weighted_sums(std::uint64_t count, Back back) noexcept {
    double sum = -0.0;
    double weighted = -0.0;
    for (std::uint64_t k = 1; k <= count; ++k) {
        const double x = back(count - k);
        sum = sum + x;
        weighted = weighted + period_as_double(k) * x;
    }
    return {sum, weighted, 0};
}

// The sums of a full window.
template <class Back>
WmaSums wma_sums_afresh(const WmaWeights& f, Back back) noexcept {
    return weighted_sums(f.period, back);
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

// The bound of a plain stretch: over inputs at most 2**900 in magnitude no sum of a
// window, carried or summed as its bars come, comes near overflow, since a weighted
// sum is at most 2**47 times its largest input at the longest window.
inline constexpr double plain_bound = 0x1p900;

// The sums of the bars since the window's last renewal, taken as the bars come: at
// the next renewal they are the window summed afresh, in the same order from -0,
// to the bit, with no pass over the window.
struct WmaFresh {
    double sum;
    double weighted;
    // The bars summed, the weight of the last.
    double count;
};

// The fresh sums of the bars since the last renewal, `before(j)` being the input j
// bars before the next.
template <class Before>
WmaFresh wma_fresh(const WmaWeights& f, const Renewal& renewal, Before before) noexcept {
    const std::uint64_t since = f.period - renewal.left;
    const WmaSums sums = weighted_sums(since, [&](std::uint64_t j) { return before(j + 1); });
    return {sums.sum, sums.weighted, period_as_double(since)};
}

// wma_step()'s weighted sum for a full window of plain inputs whose sums are
// carried: the same operations, with the sums of a renewed window taken from
// `fresh`. The average is the weighted sum over the divisor.
inline double wma_plain_weighted(const WmaWeights& f, WmaSums& carry, WmaFresh& fresh, bool renewed,
                                 double x, double leaving) noexcept {
    fresh.count = fresh.count + 1.0;
    fresh.sum = fresh.sum + x;
    fresh.weighted = fresh.weighted + fresh.count * x;
    double weighted = carry.weighted + (f.period_double * x - carry.sum);
    double sum = carry.sum + (x - leaving);
    if (renewed) {
        sum = fresh.sum;
        weighted = fresh.weighted;
        fresh = {-0.0, -0.0, 0.0};
    }
    carry.sum = unpaired(sum);
    carry.weighted = weighted;
    return weighted;
}

}  // namespace marundex::core::detail
