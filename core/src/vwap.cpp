#include <array>
#include <cstring>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "window.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marundex::core {

using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

using Carry = VwapState::Carry;

// A bar as the sums take it: the typical price times the volume, and the volume;
// both NaN where either is not finite.
struct Traded {
    double value;
    double volume;
};

Traded traded_of(double value, double volume) noexcept {
    if (!is_finite(value) || !is_finite(volume)) {
        return {quiet_nan, quiet_nan};
    }
    return {value, volume};
}

Traded traded_of(double high, double low, double close, double volume) noexcept {
    return traded_of((((high + low) + close) / 3.0) * volume, volume);
}

#if defined(__SSE2__)
// NOLINTNEXTLINE(portability-simd-intrinsics)
__m128d pair_at(InputRun run, std::size_t i) noexcept {
    // NOLINTNEXTLINE(portability-simd-intrinsics)
    return _mm_set_pd(load(run.data, i + 1), load(run.data, i));
}
#endif

bool counts(double volume) noexcept {
    return is_finite(volume) && volume != 0.0;
}

// The quotient of the sums, NaN where the window traded nothing.
double average_price(double value, double volume, std::uint64_t trading) noexcept {
    return trading == 0 || volume == 0.0 ? quiet_nan : value / volume;
}

// A run's bars after `start` bars, and the bars before it in the ring.
struct VwapRun {
    std::uint64_t period;
    std::uint64_t start;
    const double* ring;
    InputRun high;
    InputRun low;
    InputRun close;
    InputRun volume;

    [[nodiscard]] Traded at(std::size_t i) const noexcept {
        return traded_of(load(high.data, i), load(low.data, i), load(close.data, i),
                         load(volume.data, i));
    }
    // Bar b of the series, read again from the run or the ring.
    [[nodiscard]] Traded traded(std::uint64_t bar) const noexcept {
        if (bar >= start) {
            return at(static_cast<std::size_t>(bar - start));
        }
        const std::uint64_t slot = bar % period;
        return {ring[slot], ring[period + slot]};
    }
};

// From the first bar: a bad bar gives NaN and is left out of the sums.
Carry run_anchored(const VwapRun& run, Carry carry, OutputRun out,
                   [[maybe_unused]] bool overlapping) noexcept {
    const std::size_t n = run.high.length;
    const auto take = [&carry, &out](std::size_t i, const Traded& in) noexcept {
        if (!is_finite(in.volume)) {
            store(out.data, i, quiet_nan);
            return;
        }
        carry.value = carry.value + in.value;
        carry.volume = carry.volume + in.volume;
        // Nothing is taken away: a sum of 0 is a window that traded nothing.
        store(out.data, i, average_price(carry.value, carry.volume, 1));
    };
    std::size_t i = 0;
#if defined(__SSE2__)
    // Two divisions a bar bound the loop: two bars at a time, each division takes
    // both. An output apart from the inputs cannot change what a later bar reads.
    if (!overlapping) {
        // NOLINTBEGIN(portability-simd-intrinsics)
        const __m128d three = _mm_set1_pd(3.0);
        for (; i + 1 < n; i += 2) {
            const __m128d tp =
                _mm_div_pd(_mm_add_pd(_mm_add_pd(pair_at(run.high, i), pair_at(run.low, i)),
                                      pair_at(run.close, i)),
                           three);
            const __m128d volumes = pair_at(run.volume, i);
            const __m128d values = _mm_mul_pd(tp, volumes);
            const std::array<Traded, 2> in{
                Traded{_mm_cvtsd_f64(values), _mm_cvtsd_f64(volumes)},
                Traded{_mm_cvtsd_f64(_mm_unpackhi_pd(values, values)),
                       _mm_cvtsd_f64(_mm_unpackhi_pd(volumes, volumes))}};
            if (!is_finite(in[0].value) || !is_finite(in[0].volume) || !is_finite(in[1].value) ||
                !is_finite(in[1].volume)) {
                take(i, traded_of(in[0].value, in[0].volume));
                take(i + 1, traded_of(in[1].value, in[1].volume));
                continue;
            }
            const double value0 = carry.value + in[0].value;
            const double volume0 = carry.volume + in[0].volume;
            carry.value = value0 + in[1].value;
            carry.volume = volume0 + in[1].volume;
            const __m128d quotients =
                _mm_div_pd(_mm_set_pd(carry.value, value0), _mm_set_pd(carry.volume, volume0));
            store(out.data, i, volume0 == 0.0 ? quiet_nan : _mm_cvtsd_f64(quotients));
            store(out.data, i + 1,
                  carry.volume == 0.0 ? quiet_nan
                                      : _mm_cvtsd_f64(_mm_unpackhi_pd(quotients, quotients)));
        }
        // NOLINTEND(portability-simd-intrinsics)
    }
#endif
    for (; i < n; ++i) {
        take(i, run.at(i));
    }
    return carry;
}

// Over the last `period` bars, whose sums are carried from bar to bar and summed
// afresh every `period` bars, after a bad bar has left, or where they overflowed,
// as MFI's; the ring is read, not written.
Carry run_rolling(const VwapRun& run, Carry carry, OutputRun out) noexcept {
    const std::size_t n = run.high.length;
    const std::uint64_t period = run.period;
    std::uint64_t to_renewal = period - run.start % period;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t bar = run.start + i;
        const Traded in = run.at(i);
        const Traded leaving = bar >= period ? run.traded(bar - period) : Traded{0.0, 0.0};
        carry.bad += static_cast<std::uint64_t>(!is_finite(in.volume));
        carry.bad -= static_cast<std::uint64_t>(!is_finite(leaving.volume));
        carry.trading += static_cast<std::uint64_t>(counts(in.volume));
        carry.trading -= static_cast<std::uint64_t>(counts(leaving.volume));
        const bool renewed = --to_renewal == 0;
        if (renewed) {
            to_renewal = period;
        }
        if (carry.bad != 0 || bar + 1 < period) {
            carry.value = quiet_nan;
            carry.volume = quiet_nan;
            store(out.data, i, quiet_nan);
            continue;
        }
        double value = carry.value + (in.value - leaving.value);
        double volume = carry.volume + (in.volume - leaving.volume);
        if (renewed || !is_finite(value) || !is_finite(volume)) {
            value = -0.0;
            volume = -0.0;
            for (std::uint64_t b = bar + 1 - period; b <= bar; ++b) {
                const Traded t = run.traded(b);
                value = value + t.value;
                volume = volume + t.volume;
            }
        }
        carry.value = value;
        carry.volume = volume;
        store(out.data, i, average_price(value, volume, carry.trading));
    }
    return carry;
}

Carry run_vwap(const VwapRun& run, const Carry& carry, OutputRun out, bool overlapping) noexcept {
    return run.period == 0 ? run_anchored(run, carry, out, overlapping)
                           : run_rolling(run, carry, out);
}

bool overlap_any(InputRun high, InputRun low, InputRun close, InputRun volume,
                 OutputRun out) noexcept {
    return detail::overlap(high, out) || detail::overlap(low, out) || detail::overlap(close, out) ||
           detail::overlap(volume, out);
}

// The bad bars and those that traded among the ring's held bars.
Carry counted(std::uint64_t period, std::uint64_t bars, const double* ring, Carry carry) noexcept {
    const std::uint64_t held = bars < period ? bars : period;
    carry.bad = 0;
    carry.trading = 0;
    for (std::uint64_t b = bars - held; b < bars; ++b) {
        const double volume = ring[period + b % period];
        carry.bad += static_cast<std::uint64_t>(!is_finite(volume));
        carry.trading += static_cast<std::uint64_t>(counts(volume));
    }
    return carry;
}

}  // namespace

std::expected<VwapState, StateError> VwapState::create(std::uint64_t period) noexcept {
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::unique_ptr<double[]> ring = detail::allocate_window(2 * period);
    if (period != 0 && ring == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return VwapState(period, std::move(ring));
}

VwapState::VwapState(std::uint64_t period, std::unique_ptr<double[]> ring) noexcept
    : period_(period), ring_(std::move(ring)) {
    if (period_ != 0) {
        carry_.value = quiet_nan;
        carry_.volume = quiet_nan;
    }
}

std::expected<VwapState, StateError> VwapState::copy() const noexcept {
    std::expected<VwapState, StateError> twin = create(period_);
    if (twin) {
        if (period_ != 0) {
            std::memcpy(twin->ring_.get(), ring_.get(), 2 * period_ * sizeof(double));
        }
        twin->bars_ = bars_;
        twin->carry_ = carry_;
    }
    return twin;
}

VwapState::VwapState(VwapState&& other) noexcept = default;
VwapState& VwapState::operator=(VwapState&& other) noexcept = default;
VwapState::~VwapState() = default;

void VwapState::advance(InputRun high, InputRun low, InputRun close, InputRun volume,
                        OutputRun out) noexcept {
    const std::size_t n = high.length;
    // The pre-fill comes before any read when the output overlaps an input.
    const bool overlapping = overlap_any(high, low, close, volume, out);
    if (overlapping) {
        detail::fill_nan(out);
    }
    const VwapRun run{period_, bars_, ring_.get(), high, low, close, volume};
    const Carry carry = run_vwap(run, carry_, out, overlapping);
    // The ring keeps the run's last bars, once the run has read the ones before it.
    const std::uint64_t end = bars_ + n;
    if (period_ != 0) {
        for (std::uint64_t b = end - (n < period_ ? n : period_); b < end; ++b) {
            const Traded t = run.traded(b);
            ring_[b % period_] = t.value;
            ring_[period_ + b % period_] = t.volume;
        }
    }
    carry_ = carry;
    bars_ = end;
}

void VwapState::preview(InputRun high, InputRun low, InputRun close, InputRun volume,
                        OutputRun out) const noexcept {
    const bool overlapping = overlap_any(high, low, close, volume, out);
    if (overlapping) {
        detail::fill_nan(out);
    }
    run_vwap({period_, bars_, ring_.get(), high, low, close, volume}, carry_, out, overlapping);
}

std::uint64_t VwapState::period() const noexcept {
    return period_;
}

std::uint64_t VwapState::bars() const noexcept {
    return bars_;
}

// period, bars, the two sums, then the ring's values and its volumes.
std::size_t VwapState::checkpoint_size() const noexcept {
    return static_cast<std::size_t>(4 + 2 * period_);
}

void VwapState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter writer(words);
    writer.put(period_).put(bars_).put(carry_.value).put(carry_.volume);
    writer.put_window(ring_.get(), 2 * period_);
}

std::expected<VwapState, StateError> VwapState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (words.size() < 4 || period > max_window || words.size() != 4 + 2 * period) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<VwapState, StateError> state = create(period);
    if (!state) {
        return state;
    }
    const std::uint64_t bars = in.word();
    Carry carry = state->carry_;
    carry.value = in.value();
    carry.volume = in.value();
    double* ring = state->ring_.get();
    in.take_window(ring, 2 * period);
    if (!detail::valid_bars(bars)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    if (period == 0) {
        // Sums of finite values from -0: never NaN, -0 before the first bar.
        const bool fresh = bars == 0;
        if (detail::is_nan(carry.value) || detail::is_nan(carry.volume) ||
            (fresh &&
             (!detail::same_bits(carry.value, -0.0) || !detail::same_bits(carry.volume, -0.0)))) {
            return std::unexpected(StateError::bad_checkpoint);
        }
    } else {
        if (!detail::unreached_slots_clear(ring, period, bars) ||
            !detail::unreached_slots_clear(ring + period, period, bars)) {
            return std::unexpected(StateError::bad_checkpoint);
        }
        // Each held bar is bad on both sides or good on both.
        const std::uint64_t held = bars < period ? bars : period;
        for (std::uint64_t b = bars - held; b < bars; ++b) {
            if (is_finite(ring[b % period]) != is_finite(ring[period + b % period])) {
                return std::unexpected(StateError::bad_checkpoint);
            }
        }
        carry = counted(period, bars, ring, carry);
        // The sums are NaN exactly while the window is not full or holds a bad bar.
        const bool sums_bad = carry.bad != 0 || bars < period;
        if (sums_bad != detail::is_nan(carry.value) || sums_bad != detail::is_nan(carry.volume)) {
            return std::unexpected(StateError::bad_checkpoint);
        }
    }
    state->bars_ = bars;
    state->carry_ = carry;
    return state;
}
}  // namespace marundex::core
