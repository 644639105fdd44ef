#include <cstring>
#include <utility>

#include "bar_extremes.hpp"
#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "true_range.hpp"
#include "window.hpp"

namespace marundex::core {

using detail::overlap;

using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

// ((close - ll) / (hh - ll)) * 100, each operation rounded on its own; 0 where the
// high and the low are equal, as TA-Lib gives there.
double fast_k(double highest, double lowest, double close) noexcept {
    const double range = highest - lowest;
    if (range == 0.0) {
        return 0.0;
    }
    return ((close - lowest) / range) * 100.0;
}

template <std::size_t Means>
std::uint64_t ring_words(const std::array<std::uint64_t, Means + 1>& periods) noexcept {
    std::uint64_t words = 0;
    for (std::size_t m = 1; m <= Means; ++m) {
        words += periods[m];
    }
    return words;
}

// The first bar with a value of each line: the fast %K's window full, then each
// mean's window of the line before.
template <std::size_t Means>
std::array<std::uint64_t, Means + 1> starts_of(
    const std::array<std::uint64_t, Means + 1>& periods) noexcept {
    std::array<std::uint64_t, Means + 1> starts{};
    starts[0] = periods[0] - 1;
    for (std::size_t m = 1; m <= Means; ++m) {
        starts[m] = starts[m - 1] + (periods[m] - 1);
    }
    return starts;
}

// The lines of a run after `bars` bars. Line m is worked in the output
// (m + Means + 1) % 2, so that the last two end in the first and second outputs and
// each mean reads the line before from the other one; the rings give the values
// before the run. A live run keeps each line's last values in its ring once the
// next line has read them. The first output, whichever line it holds, starts where
// the last line does.
template <std::size_t Means, class Extremes>
void run_lines(const std::array<std::uint64_t, Means + 1>& periods, std::uint64_t bars,
               const Extremes& take_extremes, double* rings, bool live, const detail::Bars& in,
               std::array<OutputRun, 2> outs) noexcept {
    const std::size_t n = in.high.length;
    const std::array<std::uint64_t, Means + 1> starts = starts_of<Means>(periods);
    // The fast %K.
    void* const k_out = outs[(Means + 1) % 2].data;
    for (std::size_t i = 0; i < n; ++i) {
        const double close = load(in.close.data, i);
        double k = quiet_nan;
        double hh = 0.0;
        double ll = 0.0;
        if (take_extremes(i, hh, ll) && is_finite(close)) {
            k = fast_k(hh, ll, close);
        }
        store(k_out, i, k);
    }
    // Each mean, of the line before: its values summed from the oldest, then divided.
    double* ring = rings;
    for (std::size_t m = 1; m <= Means; ++m) {
        const std::uint64_t p = periods[m];
        const double divisor = detail::period_as_double(p);
        const void* before = outs[(m + Means) % 2].data;
        void* here = outs[(m + Means + 1) % 2].data;
        const auto value = [&](std::uint64_t bar) noexcept {
            return bar >= bars ? load(before, static_cast<std::size_t>(bar - bars)) : ring[bar % p];
        };
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t bar = bars + i;
            if (bar < starts[m]) {
                store(here, i, quiet_nan);
                continue;
            }
            double sum = value(bar + 1 - p);
            for (std::uint64_t j = bar + 2 - p; j <= bar; ++j) {
                sum = sum + value(j);
            }
            store(here, i, sum / divisor);
        }
        if (live) {
            const std::uint64_t from = n > p ? bars + n - p : bars;
            for (std::uint64_t bar = from; bar < bars + n; ++bar) {
                ring[bar % p] = load(before, static_cast<std::size_t>(bar - bars));
            }
        }
        ring += p;
    }
    for (std::size_t i = 0; i < n && bars + i < starts[Means]; ++i) {
        store(outs[0].data, i, quiet_nan);
    }
}

}  // namespace

template <std::size_t Means>
std::expected<StochasticState<Means>, StateError> StochasticState<Means>::create(
    Periods periods) noexcept {
    for (const std::uint64_t p : periods) {
        if (p == 0) {
            return std::unexpected(StateError::zero_period);
        }
        if (p > max_window) {
            return std::unexpected(StateError::window_too_long);
        }
    }
    std::expected<BarExtremes, StateError> extremes = detail::make_bar_extremes(periods[0]);
    if (!extremes) {
        return std::unexpected(extremes.error());
    }
    std::unique_ptr<double[]> lines = detail::allocate_window(ring_words<Means>(periods));
    if (lines == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return StochasticState(periods, std::move(*extremes), std::move(lines));
}

template <std::size_t Means>
StochasticState<Means>::StochasticState(Periods periods, BarExtremes extremes,
                                        std::unique_ptr<double[]> lines) noexcept
    : periods_(periods), extremes_(std::move(extremes)), lines_(std::move(lines)) {}

template <std::size_t Means>
std::expected<StochasticState<Means>, StateError> StochasticState<Means>::copy() const noexcept {
    std::expected<StochasticState, StateError> twin = create(periods_);
    if (!twin) {
        return twin;
    }
    std::expected<BarExtremes, StateError> extremes = detail::copy_bar_extremes(extremes_);
    if (!extremes) {
        return std::unexpected(extremes.error());
    }
    twin->extremes_ = std::move(*extremes);
    twin->bars_ = bars_;
    std::memcpy(twin->lines_.get(), lines_.get(), ring_words<Means>(periods_) * sizeof(double));
    return twin;
}

template <std::size_t Means>
StochasticState<Means>::StochasticState(StochasticState&& other) noexcept = default;
template <std::size_t Means>
StochasticState<Means>& StochasticState<Means>::operator=(StochasticState&& other) noexcept =
    default;
template <std::size_t Means>
StochasticState<Means>::~StochasticState() = default;

template <std::size_t Means>
void StochasticState<Means>::advance(InputRun high, InputRun low, InputRun close, OutputRun first,
                                     OutputRun second) noexcept {
    // The pre-fill comes before any read when an output overlaps an input.
    if (overlap({high, low, close}, first) || overlap({high, low, close}, second)) {
        detail::fill_nan(first);
        detail::fill_nan(second);
    }
    detail::ExtremesCursor cursor = detail::live_cursor(extremes_, bars_);
    const auto take = [&](std::size_t i, double& hh, double& ll) noexcept {
        const double h = load(high.data, i);
        const double l = load(low.data, i);
        if (!cursor.keep_and_take(h, l)) {
            return false;
        }
        hh = cursor.highest();
        ll = cursor.lowest();
        return true;
    };
    run_lines<Means>(periods_, bars_, take, lines_.get(), true, {high, low, close},
                     {first, second});
    detail::settle(extremes_, cursor);
    bars_ += high.length;
}

template <std::size_t Means>
void StochasticState<Means>::preview(InputRun high, InputRun low, InputRun close, OutputRun first,
                                     OutputRun second) const noexcept {
    if (overlap({high, low, close}, first) || overlap({high, low, close}, second)) {
        detail::fill_nan(first);
        detail::fill_nan(second);
    }
    const auto high_at = [&high](std::size_t k) noexcept { return load(high.data, k); };
    const auto low_at = [&low](std::size_t k) noexcept { return load(low.data, k); };
    detail::ExtremesPreview window = detail::preview_of(extremes_, bars_);
    const auto take = [&](std::size_t i, double& hh, double& ll) noexcept {
        const bool clean = window.take(i, high_at, low_at);
        hh = window.highest(i);
        ll = window.lowest(i);
        return clean;
    };
    run_lines<Means>(periods_, bars_, take, lines_.get(), false, {high, low, close},
                     {first, second});
}

template <std::size_t Means>
typename StochasticState<Means>::Periods StochasticState<Means>::periods() const noexcept {
    return periods_;
}

template <std::size_t Means>
std::uint64_t StochasticState<Means>::bars() const noexcept {
    return bars_;
}

// The periods, bars, the window's extremes, then the rings of the lines.
template <std::size_t Means>
std::size_t StochasticState<Means>::checkpoint_size() const noexcept {
    return static_cast<std::size_t>(Means + 2 + detail::checkpoint_words(extremes_) +
                                    ring_words<Means>(periods_));
}

template <std::size_t Means>
void StochasticState<Means>::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter writer(words);
    for (const std::uint64_t p : periods_) {
        writer.put(p);
    }
    writer.put(bars_);
    detail::put_extremes(writer, extremes_);
    writer.put_window(lines_.get(), ring_words<Means>(periods_));
}

template <std::size_t Means>
std::expected<StochasticState<Means>, StateError> StochasticState<Means>::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() < Means + 3) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    Periods periods{};
    for (std::uint64_t& p : periods) {
        p = in.word();
        if (p == 0 || p > max_window) {
            return std::unexpected(StateError::bad_checkpoint);
        }
    }
    const std::uint64_t rings = ring_words<Means>(periods);
    if (words.size() != Means + 3 + 2 * periods[0] + rings) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<StochasticState, StateError> state = create(periods);
    if (!state) {
        return state;
    }
    state->bars_ = in.word();
    if (!detail::valid_bars(state->bars_) ||
        !detail::take_extremes(in, state->extremes_, state->bars_)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    in.take_window(state->lines_.get(), rings);
    const double* ring = state->lines_.get();
    for (std::size_t m = 1; m <= Means; ++m) {
        if (!detail::unreached_slots_clear(ring, periods[m], state->bars_)) {
            return std::unexpected(StateError::bad_checkpoint);
        }
        ring += periods[m];
    }
    return state;
}

template class StochasticState<1>;
template class StochasticState<2>;

}  // namespace marundex::core
