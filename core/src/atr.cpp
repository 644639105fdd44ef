#include <array>

#include "float64_access.hpp"
#include "true_range.hpp"

namespace marundex::core {

using detail::load;
using detail::store;

namespace {

// True range of bar i >= 1.
double true_range(InputRun high, InputRun low, InputRun close, std::size_t i) noexcept {
    return detail::true_range(load(high.data, i), load(low.data, i), load(close.data, i - 1));
}

std::array<double, 2> pair_at(InputRun run, std::size_t i) noexcept {
    return {load(run.data, i), load(run.data, i + 1)};
}

// Sum of the true ranges of bars 1 to `period`, added in that order. Nothing is
// stored meanwhile, so the bars may be read two at a time, and their true ranges
// computed side by side.
double first_true_ranges_sum(std::uint64_t period, InputRun high, InputRun low,
                             InputRun close) noexcept {
    double sum = +0.0;
    std::size_t i = 1;
    for (; i < period; i += 2) {
        const std::array<double, 2> ranges =
            detail::true_ranges(pair_at(high, i), pair_at(low, i), pair_at(close, i - 1));
        sum = sum + ranges[0];
        sum = sum + ranges[1];
    }
    if (i == period) {
        sum = sum + true_range(high, low, close, i);
    }
    return sum;
}

}  // namespace

void atr(std::uint64_t period, InputRun high, InputRun low, InputRun close,
         OutputRun out) noexcept {
    const std::size_t n = high.length;
    if (period == 0 || period >= n) {
        detail::fill_nan(out);
        return;
    }
    // The pre-fill comes before any read: an output that is also an input reads NaN.
    // Apart from the inputs, only the warm-up and the positions past the inputs'
    // length are left without a value.
    const bool overlapping =
        detail::overlap(high, out) || detail::overlap(low, out) || detail::overlap(close, out);
    if (overlapping) {
        detail::fill_nan(out);
    } else {
        detail::fill_nan(out, 0, period);
        detail::fill_nan(out, n, out.length);
    }

    const double p = detail::period_as_double(period);
    const double alpha = 1.0 / p;

    // The first value is a true division; the smoothing after it uses the reciprocal.
    double average = first_true_ranges_sum(period, high, low, close) / p;
    store(out.data, period, average);

    const auto smoothed = [&average, alpha](double true_range) noexcept {
        double d = true_range - average;
        d = alpha * d;
        average = average + d;
        return average;
    };
    std::size_t i = period + 1;
    // An output apart from the inputs cannot change what a later bar reads, so the
    // bars may be read two at a time there; the averages still follow one by one.
    if (!overlapping) {
        for (; i + 1 < n; i += 2) {
            const std::array<double, 2> ranges =
                detail::true_ranges(pair_at(high, i), pair_at(low, i), pair_at(close, i - 1));
            store(out.data, i, smoothed(ranges[0]));
            store(out.data, i + 1, smoothed(ranges[1]));
        }
    }
    for (; i < n; ++i) {
        store(out.data, i, smoothed(true_range(high, low, close, i)));
    }
}

}  // namespace marundex::core
