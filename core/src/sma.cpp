#include "float64_access.hpp"

namespace marundex::core {

using detail::load;
using detail::store;

void sma(std::uint64_t period, InputRun data, OutputRun out) noexcept {
    const std::size_t n = data.length;
    if (period == 0 || period > n) {
        detail::fill_nan(out);
        return;
    }
    // The pre-fill comes before any read: an output that is the input itself ends NaN.
    // Apart from the input, only the warm-up is left without a value.
    detail::fill_nan(out, 0, detail::overlap(data, out) ? n : period - 1);

    double sum = -0.0;
    for (std::size_t k = 0; k < period; ++k) {
        sum = sum + load(data.data, k);
    }
    // The reciprocal product, not a division by the period, is the defined average.
    const double inv = 1.0 / detail::period_as_double(period);
    store(out.data, period - 1, inv * sum);

    // The running sum is carried, never recomputed: the difference is formed first.
    for (std::size_t i = period; i < n; ++i) {
        sum = sum + (load(data.data, i) - load(data.data, i - period));
        store(out.data, i, inv * sum);
    }
}

}  // namespace marundex::core
