#include <limits>

#include "float64_access.hpp"

namespace marundex::core {

using detail::is_nan;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

struct Smoothing {
    double alpha;
    double beta;

    explicit Smoothing(std::uint64_t period) noexcept
        : alpha(2.0 / (detail::period_as_double(period) + 1.0)), beta(1.0 - alpha) {}

    [[nodiscard]] double step(double average, double x) const noexcept {
        return beta * average + alpha * x;
    }
};

// Mean of the `period` values ending at `last`, summed from `last` backwards.
double trailing_mean(InputRun data, std::size_t last, std::uint64_t period) noexcept {
    double sum = -0.0;
    for (std::size_t k = 0; k < period; ++k) {
        sum = sum + load(data.data, last - k);
    }
    return sum / detail::period_as_double(period);
}

// slow + signal - 2 saturates instead of wrapping: a wrapped index would start the
// signal line too early, a saturated one never starts it.
std::uint64_t signal_start(std::uint64_t slow_period, std::uint64_t signal_period) noexcept {
    const std::uint64_t slow_less_two = slow_period - 2;  // slow > fast >= 1
    if (signal_period > std::numeric_limits<std::uint64_t>::max() - slow_less_two) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return slow_less_two + signal_period;
}

void store_gap(OutputRun macd_out, OutputRun signal_out, OutputRun hist_out,
               std::size_t i) noexcept {
    store(macd_out.data, i, quiet_nan);
    store(signal_out.data, i, quiet_nan);
    store(hist_out.data, i, quiet_nan);
}

}  // namespace

void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
          InputRun data, OutputRun macd_out, OutputRun signal_out, OutputRun hist_out) noexcept {
    const Smoothing fast(fast_period);
    const Smoothing slow(slow_period);
    const Smoothing signal(signal_period);
    const std::uint64_t signal_from = signal_start(slow_period, signal_period);

    double fast_average = quiet_nan;
    double slow_average = quiet_nan;
    double signal_line = quiet_nan;

    for (std::size_t i = 0; i < data.length; ++i) {
        const double x = load(data.data, i);
        // A NaN input is a gap: the state carries over it untouched.
        if (is_nan(x) || i < slow_period - 1) {
            store_gap(macd_out, signal_out, hist_out, i);
            continue;
        }

        // Only the fast average's NaN-ness triggers seeding; the slow one is never tested.
        if (is_nan(fast_average)) {
            fast_average = trailing_mean(data, i, fast_period);
            slow_average = trailing_mean(data, i, slow_period);
        } else {
            fast_average = fast.step(fast_average, x);
            slow_average = slow.step(slow_average, x);
        }

        const double line = fast_average - slow_average;
        store(macd_out.data, i, line);

        if (!is_nan(signal_line)) {
            signal_line = signal.step(signal_line, line);
        } else if (i >= signal_from) {
            signal_line = line;
        }
        store(signal_out.data, i, signal_line);
        store(hist_out.data, i, is_nan(signal_line) ? quiet_nan : line - signal_line);
    }
}

}  // namespace marundex::core
