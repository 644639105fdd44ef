#include <array>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "true_range.hpp"

namespace marundex::core {

using detail::Bars;
using detail::overlap;

using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

// True range of bar i >= 1 of a run, whose previous close is in the run too.
double true_range(InputRun high, InputRun low, InputRun close, std::size_t i) noexcept {
    return detail::true_range(load(high.data, i), load(low.data, i), load(close.data, i - 1));
}

std::array<double, 2> pair_at(InputRun run, std::size_t i) noexcept {
    return {load(run.data, i), load(run.data, i + 1)};
}

struct AtrFactors {
    std::uint64_t period;
    double period_double;
    // The smoothing uses the reciprocal; the first average is a true division.
    double alpha;
};

// What the average carries from one bar to the next: the last close, and the sum
// of the true ranges until the first `period` of them are in, then the average.
struct AtrCarry {
    double previous_close;
    double sum;
    double average;
};

// One bar of the smoothing: the difference, its product with alpha, then the sum,
// each rounded on its own.
double smoothed(double average, double true_range, double alpha) noexcept {
    double d = true_range - average;
    d = alpha * d;
    return detail::plus(average, d);
}

// A live feed brings one bar at a time. Past the first average, and unless the
// output is an input, that bar is one step of the smoothing and nothing else.
bool one_smoothed_bar(const AtrFactors& f, std::uint64_t seen, const Bars& bars,
                      OutputRun out) noexcept {
    return bars.high.length == 1 && seen > f.period && f.period != 0 &&
           !detail::overlap_one(bars.high.data, out.data) &&
           !detail::overlap_one(bars.low.data, out.data) &&
           !detail::overlap_one(bars.close.data, out.data);
}

// That bar's average, from the previous close and average.
double smoothed_bar(const AtrFactors& f, const AtrCarry& carry, const Bars& bars) noexcept {
    const double true_range =
        detail::true_range(load(bars.high.data, 0), load(bars.low.data, 0), carry.previous_close);
    return smoothed(carry.average, true_range, f.alpha);
}

// Writes the averages of `bars`, the bars after `seen`, into `out` (as long as the
// bars) and returns what they leave. One series in one run is the batch kernel.
AtrCarry advance_range(const AtrFactors& f, std::uint64_t seen, AtrCarry carry, Bars bars,
                       OutputRun out) noexcept {
    const std::size_t n = bars.high.length;
    const std::uint64_t period = f.period;
    if (period == 0 || n == 0) {
        detail::fill_nan(out);
        return carry;
    }
    // The pre-fill comes before any read: an output that is also an input reads NaN.
    // Apart from the inputs, only the bars before the first average are left without
    // a value.
    const bool overlapping = overlap(bars, out);
    const std::uint64_t warm = seen < period ? period - seen : 0;
    detail::fill_nan(out, 0, overlapping || warm > n ? n : static_cast<std::size_t>(warm));

    double sum = carry.sum;
    double average = carry.average;
    const auto smooth = [&average, alpha = f.alpha](double true_range) noexcept {
        average = smoothed(average, true_range, alpha);
        return average;
    };
    // The true range of bar `seen` + i: summed while the first window fills, the
    // first average at bar `period`, smoothed after it.
    const auto take = [&](std::size_t i, double true_range) noexcept {
        const std::uint64_t bar = seen + i;
        if (bar < period) {
            sum = detail::plus(sum, true_range);
        } else if (bar == period) {
            sum = detail::plus(sum, true_range);
            average = sum / f.period_double;
            store(out.data, i, average);
        } else {
            store(out.data, i, smooth(true_range));
        }
    };

    // Bar 0 of the series has no true range; the first bar of a later run takes its
    // previous close from the run before.
    std::size_t i = 1;
    if (seen != 0) {
        take(0, detail::true_range(load(bars.high.data, 0), load(bars.low.data, 0),
                                   carry.previous_close));
    }
    // The first window: nothing is stored meanwhile, so the bars may be read two at a
    // time, and their true ranges computed side by side.
    if (seen + i <= period) {
        const std::uint64_t last = period - seen;
        const std::size_t end = last < n ? static_cast<std::size_t>(last) + 1 : n;
        for (; i + 1 < end; i += 2) {
            const std::array<double, 2> ranges = detail::true_ranges(
                pair_at(bars.high, i), pair_at(bars.low, i), pair_at(bars.close, i - 1));
            sum = detail::plus(sum, ranges[0]);
            sum = detail::plus(sum, ranges[1]);
        }
        if (i < end) {
            sum = detail::plus(sum, true_range(bars.high, bars.low, bars.close, i));
            ++i;
        }
        if (end == last + 1) {
            average = sum / f.period_double;
            store(out.data, end - 1, average);
        }
    }
    // An output apart from the inputs cannot change what a later bar reads, so the
    // bars may be read two at a time there; the averages still follow one by one.
    if (!overlapping) {
        for (; i + 1 < n; i += 2) {
            const std::array<double, 2> ranges = detail::true_ranges(
                pair_at(bars.high, i), pair_at(bars.low, i), pair_at(bars.close, i - 1));
            store(out.data, i, smooth(ranges[0]));
            store(out.data, i + 1, smooth(ranges[1]));
        }
    }
    for (; i < n; ++i) {
        store(out.data, i, smooth(true_range(bars.high, bars.low, bars.close, i)));
    }
    return {load(bars.close.data, n - 1), sum, average};
}

AtrFactors factors_of(std::uint64_t period) noexcept {
    const double p = detail::period_as_double(period);
    return {period, p, 1.0 / p};
}

// Whether some series leaves this carry after `bars` bars. A state without a period
// keeps what it was made with. Otherwise the previous close is the constructor's NaN
// before the first bar; the sum starts at +0 and takes true ranges from bar 1 on,
// and a sum that starts at +0 is never -0; the average is the constructor's NaN
// until bar `period`, and the sum's mean right after it.
bool consistent(const AtrFactors& f, std::uint64_t bars, const AtrCarry& carry) noexcept {
    if (!detail::valid_bars(bars)) {
        return false;
    }
    const std::uint64_t seen = f.period == 0 ? 0 : bars;
    if (seen == 0 && !detail::same_bits(carry.previous_close, quiet_nan)) {
        return false;
    }
    if (seen <= 1 ? !detail::same_bits(carry.sum, +0.0) : detail::same_bits(carry.sum, -0.0)) {
        return false;
    }
    if (seen <= f.period) {
        return detail::same_bits(carry.average, quiet_nan);
    }
    return seen - 1 != f.period || detail::same_bits(carry.average, carry.sum / f.period_double);
}

}  // namespace

void atr(std::uint64_t period, InputRun high, InputRun low, InputRun close,
         OutputRun out) noexcept {
    const std::size_t n = high.length;
    // Too short a series has no first window of true ranges.
    if (period == 0 || period >= n) {
        detail::fill_nan(out);
        return;
    }
    // Past the inputs' length the output has no value; filled first, so that every
    // fill comes before any read.
    detail::fill_nan(out, n, out.length);
    advance_range(factors_of(period), 0, {quiet_nan, +0.0, quiet_nan}, {high, low, close},
                  {out.data, n});
}

AtrState::AtrState(std::uint64_t period) noexcept
    : period_(period),
      period_double_(detail::period_as_double(period)),
      alpha_(1.0 / period_double_),
      previous_close_(quiet_nan),
      average_(quiet_nan) {}

void AtrState::advance(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept {
    const AtrFactors f{period_, period_double_, alpha_};
    const Bars bars{high, low, close};
    if (!one_smoothed_bar(f, bars_, bars, out)) {
        advance_runs(high, low, close, out);
        return;
    }
    const double average = smoothed_bar(f, {previous_close_, sum_, average_}, bars);
    store(out.data, 0, average);
    average_ = average;
    previous_close_ = load(close.data, 0);
    ++bars_;
}

// Not inlined into advance(), so that a lone bar needs none of the registers that
// this keeps.
[[gnu::noinline]] void AtrState::advance_runs(InputRun high, InputRun low, InputRun close,
                                              OutputRun out) noexcept {
    const AtrCarry carry =
        advance_range({period_, period_double_, alpha_}, bars_, {previous_close_, sum_, average_},
                      {high, low, close}, out);
    previous_close_ = carry.previous_close;
    sum_ = carry.sum;
    average_ = carry.average;
    bars_ += high.length;
}

void AtrState::preview(InputRun high, InputRun low, InputRun close, OutputRun out) const noexcept {
    const AtrFactors f{period_, period_double_, alpha_};
    const AtrCarry before{previous_close_, sum_, average_};
    const Bars bars{high, low, close};
    if (one_smoothed_bar(f, bars_, bars, out)) {
        store(out.data, 0, smoothed_bar(f, before, bars));
        return;
    }
    advance_range(f, bars_, before, bars, out);
}

std::uint64_t AtrState::period() const noexcept {
    return period_;
}

std::uint64_t AtrState::bars() const noexcept {
    return bars_;
}

// period, bars, previous close, sum, average.
// Of the same shape as the states with a window, whose size varies.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::size_t AtrState::checkpoint_size() const noexcept {
    return 5;
}

void AtrState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter(words)
        .put(period_)
        .put(bars_)
        .put(previous_close_)
        .put(sum_)
        .put(average_);
}

std::expected<AtrState, StateError> AtrState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() != 5) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    AtrState state(in.word());
    state.bars_ = in.word();
    state.previous_close_ = in.value();
    state.sum_ = in.value();
    state.average_ = in.value();
    if (!consistent({state.period_, state.period_double_, state.alpha_}, state.bars_,
                    {state.previous_close_, state.sum_, state.average_})) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
