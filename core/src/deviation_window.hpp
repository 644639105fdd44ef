// The mean and the population standard deviation of the last `period` inputs, as
// STDDEV and BBANDS take them. A sum of squares of the inputs themselves would lose
// every digit that the deviations have below the level of the prices; here the
// sums are of each input less a shift, an input of the window when it was last
// summed afresh, and are summed afresh once a window, so that their rounding never
// builds up further than that.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "float64_access.hpp"
#include "lanes.hpp"
#include "marundex/core.hpp"
#include "stretches.hpp"
#include "window.hpp"

namespace marundex::core::detail {

inline constexpr DeviationCarry no_deviations{quiet_nan, quiet_nan, quiet_nan, 0};

// One good full window: its mean less the shift, and its deviation.
struct Spread {
    double shift;
    double offset;
    double deviation;

    [[nodiscard]] double mean() const noexcept { return shift + offset; }
};

// A full window summed afresh: the shift is its newest input, and the sums of the
// differences and of their squares are taken from the oldest input and from -0, as
// the SMA adds. An input for a shift keeps whole-tick prices' differences and
// squares exact, so that a window without movement gives exactly 0. `back(j)` is
// the input j bars before the newest.
template <class Back>
DeviationCarry deviations_afresh(std::uint64_t period, Back back) noexcept {
    const double shift = back(0);
    double sum = -0.0;
    double squares = -0.0;
    for (std::uint64_t k = 1; k <= period; ++k) {
        const double d = back(period - k) - shift;
        sum = sum + d;
        squares = squares + d * d;
    }
    return {shift, sum, squares, 0};
}

// The variance is the mean square less the square of the mean offset, never below
// 0 (a window of one value gives 0 however its sums rounded), then its root. Both
// means in one division, each lane rounded on its own.
inline Spread spread_of(const DeviationCarry& c, double period_double) noexcept {
    const DoublePair means = DoublePair{c.sum, c.squares} / period_double;
    const double offset = means[0];
    const double variance = means[1] - offset * offset;
    return {c.shift, offset, std::sqrt(variance < 0.0 ? 0.0 : variance)};
}

// spread_of() for two bars, with one root for both.
inline std::array<Spread, 2> spreads_of(const DeviationCarry& a, const DeviationCarry& b,
                                        double period_double) noexcept {
    const DoublePair first = DoublePair{a.sum, a.squares} / period_double;
    const DoublePair second = DoublePair{b.sum, b.squares} / period_double;
    const double first_variance = first[1] - first[0] * first[0];
    const double second_variance = second[1] - second[0] * second[0];
    const DoublePair deviations =
        square_roots(DoublePair{first_variance < 0.0 ? 0.0 : first_variance,
                                second_variance < 0.0 ? 0.0 : second_variance});
    return {Spread{a.shift, first[0], deviations[0]}, Spread{b.shift, second[0], deviations[1]}};
}

// Over inputs at most 2**480 in magnitude no difference, square or sum of a window
// comes near overflow, even at the longest window: a stretch of them needs no test
// of its inputs or its sums.
inline constexpr double plain_deviation_bound = 0x1p480;

// Writes the outputs of `data`, the bars after the window's, through `put(i, spread)`
// for each bar with a good full window and `gap(i)` for each other, and returns what
// the window carries on. Outputs that overlap the input (`overlapping`) read it as
// the bars store over it. One series in one run is the batch.
template <class Put, class Gap>
DeviationCarry advance_deviations(const DeviationWindow& window, InputRun data, bool overlapping,
                                  Put put, Gap gap) noexcept {
    const std::uint64_t period = window.period();
    const std::uint64_t bars = window.bars();
    DeviationCarry carry = window.carry();
    const Window earlier{window.slots(), period, window.next_slot()};
    const std::size_t n = data.length;
    if (period == 0) {
        for (std::size_t i = 0; i < n; ++i) {
            gap(i);
        }
        return carry;
    }
    const double period_double = period_as_double(period);
    // Bars left until the window has been renewed entirely: at bars period - 1,
    // 2 * period - 1, ... of the series the sums are summed afresh.
    std::uint64_t to_renewal = period - bars % period;
    const auto step = [&](std::size_t i, double x, double leaving) noexcept {
        carry.bad += static_cast<std::uint64_t>(!is_finite(x));
        carry.bad -= static_cast<std::uint64_t>(!is_finite(leaving));
        const bool renewed = --to_renewal == 0;
        if (renewed) {
            to_renewal = period;
        }
        if (bars + i + 1 < period || carry.bad != 0) {
            carry = {quiet_nan, quiet_nan, quiet_nan, carry.bad};
            gap(i);
            return;
        }
        // The entering and the leaving difference, then each sum takes one addition
        // on the chain from bar to bar, as the SMA's difference.
        const double in = x - carry.shift;
        const double out = leaving - carry.shift;
        double sum = carry.sum + (in - out);
        double squares = carry.squares + (in * in - out * out);
        double shift = carry.shift;
        if (renewed || !is_finite(sum) || !is_finite(squares)) {
            // A renewed window, the first good one after a bad input, or sums that
            // overflowed.
            const DeviationCarry fresh = deviations_afresh(
                period, [&](std::uint64_t j) { return input_before(earlier, data, i, j); });
            shift = fresh.shift;
            sum = fresh.sum;
            squares = fresh.squares;
        }
        carry = {shift, sum, squares, 0};
        put(i, spread_of(carry, period_double));
    };
    // The same step over a stretch of plain inputs whose window is plain and in the
    // run: no bad input to count and no sum to test. Returns the first bar not taken.
    const auto plain_stretch = [&](std::size_t from) noexcept {
        // The stretch carries its sums in its own variables, which no store to the
        // run can touch.
        DeviationCarry c = carry;
        std::uint64_t left = to_renewal;
        const auto p = static_cast<std::size_t>(period);
        const auto bar = [&](std::size_t i) noexcept {
            const double in = load(data.data, i) - c.shift;
            const double out = load(data.data, i - p) - c.shift;
            c.sum = c.sum + (in - out);
            c.squares = c.squares + (in * in - out * out);
            if (--left == 0) {
                left = period;
                c = deviations_afresh(period,
                                      [&](std::uint64_t j) { return load(data.data, i - j); });
            }
            return c;
        };
        std::size_t i = from;
        while (i < n) {
            const std::size_t piece_end = n - i > plain_piece ? i + plain_piece : n;
            const std::size_t end = first_beyond(data.data, i, piece_end, plain_deviation_bound);
            // Two bars a turn, whose roots take one instruction.
            for (; end - i >= 2; i += 2) {
                const DeviationCarry first = bar(i);
                const DeviationCarry second = bar(i + 1);
                const std::array<Spread, 2> spreads = spreads_of(first, second, period_double);
                put(i, spreads[0]);
                put(i + 1, spreads[1]);
            }
            if (i < end) {
                put(i, spread_of(bar(i), period_double));
                ++i;
            }
            if (end != piece_end) {
                break;
            }
        }
        carry = c;
        to_renewal = left;
        return i;
    };
    // After a window of plain inputs the window is full and clean, and its sums are
    // finite.
    take_stretches(data, period, plain_deviation_bound, overlapping, plain_stretch,
                   [&](std::size_t i, double x) noexcept {
                       step(i, x, input_before(earlier, data, i, period));
                   });
    return carry;
}

}  // namespace marundex::core::detail
