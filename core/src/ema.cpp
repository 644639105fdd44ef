#include "float64_access.hpp"

namespace marundex::core {

using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

// The first start s whose window data[s .. s + period - 1] is all finite, or n when
// there is none. Positions already seen finite are not tested again: a window that
// holds a non-finite value at j cannot succeed for any start up to j, so the next
// candidate is j + 1.
std::size_t first_finite_window(std::uint64_t period, InputRun data) noexcept {
    const std::size_t n = data.length;
    std::size_t start = 0;
    std::size_t next = 0;
    while (start + period <= n) {
        if (next == start + period) {
            return start;
        }
        if (is_finite(load(data.data, next))) {
            ++next;
        } else {
            start = next + 1;
            next = start;
        }
    }
    return n;
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

    const std::size_t start = first_finite_window(period, data);
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
    double sum = -0.0;
    for (std::size_t k = start; k < start + period; ++k) {
        sum = sum + load(data.data, k);
    }
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
