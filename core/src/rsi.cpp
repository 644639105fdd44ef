#include <cmath>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "wilder.hpp"

namespace marundex::core {

using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

struct RsiFactors {
    std::uint64_t period;
    double period_double;
    double alpha;
    double beta;
};

// What the averages carry from one bar to the next.
struct RsiCarry {
    std::uint64_t finite_run;
    double previous;
    double gain;
    double loss;
};

// 100 * (gain / (gain + loss)), each operation rounded on its own; 0 when nothing
// moved at all, as TA-Lib gives there.
double index_of(double gain, double loss) noexcept {
    const double total = gain + loss;
    if (total == 0.0) {
        return 0.0;
    }
    return 100.0 * (gain / total);
}

// One step of Wilder's average.
double smoothed(const RsiFactors& f, double average, double x) noexcept {
    return detail::wilder_step(f.alpha, f.beta, average, x);
}

// The gain and the loss of a finite change, +0 where there is none.
double gain_of(double change) noexcept {
    return change > 0.0 ? change : 0.0;
}

double loss_of(double change) noexcept {
    return change < 0.0 ? -change : 0.0;
}

// Writes the index of every bar of `data` and returns what the bars leave.
RsiCarry advance_index(const RsiFactors& f, RsiCarry carry, InputRun data, OutputRun out) noexcept {
    const std::size_t n = data.length;
    // The pre-fill comes before any read when the output overlaps the input.
    if (f.period == 0 || detail::overlap(data, out)) {
        detail::fill_nan(out);
    }
    if (f.period == 0) {
        if (n != 0) {
            carry.previous = load(data.data, n - 1);
        }
        return carry;
    }
    std::size_t i = 0;
    if (carry.finite_run < f.period) {
        // Until the seed: a bad change starts the run of good changes, and its sums,
        // afresh.
        for (; i < n; ++i) {
            const double x = load(data.data, i);
            const double change = x - carry.previous;
            carry.previous = x;
            store(out.data, i, quiet_nan);
            if (!is_finite(change)) {
                carry.finite_run = 0;
                carry.gain = +0.0;
                carry.loss = +0.0;
                continue;
            }
            carry.gain = carry.gain + gain_of(change);
            carry.loss = carry.loss + loss_of(change);
            if (++carry.finite_run == f.period) {
                // The seeds are true divisions of the sums.
                carry.gain = carry.gain / f.period_double;
                carry.loss = carry.loss / f.period_double;
                store(out.data, i, index_of(carry.gain, carry.loss));
                ++i;
                break;
            }
        }
    }
    // Seeded, unless the loop above took the whole run: a bad change is skipped.
    double previous = carry.previous;
    double gain = carry.gain;
    double loss = carry.loss;
    for (; i < n; ++i) {
        const double x = load(data.data, i);
        const double change = x - previous;
        previous = x;
        if (!is_finite(change)) {
            store(out.data, i, quiet_nan);
            continue;
        }
        gain = smoothed(f, gain, gain_of(change));
        loss = smoothed(f, loss, loss_of(change));
        store(out.data, i, index_of(gain, loss));
    }
    carry.previous = previous;
    carry.gain = gain;
    carry.loss = loss;
    return carry;
}

// Whether some series leaves this carry after `bars` bars. Bar 0 has no change, so
// the run of finite changes is shorter than the bars seen; the last input is the
// constructor's NaN before the first bar. The sums and averages of gains and losses
// start at +0 and take only +0 or positive values (an overflow makes +inf): never
// NaN, never a sign bit; +0 both while the run is empty.
bool consistent(const RsiFactors& f, std::uint64_t bars, const RsiCarry& carry) noexcept {
    const std::uint64_t run = carry.finite_run;
    if (!detail::valid_bars(bars) || run > f.period || (run != 0 && run >= bars)) {
        return false;
    }
    if (bars == 0 && !detail::same_bits(carry.previous, quiet_nan)) {
        return false;
    }
    if (run == 0) {
        return detail::same_bits(carry.gain, +0.0) && detail::same_bits(carry.loss, +0.0);
    }
    const auto non_negative = [](double x) { return !detail::is_nan(x) && !std::signbit(x); };
    return non_negative(carry.gain) && non_negative(carry.loss);
}

}  // namespace

RsiState::RsiState(std::uint64_t period) noexcept
    : period_(period),
      period_double_(detail::period_as_double(period)),
      alpha_(1.0 / period_double_),
      beta_(1.0 - alpha_),
      previous_(quiet_nan) {}

void RsiState::advance(InputRun data, OutputRun out) noexcept {
    const RsiCarry carry = advance_index({period_, period_double_, alpha_, beta_},
                                         {finite_run_, previous_, gain_, loss_}, data, out);
    finite_run_ = carry.finite_run;
    previous_ = carry.previous;
    gain_ = carry.gain;
    loss_ = carry.loss;
    bars_ += data.length;
}

void RsiState::preview(InputRun data, OutputRun out) const noexcept {
    advance_index({period_, period_double_, alpha_, beta_}, {finite_run_, previous_, gain_, loss_},
                  data, out);
}

std::uint64_t RsiState::period() const noexcept {
    return period_;
}

std::uint64_t RsiState::bars() const noexcept {
    return bars_;
}

// period, bars, finite run, previous input, gain, loss.
// Of the same shape as the states with a window, whose size varies.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::size_t RsiState::checkpoint_size() const noexcept {
    return 6;
}

void RsiState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter(words)
        .put(period_)
        .put(bars_)
        .put(finite_run_)
        .put(previous_)
        .put(gain_)
        .put(loss_);
}

std::expected<RsiState, StateError> RsiState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() != 6) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    RsiState state(in.word());
    state.bars_ = in.word();
    state.finite_run_ = in.word();
    state.previous_ = in.value();
    state.gain_ = in.value();
    state.loss_ = in.value();
    if (!consistent({state.period_, state.period_double_, state.alpha_, state.beta_}, state.bars_,
                    {state.finite_run_, state.previous_, state.gain_, state.loss_})) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
