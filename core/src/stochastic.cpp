#include <cstring>
#include <utility>

#include "bar_extremes.hpp"
#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "stochastic_lines.hpp"
#include "true_range.hpp"
#include "window.hpp"

namespace marundex::core {

using detail::load;
using detail::overlap;

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
    std::unique_ptr<double[]> lines = detail::allocate_window(detail::ring_words<Means>(periods));
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
    std::memcpy(twin->lines_.get(), lines_.get(),
                detail::ring_words<Means>(periods_) * sizeof(double));
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
    detail::run_lines<Means>(periods_, 0, bars_, take, lines_.get(), true, {high, low, close},
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
    detail::run_lines<Means>(periods_, 0, bars_, take, lines_.get(), false, {high, low, close},
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
                                    detail::ring_words<Means>(periods_));
}

template <std::size_t Means>
void StochasticState<Means>::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter writer(words);
    for (const std::uint64_t p : periods_) {
        writer.put(p);
    }
    writer.put(bars_);
    detail::put_extremes(writer, extremes_);
    writer.put_window(lines_.get(), detail::ring_words<Means>(periods_));
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
    const std::uint64_t rings = detail::ring_words<Means>(periods);
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
