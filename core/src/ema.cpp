#include "checkpoint.hpp"
#include "ema_step.hpp"
#include "float64_access.hpp"

namespace marundex::core {

using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

using detail::EmaCarry;
using detail::EmaFactors;

// Writes the averages of `data` and returns what they leave. One series in one run
// is the batch kernel.
EmaCarry advance_average(const EmaFactors& f, EmaCarry carry, InputRun data,
                         OutputRun out) noexcept {
    const std::size_t n = data.length;
    if (f.period == 0) {
        detail::fill_nan(out);
        return carry;
    }
    // The pre-fill comes before any read when the output overlaps the input; then
    // the NaN stored below at positions without a value change nothing.
    if (detail::overlap(data, out)) {
        detail::fill_nan(out);
    }
    std::size_t i = 0;
    if (carry.finite_run < f.period) {
        // The seed is the first window of `period` finite inputs: a non-finite input
        // starts the window, and its sum, afresh after it.
        for (; i < n; ++i) {
            const double x = load(data.data, i);
            if (!is_finite(x)) {
                carry.finite_run = 0;
                carry.seed_sum = -0.0;
                store(out.data, i, quiet_nan);
                continue;
            }
            carry.seed_sum = carry.seed_sum + x;
            if (++carry.finite_run == f.period) {
                // The seed is a true division, unlike the reciprocal product of the SMA.
                carry.average = carry.seed_sum / f.period_double;
                store(out.data, i, carry.average);
                ++i;
                break;
            }
            store(out.data, i, quiet_nan);
        }
    }
    // Seeded, unless the loop above took the whole run.
    double average = carry.average;
    for (; i < n; ++i) {
        const double x = load(data.data, i);
        if (is_finite(x)) {
            average = detail::ema_smoothed(f, average, x);
            store(out.data, i, average);
        } else {
            store(out.data, i, quiet_nan);
        }
    }
    carry.average = average;
    return carry;
}

// A live feed brings one bar at a time. Once the average is seeded, and unless the
// output is the input, that bar is one step of the average and nothing else.
bool one_seeded_bar(const EmaFactors& f, const EmaCarry& carry, InputRun data,
                    OutputRun out) noexcept {
    return data.length == 1 && carry.finite_run == f.period && f.period != 0 &&
           !detail::overlap_one(data.data, out.data);
}

double seeded_bar(const EmaFactors& f, double average, InputRun data, OutputRun out) noexcept {
    const double x = load(data.data, 0);
    if (!is_finite(x)) {
        store(out.data, 0, quiet_nan);
        return average;
    }
    average = detail::ema_smoothed(f, average, x);
    store(out.data, 0, average);
    return average;
}

// Whether some series leaves this carry after `bars` bars: a carry that some run of
// finite inputs leaves, no longer a run than the bars, and, right at the seed, the
// seed's mean.
bool consistent(const EmaFactors& f, std::uint64_t bars, const EmaCarry& carry) noexcept {
    if (!detail::valid_bars(bars) || carry.finite_run > bars || !detail::consistent_ema(f, carry)) {
        return false;
    }
    if (f.period != 0 && carry.finite_run == f.period && bars == f.period) {
        return detail::same_bits(carry.average, carry.seed_sum / f.period_double);
    }
    return true;
}

}  // namespace

void ema(std::uint64_t period, InputRun data, OutputRun out) noexcept {
    // Too short a series has no window to seed the average.
    if (period == 0 || period > data.length) {
        detail::fill_nan(out);
        return;
    }
    advance_average(detail::ema_factors_of(period), {0, -0.0, quiet_nan}, data, out);
}

EmaState::EmaState(std::uint64_t period) noexcept
    : period_(period),
      period_double_(detail::period_as_double(period)),
      alpha_(detail::ema_alpha_of(period_double_)),
      beta_(1.0 - alpha_),
      average_(quiet_nan) {}

void EmaState::advance(InputRun data, OutputRun out) noexcept {
    const EmaFactors f{period_, period_double_, alpha_, beta_};
    if (!one_seeded_bar(f, {finite_run_, seed_sum_, average_}, data, out)) {
        advance_runs(data, out);
        return;
    }
    average_ = seeded_bar(f, average_, data, out);
    ++bars_;
}

// Not inlined into advance(), so that a lone bar needs none of the registers that
// this keeps.
[[gnu::noinline]] void EmaState::advance_runs(InputRun data, OutputRun out) noexcept {
    const EmaCarry carry = advance_average({period_, period_double_, alpha_, beta_},
                                           {finite_run_, seed_sum_, average_}, data, out);
    finite_run_ = carry.finite_run;
    seed_sum_ = carry.seed_sum;
    average_ = carry.average;
    bars_ += data.length;
}

void EmaState::preview(InputRun data, OutputRun out) const noexcept {
    const EmaFactors f{period_, period_double_, alpha_, beta_};
    const EmaCarry before{finite_run_, seed_sum_, average_};
    if (one_seeded_bar(f, before, data, out)) {
        seeded_bar(f, average_, data, out);
        return;
    }
    advance_average(f, before, data, out);
}

std::uint64_t EmaState::period() const noexcept {
    return period_;
}

std::uint64_t EmaState::bars() const noexcept {
    return bars_;
}

// period, bars, finite run, seed sum, average.
// Of the same shape as the states with a window, whose size varies.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::size_t EmaState::checkpoint_size() const noexcept {
    return 5;
}

void EmaState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter(words)
        .put(period_)
        .put(bars_)
        .put(finite_run_)
        .put(seed_sum_)
        .put(average_);
}

std::expected<EmaState, StateError> EmaState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() != 5) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    EmaState state(in.word());
    state.bars_ = in.word();
    state.finite_run_ = in.word();
    state.seed_sum_ = in.value();
    state.average_ = in.value();
    if (!consistent({state.period_, state.period_double_, state.alpha_, state.beta_}, state.bars_,
                    {state.finite_run_, state.seed_sum_, state.average_})) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
