#include "bar_extremes.hpp"
#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "true_range.hpp"

namespace marundex::core {

using detail::overlap;

using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

// ((hh - close) / (hh - ll)) * -100, each operation rounded on its own; 0 where the
// high and the low are equal, as TA-Lib gives there.
double percent_r(double highest, double lowest, double close) noexcept {
    const double range = highest - lowest;
    if (range == 0.0) {
        return 0.0;
    }
    return ((highest - close) / range) * -100.0;
}

}  // namespace

std::expected<WillrState, StateError> WillrState::create(std::uint64_t period) noexcept {
    std::expected<BarExtremes, StateError> extremes = detail::make_bar_extremes(period);
    if (!extremes) {
        return std::unexpected(extremes.error());
    }
    return WillrState(std::move(*extremes));
}

WillrState::WillrState(BarExtremes extremes) noexcept : extremes_(std::move(extremes)) {}

std::expected<WillrState, StateError> WillrState::copy() const noexcept {
    std::expected<BarExtremes, StateError> extremes = detail::copy_bar_extremes(extremes_);
    if (!extremes) {
        return std::unexpected(extremes.error());
    }
    WillrState twin(std::move(*extremes));
    twin.bars_ = bars_;
    return twin;
}

WillrState::WillrState(WillrState&& other) noexcept = default;
WillrState& WillrState::operator=(WillrState&& other) noexcept = default;
WillrState::~WillrState() = default;

void WillrState::advance(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept {
    const std::size_t n = high.length;
    const std::uint64_t period = extremes_.period;
    // The pre-fill comes before any read when the output overlaps an input.
    if (period == 0 || overlap({high, low, close}, out)) {
        detail::fill_nan(out);
    }
    if (period == 0) {
        bars_ += n;
        return;
    }
    detail::ExtremesCursor cursor = detail::live_cursor(extremes_, bars_);
    for (std::size_t i = 0; i < n; ++i) {
        const double h = load(high.data, i);
        const double l = load(low.data, i);
        const double c = load(close.data, i);
        const bool clean = cursor.keep_and_take(h, l);
        store(out.data, i,
              clean && is_finite(c) ? percent_r(cursor.highest(), cursor.lowest(), c) : quiet_nan);
    }
    detail::settle(extremes_, cursor);
    bars_ += n;
}

void WillrState::preview(InputRun high, InputRun low, InputRun close,
                         OutputRun out) const noexcept {
    const std::size_t n = high.length;
    if (extremes_.period == 0 || overlap({high, low, close}, out)) {
        detail::fill_nan(out);
    }
    if (extremes_.period == 0) {
        return;
    }
    const auto high_at = [&high](std::size_t k) noexcept { return load(high.data, k); };
    const auto low_at = [&low](std::size_t k) noexcept { return load(low.data, k); };
    detail::ExtremesPreview window = detail::preview_of(extremes_, bars_);
    for (std::size_t i = 0; i < n; ++i) {
        const double c = load(close.data, i);
        const bool clean = window.take(i, high_at, low_at);
        const double hh = window.highest(i);
        const double ll = window.lowest(i);
        store(out.data, i, clean && is_finite(c) ? percent_r(hh, ll, c) : quiet_nan);
    }
}

std::uint64_t WillrState::period() const noexcept {
    return extremes_.period;
}

std::uint64_t WillrState::bars() const noexcept {
    return bars_;
}

// period, bars, next slot, then the highs and the lows of the window.
std::size_t WillrState::checkpoint_size() const noexcept {
    return static_cast<std::size_t>(2 + detail::checkpoint_words(extremes_));
}

void WillrState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter writer(words);
    writer.put(extremes_.period).put(bars_);
    detail::put_extremes(writer, extremes_);
}

std::expected<WillrState, StateError> WillrState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (words.size() < 3 || period > max_window || words.size() != 3 + 2 * period) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<WillrState, StateError> state = create(period);
    if (!state) {
        return state;
    }
    state->bars_ = in.word();
    if (!detail::valid_bars(state->bars_) ||
        !detail::take_extremes(in, state->extremes_, state->bars_)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
