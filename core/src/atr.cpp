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
    if (detail::overlap(high, out) || detail::overlap(low, out) || detail::overlap(close, out)) {
        detail::fill_nan(out);
    } else {
        detail::fill_nan(out, 0, period);
        detail::fill_nan(out, n, out.length);
    }

    const double p = detail::period_as_double(period);
    const double alpha = 1.0 / p;

    double sum = +0.0;
    for (std::size_t i = 1; i <= period; ++i) {
        sum = sum + true_range(high, low, close, i);
    }
    // The first value is a true division; the smoothing after it uses the reciprocal.
    double average = sum / p;
    store(out.data, period, average);

    for (std::size_t i = period + 1; i < n; ++i) {
        double d = true_range(high, low, close, i) - average;
        d = alpha * d;
        average = average + d;
        store(out.data, i, average);
    }
}

}  // namespace marundex::core
