#include <cstring>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "window.hpp"
#include "wma_sums.hpp"

namespace marundex::core {

using detail::input_before;
using detail::quiet_nan;
using detail::store;

namespace {

using detail::load;
using detail::Renewal;
using detail::WmaFresh;
using detail::WmaSums;
using detail::WmaWeights;

// Takes bars from `from` while their inputs are plain, the window's `period` inputs
// before `from` plain too and in the run, and returns the first bar not taken.
std::size_t advance_plain(const WmaWeights& f, WmaSums& carry_out, Renewal& renewal_out,
                          InputRun data, OutputRun out, std::size_t from) noexcept {
    // The stretch works on its own copies, which no store to the run can touch.
    WmaSums carry = carry_out;
    Renewal renewal = renewal_out;
    WmaFresh fresh = detail::wma_fresh(f, renewal, [&](std::uint64_t j) {
        return load(data.data, from - static_cast<std::size_t>(j));
    });
    const std::size_t n = data.length;
    const auto period = static_cast<std::size_t>(f.period);
    std::size_t i = from;
    while (i < n) {
        const std::size_t piece_end = n - i > detail::plain_piece ? i + detail::plain_piece : n;
        const std::size_t end = detail::first_beyond(data.data, i, piece_end, detail::plain_bound);
        for (; i < end; ++i) {
            const double weighted = detail::wma_plain_weighted(
                f, carry, fresh, renewal.tick(), load(data.data, i), load(data.data, i - period));
            store(out.data, i, weighted / f.divisor);
        }
        if (end != piece_end) {
            break;
        }
    }
    carry_out = carry;
    renewal_out = renewal;
    return i;
}

// Writes the averages of `data`, the bars after `bars`, and returns what they leave.
// One series in one run is the batch.
WmaSums advance_wma(const WmaWeights& f, std::uint64_t bars, WmaSums carry, detail::Window earlier,
                    InputRun data, OutputRun out) noexcept {
    const std::uint64_t period = f.period;
    const bool overlapping = detail::overlap(data, out);
    // The pre-fill comes before any read when the output overlaps the input.
    if (period == 0 || overlapping) {
        detail::fill_nan(out);
    }
    if (period == 0) {
        return carry;
    }
    Renewal renewal(period, bars);
    // One bar by the definition's step.
    const auto step = [&](std::size_t i, double x) noexcept {
        const bool renewed = renewal.tick();
        const auto back = [&](std::uint64_t j) { return input_before(earlier, data, i, j); };
        store(out.data, i,
              detail::wma_step(f, carry, bars + i + 1 >= period, renewed, x,
                               input_before(earlier, data, i, period), back));
    };
    // After a window of plain inputs the sums are those of a full clean window,
    // carried or afresh, and finite.
    detail::take_stretches(
        data, period, detail::plain_bound, overlapping,
        [&](std::size_t i) noexcept { return advance_plain(f, carry, renewal, data, out, i); },
        step);
    return carry;
}

// Whether some series leaves these fields after `bars` bars: the window as SMA's,
// the count of its bad inputs, and sums NaN while there is no good full window.
bool consistent(std::uint64_t period, std::uint64_t bars, const WmaSums& carry, const double* slots,
                std::uint64_t next) noexcept {
    if (!detail::consistent_window(period, bars, slots, next, carry.bad)) {
        return false;
    }
    if (period == 0 || bars < period || carry.bad != 0) {
        return detail::same_bits(carry.sum, quiet_nan) &&
               detail::same_bits(carry.weighted, quiet_nan);
    }
    return true;
}

}  // namespace

std::expected<WmaState, StateError> WmaState::create(std::uint64_t period) noexcept {
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::unique_ptr<double[]> window = detail::allocate_window(period);
    if (period != 0 && window == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return WmaState(period, std::move(window));
}

WmaState::WmaState(std::uint64_t period, std::unique_ptr<double[]> window) noexcept
    : period_(period), sum_(quiet_nan), weighted_(quiet_nan), window_(std::move(window)) {
    const WmaWeights f = detail::wma_weights(period);
    period_double_ = f.period_double;
    divisor_ = f.divisor;
}

std::expected<WmaState, StateError> WmaState::copy() const noexcept {
    std::expected<WmaState, StateError> twin = create(period_);
    if (twin) {
        if (period_ != 0) {
            std::memcpy(twin->window_.get(), window_.get(), period_ * sizeof(double));
        }
        twin->bars_ = bars_;
        twin->sum_ = sum_;
        twin->weighted_ = weighted_;
        twin->bad_ = bad_;
        twin->next_slot_ = next_slot_;
    }
    return twin;
}

WmaState::WmaState(WmaState&& other) noexcept = default;
WmaState& WmaState::operator=(WmaState&& other) noexcept = default;
WmaState::~WmaState() = default;

void WmaState::advance(InputRun data, OutputRun out) noexcept {
    const WmaSums carry =
        advance_wma({period_, period_double_, divisor_}, bars_, {sum_, weighted_, bad_},
                    {window_.get(), period_, next_slot_}, data, out);
    sum_ = carry.sum;
    weighted_ = carry.weighted;
    bad_ = carry.bad;
    next_slot_ = detail::keep_recent(window_.get(), period_, next_slot_, data);
    bars_ += data.length;
}

void WmaState::preview(InputRun data, OutputRun out) const noexcept {
    advance_wma({period_, period_double_, divisor_}, bars_, {sum_, weighted_, bad_},
                {window_.get(), period_, next_slot_}, data, out);
}

std::uint64_t WmaState::period() const noexcept {
    return period_;
}

std::uint64_t WmaState::bars() const noexcept {
    return bars_;
}

// period, bars, sum, weighted sum, bad inputs, next slot, then the `period` slots.
std::size_t WmaState::checkpoint_size() const noexcept {
    return 6 + period_;
}

void WmaState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter out(words);
    out.put(period_).put(bars_).put(sum_).put(weighted_).put(bad_).put(next_slot_);
    out.put_window(window_.get(), period_);
}

std::expected<WmaState, StateError> WmaState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (words.size() < 6 || period > max_window || words.size() != 6 + period) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<WmaState, StateError> state = create(period);
    if (!state) {
        return state;
    }
    state->bars_ = in.word();
    state->sum_ = in.value();
    state->weighted_ = in.value();
    state->bad_ = in.word();
    state->next_slot_ = in.word();
    in.take_window(state->window_.get(), period);
    if (!consistent(period, state->bars_, {state->sum_, state->weighted_, state->bad_},
                    state->window_.get(), state->next_slot_)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
