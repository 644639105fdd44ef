#include <cmath>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "true_range.hpp"
#include "wilder.hpp"

namespace marundex::core {

using detail::overlap;

using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

using Carry = DmiState::Carry;

struct DmiFactors {
    std::uint64_t period;
    double period_double;
    double alpha;
    double beta;
};

struct DmiOutputs {
    OutputRun plus_di;
    OutputRun minus_di;
    OutputRun adx;
};

// (average / range) * 100, each operation rounded; 0 where the range is 0, as
// TA-Lib gives there.
double indicator(double average, double range) noexcept {
    if (range == 0.0) {
        return 0.0;
    }
    return (average / range) * 100.0;
}

// (|plus - minus| / (plus + minus)) * 100; 0 where the sum is 0, as TA-Lib gives.
double dx_of(double plus, double minus) noexcept {
    const double sum = plus + minus;
    if (sum == 0.0) {
        return 0.0;
    }
    return (std::fabs(plus - minus) / sum) * 100.0;
}

// Takes one bar; writes its three outputs at `i`.
void take(const DmiFactors& f, Carry& c, double high, double low, double close,
          const DmiOutputs& out, std::size_t i) noexcept {
    const double up = high - c.previous_high;
    const double down = c.previous_low - low;
    const double range = detail::finite_true_range(high, low, c.previous_close);
    c.previous_high = high;
    c.previous_low = low;
    c.previous_close = close;
    double plus_di = quiet_nan;
    double minus_di = quiet_nan;
    double adx = quiet_nan;
    // A NaN move compares false and would make a DM of 0: both moves must be finite.
    const bool good = is_finite(range) && is_finite(up) && is_finite(down);
    const double plus_dm = up > down && up > 0.0 ? up : 0.0;
    const double minus_dm = down > up && down > 0.0 ? down : 0.0;
    if (c.di_run < f.period) {
        // Until the seed: a bad bar starts the run of good ones, and its sums, afresh.
        if (!good) {
            c.di_run = 0;
            c.plus = +0.0;
            c.minus = +0.0;
            c.range = +0.0;
        } else if (++c.di_run < f.period) {
            c.plus = c.plus + plus_dm;
            c.minus = c.minus + minus_dm;
            c.range = c.range + range;
            if (c.di_run + 1 == f.period) {
                // The seed: the sums of period - 1 bars over period, true divisions.
                c.plus = c.plus / f.period_double;
                c.minus = c.minus / f.period_double;
                c.range = c.range / f.period_double;
            }
        }
    }
    if (good && c.di_run == f.period) {
        c.plus = detail::wilder_step(f.alpha, f.beta, c.plus, plus_dm);
        c.minus = detail::wilder_step(f.alpha, f.beta, c.minus, minus_dm);
        c.range = detail::wilder_step(f.alpha, f.beta, c.range, range);
        plus_di = indicator(c.plus, c.range);
        minus_di = indicator(c.minus, c.range);
        const double dx = dx_of(plus_di, minus_di);
        if (c.dx_run < f.period) {
            if (!is_finite(dx)) {
                c.dx_run = 0;
                c.adx = +0.0;
            } else {
                c.adx = c.adx + dx;
                if (++c.dx_run == f.period) {
                    c.adx = c.adx / f.period_double;
                    adx = c.adx;
                }
            }
        } else if (is_finite(dx)) {
            c.adx = detail::wilder_step(f.alpha, f.beta, c.adx, dx);
            adx = c.adx;
        }
    } else if (c.dx_run < f.period) {
        // No DX at this bar: ADX's run before its seed starts afresh.
        c.dx_run = 0;
        c.adx = +0.0;
    }
    store(out.plus_di.data, i, plus_di);
    store(out.minus_di.data, i, minus_di);
    store(out.adx.data, i, adx);
}

Carry advance_dmi(const DmiFactors& f, Carry carry, const detail::Bars& bars,
                  const DmiOutputs& out) noexcept {
    const std::size_t n = bars.high.length;
    // The pre-fill comes before any read when an output overlaps an input.
    if (f.period == 0 || overlap(bars, out.plus_di) || overlap(bars, out.minus_di) ||
        overlap(bars, out.adx)) {
        detail::fill_nan(out.plus_di);
        detail::fill_nan(out.minus_di);
        detail::fill_nan(out.adx);
    }
    if (f.period == 0) {
        if (n != 0) {
            carry.previous_high = load(bars.high.data, n - 1);
            carry.previous_low = load(bars.low.data, n - 1);
            carry.previous_close = load(bars.close.data, n - 1);
        }
        return carry;
    }
    for (std::size_t i = 0; i < n; ++i) {
        take(f, carry, load(bars.high.data, i), load(bars.low.data, i), load(bars.close.data, i),
             out, i);
    }
    return carry;
}

bool sound_sum(std::uint64_t run, double value) noexcept {
    if (run == 0) {
        return detail::same_bits(value, +0.0);
    }
    return !detail::is_nan(value) && !std::signbit(value);
}

// Whether some series leaves this carry after `bars` bars. Bar 0 has no moves, so
// the run of good bars is shorter than the bars seen; the last bar is the
// constructor's NaN before the first. The sums and averages start at +0 and take
// only +0 or positive values; the DX run starts once the DI averages are seeded.
bool consistent(const DmiFactors& f, std::uint64_t bars, const Carry& c) noexcept {
    if (!detail::valid_bars(bars) || c.di_run > f.period || (c.di_run != 0 && c.di_run >= bars) ||
        c.dx_run > f.period || (c.dx_run != 0 && c.di_run != f.period)) {
        return false;
    }
    if (bars == 0 && !(detail::same_bits(c.previous_high, quiet_nan) &&
                       detail::same_bits(c.previous_low, quiet_nan) &&
                       detail::same_bits(c.previous_close, quiet_nan))) {
        return false;
    }
    return sound_sum(c.di_run, c.plus) && sound_sum(c.di_run, c.minus) &&
           sound_sum(c.di_run, c.range) && sound_sum(c.dx_run, c.adx);
}

}  // namespace

DmiState::DmiState(std::uint64_t period) noexcept
    : period_(period),
      period_double_(detail::period_as_double(period)),
      alpha_(1.0 / period_double_),
      beta_(1.0 - alpha_),
      carry_{quiet_nan, quiet_nan, quiet_nan} {}

void DmiState::advance(InputRun high, InputRun low, InputRun close, OutputRun plus_di,
                       OutputRun minus_di, OutputRun adx) noexcept {
    carry_ = advance_dmi({period_, period_double_, alpha_, beta_}, carry_, {high, low, close},
                         {plus_di, minus_di, adx});
    bars_ += high.length;
}

void DmiState::preview(InputRun high, InputRun low, InputRun close, OutputRun plus_di,
                       OutputRun minus_di, OutputRun adx) const noexcept {
    advance_dmi({period_, period_double_, alpha_, beta_}, carry_, {high, low, close},
                {plus_di, minus_di, adx});
}

std::uint64_t DmiState::period() const noexcept {
    return period_;
}

std::uint64_t DmiState::bars() const noexcept {
    return bars_;
}

// period, bars, the last high, low and close, the DI run, the three sums or
// averages, the DX run, and its sum or ADX.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::size_t DmiState::checkpoint_size() const noexcept {
    return 11;
}

void DmiState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter(words)
        .put(period_)
        .put(bars_)
        .put(carry_.previous_high)
        .put(carry_.previous_low)
        .put(carry_.previous_close)
        .put(carry_.di_run)
        .put(carry_.plus)
        .put(carry_.minus)
        .put(carry_.range)
        .put(carry_.dx_run)
        .put(carry_.adx);
}

std::expected<DmiState, StateError> DmiState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() != 11) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    DmiState state(in.word());
    state.bars_ = in.word();
    Carry& c = state.carry_;
    c.previous_high = in.value();
    c.previous_low = in.value();
    c.previous_close = in.value();
    c.di_run = in.word();
    c.plus = in.value();
    c.minus = in.value();
    c.range = in.value();
    c.dx_run = in.word();
    c.adx = in.value();
    if (!consistent({state.period_, state.period_double_, state.alpha_, state.beta_}, state.bars_,
                    c)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
