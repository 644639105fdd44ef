#include <cstring>
#include <utility>

#include "bar_extremes.hpp"
#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "stochastic_lines.hpp"
#include "window.hpp"

namespace marundex::core {

using detail::load;

namespace {

// The RSI's words, then the two periods, the extremes and the ring.
constexpr std::size_t rsi_words = 6;

void prefill(InputRun data, OutputRun fastk, OutputRun fastd) noexcept {
    // The pre-fill comes before any read when an output overlaps the input.
    if (detail::overlap(data, fastk) || detail::overlap(data, fastd)) {
        detail::fill_nan(fastk);
        detail::fill_nan(fastd);
    }
}

// The RSI of the run as the high, the low and the close of the lines.
detail::Bars rsi_bars(OutputRun rsi) noexcept {
    const InputRun line{rsi.data, rsi.length};
    return {line, line, line};
}

}  // namespace

std::expected<StochRsiState, StateError> StochRsiState::create(
    std::uint64_t period, std::uint64_t fastk_period, std::uint64_t fastd_period) noexcept {
    if (period == 0 || fastk_period == 0 || fastd_period == 0) {
        return std::unexpected(StateError::zero_period);
    }
    if (fastd_period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::expected<BarExtremes, StateError> extremes = detail::make_bar_extremes(fastk_period);
    if (!extremes) {
        return std::unexpected(extremes.error());
    }
    std::unique_ptr<double[]> ring = detail::allocate_window(fastd_period);
    if (ring == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return StochRsiState(RsiState(period), {fastk_period, fastd_period}, std::move(*extremes),
                         std::move(ring));
}

StochRsiState::StochRsiState(RsiState rsi, std::array<std::uint64_t, 2> lines, BarExtremes extremes,
                             std::unique_ptr<double[]> ring) noexcept
    : rsi_(rsi), lines_(lines), extremes_(std::move(extremes)), ring_(std::move(ring)) {}

std::expected<StochRsiState, StateError> StochRsiState::copy() const noexcept {
    std::expected<StochRsiState, StateError> twin = create(rsi_.period(), lines_[0], lines_[1]);
    if (!twin) {
        return twin;
    }
    std::expected<BarExtremes, StateError> extremes = detail::copy_bar_extremes(extremes_);
    if (!extremes) {
        return std::unexpected(extremes.error());
    }
    twin->rsi_ = rsi_;
    twin->extremes_ = std::move(*extremes);
    std::memcpy(twin->ring_.get(), ring_.get(), lines_[1] * sizeof(double));
    return twin;
}

StochRsiState::StochRsiState(StochRsiState&& other) noexcept = default;
StochRsiState& StochRsiState::operator=(StochRsiState&& other) noexcept = default;
StochRsiState::~StochRsiState() = default;

void StochRsiState::advance(InputRun data, OutputRun fastk, OutputRun fastd) noexcept {
    prefill(data, fastk, fastd);
    const std::uint64_t bars = rsi_.bars();
    rsi_.advance(data, fastd);
    detail::ExtremesCursor cursor = detail::live_cursor(extremes_, bars);
    const auto take = [&](std::size_t i, double& hh, double& ll) noexcept {
        const double rsi = load(fastd.data, i);
        detail::keep(extremes_, rsi, rsi);
        if (!cursor.take(rsi, rsi)) {
            return false;
        }
        hh = cursor.highest();
        ll = cursor.lowest();
        return true;
    };
    detail::run_lines<1>(lines_, rsi_.period(), bars, take, ring_.get(), true, rsi_bars(fastd),
                         {fastk, fastd});
    detail::settle(extremes_, cursor);
}

void StochRsiState::preview(InputRun data, OutputRun fastk, OutputRun fastd) const noexcept {
    prefill(data, fastk, fastd);
    const std::uint64_t bars = rsi_.bars();
    rsi_.preview(data, fastd);
    const auto rsi_at = [&fastd](std::size_t k) noexcept { return load(fastd.data, k); };
    detail::ExtremesPreview window = detail::preview_of(extremes_, bars);
    const auto take = [&](std::size_t i, double& hh, double& ll) noexcept {
        const bool clean = window.take(i, rsi_at, rsi_at);
        hh = window.highest(i);
        ll = window.lowest(i);
        return clean;
    };
    detail::run_lines<1>(lines_, rsi_.period(), bars, take, ring_.get(), false, rsi_bars(fastd),
                         {fastk, fastd});
}

StochRsiState::Periods StochRsiState::periods() const noexcept {
    return {rsi_.period(), lines_[0], lines_[1]};
}

std::uint64_t StochRsiState::bars() const noexcept {
    return rsi_.bars();
}

std::size_t StochRsiState::checkpoint_size() const noexcept {
    return static_cast<std::size_t>(rsi_words + 2 + detail::checkpoint_words(extremes_) +
                                    lines_[1]);
}

void StochRsiState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    rsi_.write_checkpoint(words.first(rsi_words));
    detail::CheckpointWriter writer(words.subspan(rsi_words));
    writer.put(lines_[0]).put(lines_[1]);
    detail::put_extremes(writer, extremes_);
    writer.put_window(ring_.get(), lines_[1]);
}

std::expected<StochRsiState, StateError> StochRsiState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() < rsi_words + 3) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<RsiState, StateError> rsi = RsiState::from_checkpoint(words.first(rsi_words));
    detail::CheckpointReader in(words.subspan(rsi_words));
    const std::uint64_t fastk = in.word();
    const std::uint64_t fastd = in.word();
    if (!rsi || rsi->period() == 0 || fastk == 0 || fastd == 0 || fastk > max_window ||
        fastd > max_window || words.size() != rsi_words + 3 + 2 * fastk + fastd) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<StochRsiState, StateError> state = create(rsi->period(), fastk, fastd);
    if (!state) {
        return state;
    }
    state->rsi_ = *rsi;
    const std::uint64_t bars = rsi->bars();
    if (!detail::take_extremes(in, state->extremes_, bars)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    in.take_window(state->ring_.get(), fastd);
    if (!detail::unreached_slots_clear(state->ring_.get(), fastd, bars)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}

}  // namespace marundex::core
