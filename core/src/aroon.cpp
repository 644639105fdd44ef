#include <bit>
#include <cstdint>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "side_extremes.hpp"

namespace marundex::core {

using detail::load;
using detail::quiet_nan;
using detail::Standing;
using detail::store;

namespace {

constexpr std::uint64_t quiet_nan_bits = std::bit_cast<std::uint64_t>(quiet_nan);

// (100 * (period - k)) / period, k the bars since the extreme: exactly 100 at a new
// extreme and 0 where it leaves next, each operation rounded on its own.
double aroon(std::uint64_t period, std::uint64_t bar, bool clean, Standing extreme) noexcept {
    if (!clean) {
        return quiet_nan;
    }
    const double left = detail::period_as_double(period - (bar - extreme.bar));
    return (100.0 * left) / detail::period_as_double(period);
}

// A bar's two lines at once, up then down, as aroon() gives each: the division costs
// most of a bar, and one instruction divides both lanes, each rounded on its own.
using Lines = detail::LaneValues;

Lines aroon_lines(Lines periods, detail::LaneWords lead, detail::LaneWords extremes) noexcept {
    // period - k, k the bars since the extreme: where the window is clean, an integer
    // from 0 to the period, whose word set in the mantissa of 2**52 is 2**52 plus it,
    // so that taking 2**52 away gives it exactly, as periods - k did.
    constexpr std::uint64_t two_52 = 0x4330'0000'0000'0000;
    const Lines left =
        std::bit_cast<Lines>((extremes - lead) | two_52) - std::bit_cast<double>(two_52);
    return (100.0 * left) / periods;
}

void prefill(InputRun high, InputRun low, OutputRun down, OutputRun up) noexcept {
    // The pre-fill comes before any read when an output overlaps an input.
    if (detail::overlap(high, down) || detail::overlap(low, down) || detail::overlap(high, up) ||
        detail::overlap(low, up)) {
        detail::fill_nan(down);
        detail::fill_nan(up);
    }
}

}  // namespace

std::expected<AroonState, StateError> AroonState::create(std::uint64_t period) noexcept {
    if (period == 0) {
        return std::unexpected(StateError::zero_period);
    }
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::expected<SideExtremes, StateError> sides = detail::make_sides(period + 1);
    if (!sides) {
        return std::unexpected(sides.error());
    }
    return AroonState(std::move(*sides));
}

AroonState::AroonState(SideExtremes sides) noexcept : sides_(std::move(sides)) {}

std::expected<AroonState, StateError> AroonState::copy() const noexcept {
    std::expected<SideExtremes, StateError> sides = detail::copy_sides(sides_);
    if (!sides) {
        return std::unexpected(sides.error());
    }
    AroonState twin(std::move(*sides));
    twin.bars_ = bars_;
    return twin;
}

AroonState::AroonState(AroonState&& other) noexcept = default;
AroonState& AroonState::operator=(AroonState&& other) noexcept = default;
AroonState::~AroonState() = default;

void AroonState::advance(InputRun high, InputRun low, OutputRun down, OutputRun up) noexcept {
    prefill(high, low, down, up);
    const Lines periods = {detail::period_as_double(period()), detail::period_as_double(period())};
    const detail::LaneWords period_words = {period(), period()};
    const auto emit = [&](std::size_t i, detail::LaneWords now, detail::LaneWords extremes,
                          detail::LaneWords clean) noexcept {
        // The bar a period before: extremes - lead is period - k.
        const detail::LaneWords lead = now - period_words;
        const auto lines = std::bit_cast<detail::LaneWords>(aroon_lines(periods, lead, extremes));
        const detail::LaneWords nan = {quiet_nan_bits, quiet_nan_bits};
        const auto out = std::bit_cast<Lines>((lines & clean) | (nan & ~clean));
        store(up.data, i, out[0]);
        store(down.data, i, out[1]);
    };
    detail::take_in_lanes(sides_, bars_, high, low, emit);
    bars_ += high.length;
}

void AroonState::preview(InputRun high, InputRun low, OutputRun down, OutputRun up) const noexcept {
    prefill(high, low, down, up);
    const std::uint64_t p = period();
    detail::SidePreview<true, true> highs(sides_, bars_);
    detail::SidePreview<false, true> lows(sides_, bars_);
    const auto high_at = [&high](std::size_t k) noexcept { return load(high.data, k); };
    const auto low_at = [&low](std::size_t k) noexcept { return load(low.data, k); };
    for (std::size_t i = 0; i < high.length; ++i) {
        const std::uint64_t bar = bars_ + i;
        Standing highest{};
        Standing lowest{};
        const bool high_clean = highs.take(i, high_at, highest);
        const bool low_clean = lows.take(i, low_at, lowest);
        store(down.data, i, aroon(p, bar, low_clean, lowest));
        store(up.data, i, aroon(p, bar, high_clean, highest));
    }
}

std::uint64_t AroonState::period() const noexcept {
    return sides_.span - 1;
}

std::uint64_t AroonState::bars() const noexcept {
    return bars_;
}

// The period, bars, then the window's highs and lows over period + 1 bars.
std::size_t AroonState::checkpoint_size() const noexcept {
    return static_cast<std::size_t>(2 + detail::side_words(sides_.span));
}

void AroonState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter writer(words);
    writer.put(period()).put(bars_);
    detail::put_sides(writer, sides_);
}

std::expected<AroonState, StateError> AroonState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (words.size() < 3 || period == 0 || period > max_window ||
        words.size() != 2 + detail::side_words(period + 1)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<AroonState, StateError> state = create(period);
    if (!state) {
        return state;
    }
    state->bars_ = in.word();
    if (!detail::take_sides(in, state->sides_, state->bars_)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}

}  // namespace marundex::core
