#include <cmath>
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

struct Outputs {
    OutputRun line;
    OutputRun signal;
    OutputRun hist;

    // The three stores of a position, in this order: outputs that share memory see
    // the same last writer as the definition's.
    void put(std::size_t i, double line_value, double signal_value,
             double hist_value) const noexcept {
        store(line.data, i, line_value);
        store(signal.data, i, signal_value);
        store(hist.data, i, hist_value);
    }

    void gap(std::size_t i) const noexcept { put(i, quiet_nan, quiet_nan, quiet_nan); }
};

// The kernel's state from one position to the next, and its two ways of taking a
// step. Every position is read from memory when its step comes, after the stores
// of the steps before it: outputs may share memory with the data.
class Macd {
  public:
    Macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
         InputRun data, Outputs out) noexcept
        : fast_period_(fast_period),
          slow_period_(slow_period),
          fast_(fast_period),
          slow_(slow_period),
          signal_(signal_period),
          signal_from_(signal_start(slow_period, signal_period)),
          data_(data),
          out_(out) {}

    // Every value is a number once the signal line has started, and then only NaN
    // inputs (gaps) and NaN results of the arithmetic need a second look.
    [[nodiscard]] bool steady() const noexcept {
        return !is_nan(fast_average_) && !is_nan(signal_line_);
    }

    // Position i >= slow_period - 1 as the definition has it: a NaN input is a gap,
    // a NaN fast average is seeded again from the raw windows, and a NaN signal value
    // restarts as the MACD value once i has reached the signal start.
    void step(std::size_t i) noexcept {
        const double x = load(data_.data, i);
        if (is_nan(x)) {
            out_.gap(i);
            return;
        }
        // Only the fast average's NaN-ness triggers seeding; the slow one is never tested.
        if (is_nan(fast_average_)) {
            fast_average_ = trailing_mean(data_, i, fast_period_);
            slow_average_ = trailing_mean(data_, i, slow_period_);
        } else {
            fast_average_ = fast_.step(fast_average_, x);
            slow_average_ = slow_.step(slow_average_, x);
        }
        const double line = fast_average_ - slow_average_;
        if (!is_nan(signal_line_)) {
            signal_line_ = signal_.step(signal_line_, line);
        } else if (i >= signal_from_) {
            signal_line_ = line;
        }
        out_.put(i, line, signal_line_, is_nan(signal_line_) ? quiet_nan : line - signal_line_);
    }

    // Steps from position i while the state stays steady; returns the first position
    // not taken. A position whose step would leave a NaN fast average or signal value
    // is not taken here: nothing of it is stored, and step() takes it afresh.
    [[nodiscard]] std::size_t run_steady(std::size_t i) noexcept {
        // Local copies: the stores may alias this object as far as the compiler
        // knows, which would have it reload every constant after every store.
        const InputRun data = data_;
        const Outputs out = out_;
        const Smoothing fast = fast_;
        const Smoothing slow = slow_;
        const Smoothing signal = signal_;
        double fast_average = fast_average_;
        double slow_average = slow_average_;
        double signal_line = signal_line_;
        for (; i < data.length; ++i) {
            const double x = load(data.data, i);
            if (is_nan(x)) {
                out.gap(i);
                continue;
            }
            const double next_fast = fast.step(fast_average, x);
            const double next_slow = slow.step(slow_average, x);
            const double line = next_fast - next_slow;
            const double next_signal = signal.step(signal_line, line);
            if (std::isunordered(next_fast, next_signal)) {
                break;
            }
            fast_average = next_fast;
            slow_average = next_slow;
            signal_line = next_signal;
            out.put(i, line, signal_line, line - signal_line);
        }
        fast_average_ = fast_average;
        slow_average_ = slow_average;
        signal_line_ = signal_line;
        return i;
    }

  private:
    std::uint64_t fast_period_;
    std::uint64_t slow_period_;
    Smoothing fast_;
    Smoothing slow_;
    Smoothing signal_;
    std::uint64_t signal_from_;
    InputRun data_;
    Outputs out_;
    double fast_average_ = quiet_nan;
    double slow_average_ = quiet_nan;
    double signal_line_ = quiet_nan;
};

}  // namespace

void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
          InputRun data, OutputRun macd_out, OutputRun signal_out, OutputRun hist_out) noexcept {
    const Outputs out{macd_out, signal_out, hist_out};
    const std::size_t n = data.length;

    // Warm-up: nothing is read, and every output is NaN, whatever the data.
    const std::size_t first = slow_period - 1 < n ? slow_period - 1 : n;
    for (std::size_t i = 0; i < first; ++i) {
        out.gap(i);
    }

    // Seeding and the start of the signal line take the general step, as does any
    // position after which the state is no longer all numbers; the steady state runs
    // without their tests until such a position comes.
    Macd kernel(fast_period, slow_period, signal_period, data, out);
    std::size_t i = first;
    while (i < n) {
        if (kernel.steady()) {
            i = kernel.run_steady(i);
            if (i == n) {
                break;
            }
        }
        kernel.step(i);
        ++i;
    }
}

}  // namespace marundex::core
