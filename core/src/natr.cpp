#include <cmath>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "true_range.hpp"
#include "wilder.hpp"

namespace marundex::core {

using detail::Bars;
using detail::overlap;

using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

struct NatrFactors {
    std::uint64_t period;
    double period_double;
    double alpha;
    double beta;
};

// What the average carries from one bar to the next.
struct NatrCarry {
    std::uint64_t finite_run;
    double previous_close;
    double average;
};

// (average / close) * 100, each operation rounded on its own; 0 where the close is
// zero, as TA-Lib gives there; NaN where the close is not finite.
double normalised(double average, double close) noexcept {
    if (!is_finite(close)) {
        return quiet_nan;
    }
    if (close == 0.0) {
        return 0.0;
    }
    return (average / close) * 100.0;
}

// One step of Wilder's average.
double smoothed(const NatrFactors& f, double average, double x) noexcept {
    return detail::wilder_step(f.alpha, f.beta, average, x);
}

// Writes the NATR of every bar of `bars` and returns what the bars leave.
NatrCarry advance_natr(const NatrFactors& f, NatrCarry carry, const Bars& bars,
                       OutputRun out) noexcept {
    const std::size_t n = bars.high.length;
    // The pre-fill comes before any read when the output overlaps an input.
    if (f.period == 0 || overlap(bars, out)) {
        detail::fill_nan(out);
    }
    if (f.period == 0) {
        if (n != 0) {
            carry.previous_close = load(bars.close.data, n - 1);
        }
        return carry;
    }
    std::size_t i = 0;
    if (carry.finite_run < f.period) {
        // Until the seed: a bad true range starts the run of good ones, and its sum,
        // afresh.
        for (; i < n; ++i) {
            const double close = load(bars.close.data, i);
            const double range = detail::finite_true_range(
                load(bars.high.data, i), load(bars.low.data, i), carry.previous_close);
            carry.previous_close = close;
            store(out.data, i, quiet_nan);
            if (!is_finite(range)) {
                carry.finite_run = 0;
                carry.average = +0.0;
                continue;
            }
            carry.average = carry.average + range;
            if (++carry.finite_run == f.period) {
                // The seed is a true division of the sum.
                carry.average = carry.average / f.period_double;
                store(out.data, i, normalised(carry.average, close));
                ++i;
                break;
            }
        }
    }
    // Seeded, unless the loop above took the whole run: a bad true range is skipped.
    double previous_close = carry.previous_close;
    double average = carry.average;
    for (; i < n; ++i) {
        const double close = load(bars.close.data, i);
        const double range = detail::finite_true_range(load(bars.high.data, i),
                                                       load(bars.low.data, i), previous_close);
        previous_close = close;
        if (!is_finite(range)) {
            store(out.data, i, quiet_nan);
            continue;
        }
        average = smoothed(f, average, range);
        store(out.data, i, normalised(average, close));
    }
    carry.previous_close = previous_close;
    carry.average = average;
    return carry;
}

// Whether some series leaves this carry after `bars` bars. Bar 0 has no true range,
// so the run of good ones is shorter than the bars seen; the last close is the
// constructor's NaN before the first bar. The sum and the average start at +0 and
// take only +0 or positive values (an overflow makes +inf): never NaN, never a
// sign bit; +0 while the run is empty.
bool consistent(const NatrFactors& f, std::uint64_t bars, const NatrCarry& carry) noexcept {
    const std::uint64_t run = carry.finite_run;
    if (!detail::valid_bars(bars) || run > f.period || (run != 0 && run >= bars)) {
        return false;
    }
    if (bars == 0 && !detail::same_bits(carry.previous_close, quiet_nan)) {
        return false;
    }
    if (run == 0) {
        return detail::same_bits(carry.average, +0.0);
    }
    return !detail::is_nan(carry.average) && !std::signbit(carry.average);
}

}  // namespace

NatrState::NatrState(std::uint64_t period) noexcept
    : period_(period),
      period_double_(detail::period_as_double(period)),
      alpha_(1.0 / period_double_),
      beta_(1.0 - alpha_),
      previous_close_(quiet_nan) {}

void NatrState::advance(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept {
    const NatrCarry carry =
        advance_natr({period_, period_double_, alpha_, beta_},
                     {finite_run_, previous_close_, average_}, {high, low, close}, out);
    finite_run_ = carry.finite_run;
    previous_close_ = carry.previous_close;
    average_ = carry.average;
    bars_ += high.length;
}

void NatrState::preview(InputRun high, InputRun low, InputRun close, OutputRun out) const noexcept {
    advance_natr({period_, period_double_, alpha_, beta_}, {finite_run_, previous_close_, average_},
                 {high, low, close}, out);
}

std::uint64_t NatrState::period() const noexcept {
    return period_;
}

std::uint64_t NatrState::bars() const noexcept {
    return bars_;
}

// period, bars, finite run, previous close, sum or average.
// Of the same shape as the states with a window, whose size varies.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::size_t NatrState::checkpoint_size() const noexcept {
    return 5;
}

void NatrState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter(words)
        .put(period_)
        .put(bars_)
        .put(finite_run_)
        .put(previous_close_)
        .put(average_);
}

std::expected<NatrState, StateError> NatrState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() != 5) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    NatrState state(in.word());
    state.bars_ = in.word();
    state.finite_run_ = in.word();
    state.previous_close_ = in.value();
    state.average_ = in.value();
    if (!consistent({state.period_, state.period_double_, state.alpha_, state.beta_}, state.bars_,
                    {state.finite_run_, state.previous_close_, state.average_})) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
