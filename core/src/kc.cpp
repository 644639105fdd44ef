#include <cmath>
#include <cstring>
#include <utility>

#include "checkpoint.hpp"
#include "ema_step.hpp"
#include "float64_access.hpp"
#include "true_range.hpp"
#include "wilder.hpp"
#include "window.hpp"

namespace marundex::core {

using detail::Bars;
using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

using Carry = KcState::Carry;

struct Factors {
    std::uint64_t period;
    std::uint64_t atr_period;
    double nbdev;
    // The bar at which both averages may start.
    std::uint64_t start;
    detail::EmaFactors ema;
    double atr_period_double;
    double atr_alpha;
    double atr_beta;
};

Factors factors_of(std::uint64_t period, std::uint64_t atr_period, double nbdev) noexcept {
    const double a = detail::period_as_double(atr_period);
    const double alpha = 1.0 / a;
    const std::uint64_t first_mean = period == 0 ? 0 : period - 1;
    return {period,
            atr_period,
            nbdev,
            first_mean > atr_period ? first_mean : atr_period,
            detail::ema_factors_of(period),
            a,
            alpha,
            1.0 - alpha};
}

double typical(double high, double low, double close) noexcept {
    return ((high + low) + close) / 3.0;
}

// A run's bars after `start` bars, and the typical prices and true ranges before it
// in the rings.
struct KcRun {
    const Factors* f;
    std::uint64_t start;
    const double* prices;
    const double* ranges;
    Bars bars;
    double previous_close;

    [[nodiscard]] double price_at(std::size_t i) const noexcept {
        return typical(load(bars.high.data, i), load(bars.low.data, i), load(bars.close.data, i));
    }
    [[nodiscard]] double range_at(std::size_t i) const noexcept {
        const double before = i == 0 ? previous_close : load(bars.close.data, i - 1);
        return detail::finite_true_range(load(bars.high.data, i), load(bars.low.data, i), before);
    }
    // Bar b's typical price and true range, read again from the run or the rings.
    [[nodiscard]] double price(std::uint64_t bar) const noexcept {
        return bar >= start ? price_at(static_cast<std::size_t>(bar - start))
                            : prices[bar % f->period];
    }
    [[nodiscard]] double range(std::uint64_t bar) const noexcept {
        return bar >= start ? range_at(static_cast<std::size_t>(bar - start))
                            : ranges[bar % f->atr_period];
    }
};

// Writes the channel of every bar of the run and returns what it leaves; the rings
// are read, not written. Each average is seeded at the first bar from `start` whose
// window of its period holds only good values, by their mean, and then skips a bad
// one, as EMA and NATR do.
Carry run_kc(const KcRun& run, Carry carry, OutputRun upper, OutputRun middle,
             OutputRun lower) noexcept {
    const Factors& f = *run.f;
    const std::size_t n = run.bars.high.length;
    // Both periods are at least 1: create() refuses 0.
    if (f.period == 0 || f.atr_period == 0) {
        return carry;
    }
    const auto seeded = [&carry] {
        return !detail::is_nan(carry.middle) && !detail::is_nan(carry.atr);
    };
    std::size_t i = 0;
    for (; i < n && !seeded(); ++i) {
        const std::uint64_t bar = run.start + i;
        const double price = run.price_at(i);
        const double range = run.range_at(i);
        const bool good_price = is_finite(price);
        const bool good_range = is_finite(range);
        carry.price_run = good_price ? carry.price_run + (carry.price_run < f.period ? 1 : 0) : 0;
        carry.range_run =
            good_range ? carry.range_run + (carry.range_run < f.atr_period ? 1 : 0) : 0;
        if (!detail::is_nan(carry.middle)) {
            if (good_price) {
                carry.middle = detail::ema_smoothed(f.ema, carry.middle, price);
            }
        } else if (bar >= f.start && carry.price_run == f.period) {
            double sum = -0.0;
            for (std::uint64_t b = bar + 1 - f.period; b <= bar; ++b) {
                sum = sum + run.price(b);
            }
            carry.middle = sum / f.ema.period_double;
        }
        if (!detail::is_nan(carry.atr)) {
            if (good_range) {
                carry.atr = detail::wilder_step(f.atr_alpha, f.atr_beta, carry.atr, range);
            }
        } else if (bar >= f.start && carry.range_run == f.atr_period) {
            double sum = +0.0;
            for (std::uint64_t b = bar + 1 - f.atr_period; b <= bar; ++b) {
                sum = sum + run.range(b);
            }
            carry.atr = sum / f.atr_period_double;
        }
        const bool shown = good_price && good_range && seeded();
        const double width = f.nbdev * carry.atr;
        store(upper.data, i, shown ? carry.middle + width : quiet_nan);
        store(middle.data, i, shown ? carry.middle : quiet_nan);
        store(lower.data, i, shown ? carry.middle - width : quiet_nan);
    }
    // Both seeded: the same steps with the bars' values in registers.
    double previous_close = i == 0 ? run.previous_close : load(run.bars.close.data, i - 1);
    double average = carry.middle;
    double atr = carry.atr;
    std::uint64_t price_run = carry.price_run;
    std::uint64_t range_run = carry.range_run;
    for (; i < n; ++i) {
        const double high = load(run.bars.high.data, i);
        const double low = load(run.bars.low.data, i);
        const double close = load(run.bars.close.data, i);
        const double price = typical(high, low, close);
        const double range = detail::finite_true_range(high, low, previous_close);
        previous_close = close;
        const bool good_price = is_finite(price);
        const bool good_range = is_finite(range);
        price_run = good_price ? price_run + (price_run < f.period ? 1 : 0) : 0;
        range_run = good_range ? range_run + (range_run < f.atr_period ? 1 : 0) : 0;
        if (!good_price || !good_range) [[unlikely]] {
            average = good_price ? detail::ema_smoothed(f.ema, average, price) : average;
            atr = good_range ? detail::wilder_step(f.atr_alpha, f.atr_beta, atr, range) : atr;
            store(upper.data, i, quiet_nan);
            store(middle.data, i, quiet_nan);
            store(lower.data, i, quiet_nan);
            continue;
        }
        average = detail::ema_smoothed(f.ema, average, price);
        atr = detail::wilder_step(f.atr_alpha, f.atr_beta, atr, range);
        const double width = f.nbdev * atr;
        store(upper.data, i, average + width);
        store(middle.data, i, average);
        store(lower.data, i, average - width);
    }
    carry.middle = average;
    carry.atr = atr;
    carry.price_run = price_run;
    carry.range_run = range_run;
    if (n != 0) {
        carry.previous_close = load(run.bars.close.data, n - 1);
    }
    return carry;
}

bool overlap_any(const Bars& bars, OutputRun upper, OutputRun middle, OutputRun lower) noexcept {
    return detail::overlap(bars, upper) || detail::overlap(bars, middle) ||
           detail::overlap(bars, lower);
}

// Whether `run` good values end the `held` last of `bars` bars in a ring of
// `capacity` (the bar b's at slot b % capacity): the last min(run, held) are
// finite, and the one before them bad where the run is shorter than the ring and
// reaches back no further than the ring.
bool run_matches(const double* ring, std::uint64_t capacity, std::uint64_t bars,
                 std::uint64_t run) noexcept {
    const std::uint64_t held = bars < capacity ? bars : capacity;
    if (run > capacity || run > bars) {
        return false;
    }
    for (std::uint64_t k = 1; k <= held; ++k) {
        const bool finite = is_finite(ring[(bars - k) % capacity]);
        if (k <= run ? !finite : finite && k == run + 1) {
            return false;
        }
    }
    return detail::unreached_slots_clear(ring, capacity, bars);
}

}  // namespace

std::expected<KcState, StateError> KcState::create(std::uint64_t period, std::uint64_t atr_period,
                                                   double nbdev) noexcept {
    if (period > max_window || atr_period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    if (period == 0 || atr_period == 0) {
        return std::unexpected(StateError::zero_period);
    }
    std::unique_ptr<double[]> rings = detail::allocate_window(period + atr_period);
    if (rings == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return KcState(period, atr_period, nbdev, std::move(rings));
}

KcState::KcState(std::uint64_t period, std::uint64_t atr_period, double nbdev,
                 std::unique_ptr<double[]> rings) noexcept
    : period_(period), atr_period_(atr_period), nbdev_(nbdev), rings_(std::move(rings)) {
    carry_.previous_close = quiet_nan;
    carry_.middle = quiet_nan;
    carry_.atr = quiet_nan;
}

std::expected<KcState, StateError> KcState::copy() const noexcept {
    std::expected<KcState, StateError> twin = create(period_, atr_period_, nbdev_);
    if (twin) {
        std::memcpy(twin->rings_.get(), rings_.get(), (period_ + atr_period_) * sizeof(double));
        twin->bars_ = bars_;
        twin->carry_ = carry_;
    }
    return twin;
}

KcState::KcState(KcState&& other) noexcept = default;
KcState& KcState::operator=(KcState&& other) noexcept = default;
KcState::~KcState() = default;

void KcState::advance(InputRun high, InputRun low, InputRun close, OutputRun upper,
                      OutputRun middle, OutputRun lower) noexcept {
    const std::size_t n = high.length;
    const Bars bars{high, low, close};
    // The pre-fill comes before any read when an output overlaps an input.
    if (overlap_any(bars, upper, middle, lower)) {
        detail::fill_nan(upper);
        detail::fill_nan(middle);
        detail::fill_nan(lower);
    }
    const Factors f = factors_of(period_, atr_period_, nbdev_);
    double* prices = rings_.get();
    double* ranges = prices + period_;
    const KcRun run{&f, bars_, prices, ranges, bars, carry_.previous_close};
    const Carry carry = run_kc(run, carry_, upper, middle, lower);
    // The rings keep the run's last values, once the run has read the ones before it.
    const std::uint64_t end = bars_ + n;
    for (std::uint64_t b = end - (n < period_ ? n : period_); b < end; ++b) {
        prices[b % period_] = run.price(b);
    }
    for (std::uint64_t b = end - (n < atr_period_ ? n : atr_period_); b < end; ++b) {
        ranges[b % atr_period_] = run.range(b);
    }
    carry_ = carry;
    bars_ = end;
}

void KcState::preview(InputRun high, InputRun low, InputRun close, OutputRun upper,
                      OutputRun middle, OutputRun lower) const noexcept {
    const Bars bars{high, low, close};
    if (overlap_any(bars, upper, middle, lower)) {
        detail::fill_nan(upper);
        detail::fill_nan(middle);
        detail::fill_nan(lower);
    }
    const Factors f = factors_of(period_, atr_period_, nbdev_);
    const double* prices = rings_.get();
    run_kc({&f, bars_, prices, prices + period_, bars, carry_.previous_close}, carry_, upper,
           middle, lower);
}

std::uint64_t KcState::period() const noexcept {
    return period_;
}

std::uint64_t KcState::atr_period() const noexcept {
    return atr_period_;
}

double KcState::nbdev() const noexcept {
    return nbdev_;
}

std::uint64_t KcState::bars() const noexcept {
    return bars_;
}

// period, ATR period, nbdev, bars, previous close, the typical prices' run and
// average, the true ranges' run and average, then the typical prices and the true
// ranges.
std::size_t KcState::checkpoint_size() const noexcept {
    return static_cast<std::size_t>(9 + period_ + atr_period_);
}

void KcState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter writer(words);
    writer.put(period_)
        .put(atr_period_)
        .put(nbdev_)
        .put(bars_)
        .put(carry_.previous_close)
        .put(carry_.price_run)
        .put(carry_.middle)
        .put(carry_.range_run)
        .put(carry_.atr);
    writer.put_window(rings_.get(), period_ + atr_period_);
}

std::expected<KcState, StateError> KcState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    const std::uint64_t atr_period = in.word();
    const double nbdev = in.value();
    if (words.size() < 9 || period > max_window || atr_period > max_window ||
        words.size() != 9 + period + atr_period || !is_finite(nbdev)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<KcState, StateError> state = create(period, atr_period, nbdev);
    if (!state) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    const std::uint64_t bars = in.word();
    Carry carry;
    carry.previous_close = in.value();
    carry.price_run = in.word();
    carry.middle = in.value();
    carry.range_run = in.word();
    carry.atr = in.value();
    double* prices = state->rings_.get();
    in.take_window(prices, period + atr_period);
    const Factors f = factors_of(period, atr_period, nbdev);
    // Bar 0 has no true range: the run of good ones is shorter than the bars seen.
    // An average is NaN until its seed, which comes after `start`, and never after;
    // the true ranges' is never negative.
    if (!detail::valid_bars(bars) ||
        (bars == 0 && !detail::same_bits(carry.previous_close, quiet_nan)) ||
        !run_matches(prices, period, bars, carry.price_run) ||
        !run_matches(prices + period, atr_period, bars, carry.range_run) ||
        (carry.range_run != 0 && carry.range_run >= bars) ||
        (!detail::is_nan(carry.middle) && bars <= f.start) ||
        (!detail::is_nan(carry.atr) && (bars <= f.start || std::signbit(carry.atr))) ||
        (detail::is_nan(carry.middle) && !detail::same_bits(carry.middle, quiet_nan)) ||
        (detail::is_nan(carry.atr) && !detail::same_bits(carry.atr, quiet_nan))) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    state->bars_ = bars;
    state->carry_ = carry;
    return state;
}
}  // namespace marundex::core
