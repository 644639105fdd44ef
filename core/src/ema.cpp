#include "float64_access.hpp"

namespace marundex::core {

using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

// A window of `period` consecutive finite values: where it starts, and the sum of
// its values added in order from -0.0.
struct Seed {
    std::size_t start;
    double sum;
};

// The first such window, starting at n when there is none. One pass: a non-finite
// value restarts the window, and the sum, after it.
Seed first_finite_window(std::uint64_t period, InputRun data) noexcept {
    const std::size_t n = data.length;
    std::size_t start = 0;
    double sum = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = load(data.data, i);
        if (!is_finite(x)) {
            start = i + 1;
            sum = -0.0;
            continue;
        }
        sum = sum + x;
        if (i + 1 - start == period) {
            return {start, sum};
        }
    }
    return {n, sum};
}

}  // namespace

void ema(std::uint64_t period, InputRun data, OutputRun out) noexcept {
    const std::size_t n = data.length;
    // The pre-fill comes before any read when the output overlaps the input. Apart
    // from the input, only the positions before the seed are filled here, and the
    // non-finite positions after it by the loop below.
    const bool overlapping = detail::overlap(data, out);
    if (period == 0 || period > n || overlapping) {
        detail::fill_nan(out);
        if (period == 0 || period > n) {
            return;
        }
    }

    const auto [start, sum] = first_finite_window(period, data);
    if (start == n) {
        if (!overlapping) {
            detail::fill_nan(out);
        }
        return;
    }
    if (!overlapping) {
        detail::fill_nan(out, 0, start + period - 1);
    }

    const double p = detail::period_as_double(period);
    // The seed is a true division, unlike the reciprocal product of the SMA.
    double average = sum / p;
    store(out.data, start + period - 1, average);

    const double alpha = 2.0 / (p + 1.0);
    const double beta = 1.0 - alpha;
    for (std::size_t i = start + period; i < n; ++i) {
        const double x = load(data.data, i);
        if (is_finite(x)) {
            average = beta * average + alpha * x;
            store(out.data, i, average);
        } else {
            // Under the full pre-fill this position still holds its NaN: no earlier
            // step stores to it.
            store(out.data, i, quiet_nan);
        }
    }
}

}  // namespace marundex::core
