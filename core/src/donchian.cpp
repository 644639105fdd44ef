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

struct Bands {
    OutputRun upper;
    OutputRun middle;
    OutputRun lower;
};

// The bands of the run's bar i from each side's window: its extreme where it is full
// and clean, the middle where both are.
void write_bands(const Bands& out, std::size_t i, bool high_clean, Standing highest, bool low_clean,
                 Standing lowest) noexcept {
    store(out.upper.data, i, high_clean ? highest.value : quiet_nan);
    store(out.lower.data, i, low_clean ? lowest.value : quiet_nan);
    store(out.middle.data, i,
          high_clean && low_clean ? (highest.value + lowest.value) / 2.0 : quiet_nan);
}

void prefill(InputRun high, InputRun low, const Bands& out) noexcept {
    // The pre-fill comes before any read when an output overlaps an input.
    for (const OutputRun run : {out.upper, out.middle, out.lower}) {
        if (detail::overlap(high, run) || detail::overlap(low, run)) {
            detail::fill_nan(out.upper);
            detail::fill_nan(out.middle);
            detail::fill_nan(out.lower);
            return;
        }
    }
}

}  // namespace

std::expected<DonchianState, StateError> DonchianState::create(std::uint64_t period) noexcept {
    if (period == 0) {
        return std::unexpected(StateError::zero_period);
    }
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::expected<SideExtremes, StateError> sides = detail::make_sides(period);
    if (!sides) {
        return std::unexpected(sides.error());
    }
    return DonchianState(std::move(*sides));
}

DonchianState::DonchianState(SideExtremes sides) noexcept : sides_(std::move(sides)) {}

std::expected<DonchianState, StateError> DonchianState::copy() const noexcept {
    std::expected<SideExtremes, StateError> sides = detail::copy_sides(sides_);
    if (!sides) {
        return std::unexpected(sides.error());
    }
    DonchianState twin(std::move(*sides));
    twin.bars_ = bars_;
    return twin;
}

DonchianState::DonchianState(DonchianState&& other) noexcept = default;
DonchianState& DonchianState::operator=(DonchianState&& other) noexcept = default;
DonchianState::~DonchianState() = default;

void DonchianState::advance(InputRun high, InputRun low, OutputRun upper, OutputRun middle,
                            OutputRun lower) noexcept {
    const Bands out{upper, middle, lower};
    prefill(high, low, out);
    detail::SidesCursor<false> cursor = detail::live_cursor<false>(sides_, bars_);
    for (std::size_t i = 0; i < high.length; ++i) {
        bool high_clean = false;
        bool low_clean = false;
        cursor.take(load(high.data, i), load(low.data, i), high_clean, low_clean);
        write_bands(out, i, high_clean, cursor.high, low_clean, cursor.low);
    }
    detail::settle(sides_, cursor);
    bars_ += high.length;
}

void DonchianState::preview(InputRun high, InputRun low, OutputRun upper, OutputRun middle,
                            OutputRun lower) const noexcept {
    const Bands out{upper, middle, lower};
    prefill(high, low, out);
    detail::SidePreview<true, false> highs(sides_, bars_);
    detail::SidePreview<false, false> lows(sides_, bars_);
    const auto high_at = [&high](std::size_t k) noexcept { return load(high.data, k); };
    const auto low_at = [&low](std::size_t k) noexcept { return load(low.data, k); };
    for (std::size_t i = 0; i < high.length; ++i) {
        Standing highest{};
        Standing lowest{};
        const bool high_clean = highs.take(i, high_at, highest);
        const bool low_clean = lows.take(i, low_at, lowest);
        write_bands(out, i, high_clean, highest, low_clean, lowest);
    }
}

std::uint64_t DonchianState::period() const noexcept {
    return sides_.span;
}

std::uint64_t DonchianState::bars() const noexcept {
    return bars_;
}

// The period, bars, then the window's highs and lows.
std::size_t DonchianState::checkpoint_size() const noexcept {
    return static_cast<std::size_t>(2 + detail::side_words(sides_.span));
}

void DonchianState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter writer(words);
    writer.put(sides_.span).put(bars_);
    detail::put_sides(writer, sides_);
}

std::expected<DonchianState, StateError> DonchianState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (words.size() < 3 || period == 0 || period > max_window ||
        words.size() != 2 + detail::side_words(period)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<DonchianState, StateError> state = create(period);
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
