#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "lanes.hpp"
#include "true_range.hpp"

namespace marundex::core {

using detail::Bars;
using detail::overlap;

using detail::load;
using detail::quiet_nan;
using detail::store;
#if defined(__SSE2__)
using detail::load_lanes;
using detail::store_lanes;
#endif

namespace {

// Writes the true ranges of `bars` after the close `previous_close` (NaN before the
// first bar) and returns the last close.
double advance_ranges(double previous_close, const Bars& bars, OutputRun out) noexcept {
    const std::size_t n = bars.high.length;
    const bool overlapping = overlap(bars, out);
    // The pre-fill comes before any read when the output overlaps an input.
    if (overlapping) {
        detail::fill_nan(out);
    }
    std::size_t i = 0;
#if defined(__SSE2__)
    // Two bars at a time, each previous close read from the run: only where the
    // output overwrites no input.
    if (!overlapping && n >= 3) {
        store(out.data, 0,
              detail::finite_true_range(load(bars.high.data, 0), load(bars.low.data, 0),
                                        previous_close));
        // Captured by value: through references, every store to the output could
        // change where the next load reads from, and the compiler reloads them.
        const Bars in = bars;
        const OutputRun to = out;
        i = detail::doubted_blocks(
            1, n,
            [in, to](std::size_t k) {
                const detail::DoubtedLanes pair = detail::quick_true_ranges(
                    load_lanes(in.high.data, k), load_lanes(in.low.data, k),
                    load_lanes(in.close.data, k - 1));
                store_lanes(to.data, k, pair.value);
                return pair.doubt;
            },
            [in, to](std::size_t k) {
                store(to.data, k,
                      detail::finite_true_range(load(in.high.data, k), load(in.low.data, k),
                                                load(in.close.data, k - 1)));
            });
        previous_close = load(bars.close.data, i - 1);
    }
#endif
    for (; i < n; ++i) {
        const double close = load(bars.close.data, i);
        store(out.data, i,
              detail::finite_true_range(load(bars.high.data, i), load(bars.low.data, i),
                                        previous_close));
        previous_close = close;
    }
    return previous_close;
}

}  // namespace

TrangeState::TrangeState() noexcept : previous_close_(quiet_nan) {}

void TrangeState::advance(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept {
    previous_close_ = advance_ranges(previous_close_, {high, low, close}, out);
    bars_ += high.length;
}

void TrangeState::preview(InputRun high, InputRun low, InputRun close,
                          OutputRun out) const noexcept {
    advance_ranges(previous_close_, {high, low, close}, out);
}

std::uint64_t TrangeState::bars() const noexcept {
    return bars_;
}

// bars, previous close.
// Of the same shape as the states with a window, whose size varies.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::size_t TrangeState::checkpoint_size() const noexcept {
    return 2;
}

void TrangeState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter(words).put(bars_).put(previous_close_);
}

// Any close may follow a bar, NaN of any payload included; before the first bar it
// is the constructor's NaN.
std::expected<TrangeState, StateError> TrangeState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() != 2) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    TrangeState state;
    state.bars_ = in.word();
    state.previous_close_ = in.value();
    if (!detail::valid_bars(state.bars_) ||
        (state.bars_ == 0 && !detail::same_bits(state.previous_close_, quiet_nan))) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
