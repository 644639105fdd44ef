#include <cmath>
#include <cstdint>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "select.hpp"
#include "true_range.hpp"
#include "wilder.hpp"

namespace marundex::core {

using detail::Bars;
using detail::is_finite;
using detail::load;
using detail::overlap;
using detail::pick;
using detail::pick_greater;
using detail::quiet_nan;
using detail::store;

namespace {

using Carry = SupertrendState::Carry;

struct Factors {
    std::uint64_t period;
    double period_double;
    double alpha;
    double beta;
    double multiplier;
};

// The average true range after one more bar, NaN where the bar has none: seeded by
// the mean of the first `period` good true ranges in a row, then Wilder's step,
// which skips a bad one, as NATR's.
double next_atr(const Factors& f, Carry& carry, double range) noexcept {
    if (carry.finite_run < f.period) {
        if (!is_finite(range)) {
            carry.finite_run = 0;
            carry.average = +0.0;
            return quiet_nan;
        }
        carry.average = carry.average + range;
        if (++carry.finite_run < f.period) {
            return quiet_nan;
        }
        carry.average = carry.average / f.period_double;
        return carry.average;
    }
    if (!is_finite(range)) {
        return quiet_nan;
    }
    carry.average = detail::wilder_step(f.alpha, f.beta, carry.average, range);
    return carry.average;
}

struct Line {
    double value;
    double trend;
};

// One bar: the bands about (high + low) / 2, each held while it tightens and the
// close it was set with stayed inside it, and the trend turned where the close
// crosses the band it follows. Which band moves and whether the trend turns are
// decided by the data, bar by bar: selections rather than branches, which would be
// mispredicted.
Line next_line(const Factors& f, Carry& carry, double high, double low, double close) noexcept {
    const double range = detail::finite_true_range(high, low, carry.previous_close);
    carry.previous_close = close;
    const double atr = next_atr(f, carry, range);
    const double middle = (high + low) / 2.0;
    const double width = f.multiplier * atr;
    const double upper = middle + width;
    const double lower = middle - width;
    if (!is_finite(upper) || !is_finite(lower) || !is_finite(close)) {
        return {quiet_nan, quiet_nan};
    }
    if (carry.trend == 0) {
        carry.upper = upper;
        carry.lower = lower;
        carry.trend = 1;
    } else {
        // Either reason takes the new band: two selections, not a branch on both.
        const double held_upper = carry.upper;
        const double held_lower = carry.lower;
        carry.upper = pick_greater(held_upper, upper, upper, held_upper);
        carry.upper = pick_greater(carry.band_close, held_upper, upper, carry.upper);
        carry.lower = pick_greater(lower, held_lower, lower, held_lower);
        carry.lower = pick_greater(held_lower, carry.band_close, lower, carry.lower);
        const bool was_up = carry.trend == 1;
        const bool up = was_up ? !(close < carry.lower) : close > carry.upper;
        carry.trend = 2 - static_cast<std::uint64_t>(up);
    }
    carry.band_close = close;
    const bool up = carry.trend == 1;
    return {pick(up, carry.lower, carry.upper), pick(up, 1.0, -1.0)};
}

Carry run_supertrend(const Factors& f, Carry carry, const Bars& bars, OutputRun out,
                     OutputRun trend) noexcept {
    const std::size_t n = bars.high.length;
    // The pre-fill comes before any read when an output overlaps an input.
    if (f.period == 0 || overlap(bars, out) || overlap(bars, trend)) {
        detail::fill_nan(out);
        detail::fill_nan(trend);
    }
    if (f.period == 0) {
        if (n != 0) {
            carry.previous_close = load(bars.close.data, n - 1);
        }
        return carry;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Line line = next_line(f, carry, load(bars.high.data, i), load(bars.low.data, i),
                                    load(bars.close.data, i));
        store(out.data, i, line.value);
        store(trend.data, i, line.trend);
    }
    return carry;
}

// Whether some series leaves this carry after `bars` bars: the true ranges' run and
// average as NATR's; the bands and their close the constructor's NaN until the
// first line, which needs the seed, and finite after it.
bool consistent(const Factors& f, std::uint64_t bars, const Carry& carry) noexcept {
    const std::uint64_t run = carry.finite_run;
    if (!detail::valid_bars(bars) || run > f.period || (run != 0 && run >= bars) ||
        carry.trend > 2 || !is_finite(f.multiplier)) {
        return false;
    }
    if (bars == 0 && !detail::same_bits(carry.previous_close, quiet_nan)) {
        return false;
    }
    if (run == 0 ? !detail::same_bits(carry.average, +0.0)
                 : detail::is_nan(carry.average) || std::signbit(carry.average)) {
        return false;
    }
    if (carry.trend == 0) {
        return detail::same_bits(carry.upper, quiet_nan) &&
               detail::same_bits(carry.lower, quiet_nan) &&
               detail::same_bits(carry.band_close, quiet_nan);
    }
    return run == f.period && is_finite(carry.upper) && is_finite(carry.lower) &&
           is_finite(carry.band_close);
}

}  // namespace

SupertrendState::SupertrendState(std::uint64_t period, double multiplier) noexcept
    : period_(period),
      period_double_(detail::period_as_double(period)),
      alpha_(1.0 / period_double_),
      beta_(1.0 - alpha_),
      multiplier_(multiplier) {
    carry_.previous_close = quiet_nan;
    carry_.upper = quiet_nan;
    carry_.lower = quiet_nan;
    carry_.band_close = quiet_nan;
}

void SupertrendState::advance(InputRun high, InputRun low, InputRun close, OutputRun out,
                              OutputRun trend) noexcept {
    carry_ = run_supertrend({period_, period_double_, alpha_, beta_, multiplier_}, carry_,
                            {high, low, close}, out, trend);
    bars_ += high.length;
}

void SupertrendState::preview(InputRun high, InputRun low, InputRun close, OutputRun out,
                              OutputRun trend) const noexcept {
    run_supertrend({period_, period_double_, alpha_, beta_, multiplier_}, carry_,
                   {high, low, close}, out, trend);
}

std::uint64_t SupertrendState::period() const noexcept {
    return period_;
}

double SupertrendState::multiplier() const noexcept {
    return multiplier_;
}

std::uint64_t SupertrendState::bars() const noexcept {
    return bars_;
}

// period, multiplier, bars, run, previous close, average, trend, upper, lower, close
// of the bands.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::size_t SupertrendState::checkpoint_size() const noexcept {
    return 10;
}

void SupertrendState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter(words)
        .put(period_)
        .put(multiplier_)
        .put(bars_)
        .put(carry_.finite_run)
        .put(carry_.previous_close)
        .put(carry_.average)
        .put(carry_.trend)
        .put(carry_.upper)
        .put(carry_.lower)
        .put(carry_.band_close);
}

std::expected<SupertrendState, StateError> SupertrendState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() != 10) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    SupertrendState state(period, in.value());
    state.bars_ = in.word();
    state.carry_.finite_run = in.word();
    state.carry_.previous_close = in.value();
    state.carry_.average = in.value();
    state.carry_.trend = in.word();
    state.carry_.upper = in.value();
    state.carry_.lower = in.value();
    state.carry_.band_close = in.value();
    if (!consistent(
            {state.period_, state.period_double_, state.alpha_, state.beta_, state.multiplier_},
            state.bars_, state.carry_)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
