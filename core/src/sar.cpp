#include <algorithm>
#include <cmath>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "select.hpp"

namespace marundex::core {

using detail::is_finite;
using detail::load;
using detail::pick_greater;
using detail::quiet_nan;
using detail::store;

namespace {

using Carry = SarState::Carry;

struct Rates {
    double acceleration;
    double maximum;
};

bool valid_rates(double acceleration, double maximum) noexcept {
    return is_finite(acceleration) && is_finite(maximum) && acceleration > 0.0 &&
           acceleration <= maximum;
}

// The stop while long may not rise above the last two lows. Of equal values
// std::min and std::max keep the first, the stop.
double below_lows(double sar, double previous_low, double low) noexcept {
    return std::min({sar, previous_low, low});
}

// The stop while short may not fall below the last two highs.
double above_highs(double sar, double previous_high, double high) noexcept {
    return std::max({sar, previous_high, high});
}

// The stop of a bar after the first two, and the next one moved toward the extreme.
double next_stop(const Rates& r, Carry& carry, double high, double low) noexcept {
    const double previous_high = carry.high;
    const double previous_low = carry.low;
    carry.high = high;
    carry.low = low;
    double sar = carry.sar;
    double out = sar;
    if (carry.is_long != 0) {
        if (low <= sar) {
            // Reversed: the stop starts at the extreme of the long trend.
            carry.is_long = 0;
            out = above_highs(carry.extreme, previous_high, high);
            carry.factor = r.acceleration;
            carry.extreme = low;
            sar = above_highs(out + carry.factor * (carry.extreme - out), previous_high, high);
        } else {
            // A new extreme, and a faster factor, about every other bar: selected.
            const double extreme = carry.extreme;
            carry.extreme = pick_greater(high, extreme, high, extreme);
            carry.factor = pick_greater(
                high, extreme, std::min(carry.factor + r.acceleration, r.maximum), carry.factor);
            sar = below_lows(sar + carry.factor * (carry.extreme - sar), previous_low, low);
        }
    } else {
        if (high >= sar) {
            carry.is_long = 1;
            out = below_lows(carry.extreme, previous_low, low);
            carry.factor = r.acceleration;
            carry.extreme = high;
            sar = below_lows(out + carry.factor * (carry.extreme - out), previous_low, low);
        } else {
            const double extreme = carry.extreme;
            carry.extreme = pick_greater(extreme, low, low, extreme);
            carry.factor = pick_greater(
                extreme, low, std::min(carry.factor + r.acceleration, r.maximum), carry.factor);
            sar = above_highs(sar + carry.factor * (carry.extreme - sar), previous_high, high);
        }
    }
    carry.sar = sar;
    return out;
}

// One good bar: the first is kept; the second sets the trend, long unless the low
// fell further than the high rose, and the first stop at the first bar's extreme,
// then is taken as every later one with itself as the bar before.
double next_sar(const Rates& r, Carry& carry, double high, double low) noexcept {
    if (carry.good == 0) {
        carry.good = 1;
        carry.high = high;
        carry.low = low;
        return quiet_nan;
    }
    if (carry.good == 1) {
        const double up = high - carry.high;
        const double down = carry.low - low;
        const bool falls = down > 0.0 && down > up;
        carry.is_long = falls ? 0 : 1;
        carry.sar = falls ? carry.high : carry.low;
        carry.extreme = falls ? low : high;
        carry.high = high;
        carry.low = low;
        carry.good = 2;
    }
    return next_stop(r, carry, high, low);
}

Carry run_sar(const Rates& r, Carry carry, InputRun high, InputRun low, OutputRun out) noexcept {
    const std::size_t n = high.length;
    // The pre-fill comes before any read when the output overlaps an input.
    if (detail::overlap(high, out) || detail::overlap(low, out)) {
        detail::fill_nan(out);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double h = load(high.data, i);
        const double l = load(low.data, i);
        // A bar whose high or low is not finite is skipped.
        store(out.data, i, is_finite(h) && is_finite(l) ? next_sar(r, carry, h, l) : quiet_nan);
    }
    return carry;
}

// Whether some series leaves this carry after `bars` bars: the constructor's NaN
// until the first good bar, its high and low then, and from the second a trend, a
// factor from acceleration to maximum and finite prices.
bool consistent(const Rates& r, std::uint64_t bars, const Carry& carry) noexcept {
    if (!detail::valid_bars(bars) || !valid_rates(r.acceleration, r.maximum) || carry.good > 2 ||
        carry.good > bars || carry.is_long > 1) {
        return false;
    }
    const bool prices = carry.good != 0;
    const bool trend = carry.good == 2;
    if (prices ? !is_finite(carry.high) || !is_finite(carry.low)
               : !detail::same_bits(carry.high, quiet_nan) ||
                     !detail::same_bits(carry.low, quiet_nan)) {
        return false;
    }
    if (!trend) {
        return carry.is_long == 0 && detail::same_bits(carry.factor, r.acceleration) &&
               detail::same_bits(carry.extreme, quiet_nan) &&
               detail::same_bits(carry.sar, quiet_nan);
    }
    return carry.factor >= r.acceleration && carry.factor <= r.maximum &&
           is_finite(carry.extreme) && is_finite(carry.sar);
}

}  // namespace

std::expected<SarState, StateError> SarState::create(double acceleration, double maximum) noexcept {
    if (!valid_rates(acceleration, maximum)) {
        return std::unexpected(StateError::acceleration_above_maximum);
    }
    return SarState(acceleration, maximum);
}

SarState::SarState(double acceleration, double maximum) noexcept
    : acceleration_(acceleration), maximum_(maximum) {
    carry_.factor = acceleration;
    carry_.extreme = quiet_nan;
    carry_.sar = quiet_nan;
    carry_.high = quiet_nan;
    carry_.low = quiet_nan;
}

void SarState::advance(InputRun high, InputRun low, OutputRun out) noexcept {
    carry_ = run_sar({acceleration_, maximum_}, carry_, high, low, out);
    bars_ += high.length;
}

void SarState::preview(InputRun high, InputRun low, OutputRun out) const noexcept {
    run_sar({acceleration_, maximum_}, carry_, high, low, out);
}

double SarState::acceleration() const noexcept {
    return acceleration_;
}

double SarState::maximum() const noexcept {
    return maximum_;
}

std::uint64_t SarState::bars() const noexcept {
    return bars_;
}

// acceleration, maximum, bars, good bars, long, factor, extreme, stop, high, low.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::size_t SarState::checkpoint_size() const noexcept {
    return 10;
}

void SarState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter(words)
        .put(acceleration_)
        .put(maximum_)
        .put(bars_)
        .put(carry_.good)
        .put(carry_.is_long)
        .put(carry_.factor)
        .put(carry_.extreme)
        .put(carry_.sar)
        .put(carry_.high)
        .put(carry_.low);
}

std::expected<SarState, StateError> SarState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() != 10) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    const double acceleration = in.value();
    SarState state(acceleration, in.value());
    state.bars_ = in.word();
    state.carry_.good = in.word();
    state.carry_.is_long = in.word();
    state.carry_.factor = in.value();
    state.carry_.extreme = in.value();
    state.carry_.sar = in.value();
    state.carry_.high = in.value();
    state.carry_.low = in.value();
    if (!consistent({state.acceleration_, state.maximum_}, state.bars_, state.carry_)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
