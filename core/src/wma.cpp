#include <cstring>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "window.hpp"

namespace marundex::core {

using detail::input_before;
using detail::is_finite;
using detail::quiet_nan;
using detail::store;

namespace {

struct WmaFactors {
    std::uint64_t period;
    double period_double;
    // The sum of the weights, period * (period + 1) / 2, exact up to 2**53.
    double divisor;
};

// What the window's sums carry from one bar to the next. While the window is not
// full, holds a bad input, or has just held one, both sums are NaN: the next good
// window sums itself afresh.
struct WmaCarry {
    double sum;
    double weighted;
    // The inputs in the window that are NaN or infinite.
    std::uint64_t bad;
};

// The sums of a full window, in order from its oldest input, from -0 as the SMA
// adds: the weights are 1 for the oldest input up to period for the newest.
// `back(j)` is the input j bars before the newest.
template <class Back>
WmaCarry sums_afresh(const WmaFactors& f, Back back) noexcept {
    double sum = -0.0;
    double weighted = -0.0;
    for (std::uint64_t k = 1; k <= f.period; ++k) {
        const double x = back(f.period - k);
        sum = sum + x;
        weighted = weighted + detail::period_as_double(k) * x;
    }
    return {sum, weighted, 0};
}

// Writes the averages of `data`, the bars after `bars`, and returns what they leave.
// One series in one run is the batch.
WmaCarry advance_wma(const WmaFactors& f, std::uint64_t bars, WmaCarry carry,
                     detail::Window earlier, InputRun data, OutputRun out) noexcept {
    const std::uint64_t period = f.period;
    // The pre-fill comes before any read when the output overlaps the input.
    if (period == 0 || detail::overlap(data, out)) {
        detail::fill_nan(out);
    }
    if (period == 0) {
        return carry;
    }
    // The bars left until the window has been renewed entirely and its sums are
    // summed afresh: carried sums lose a little at every step, and the weighted one
    // takes the plain one's losses in again and again, so they are never carried
    // further than a window.
    std::uint64_t to_renewal = period - bars % period;
    // One bar, given its input and the one leaving the window.
    const auto step = [&](std::size_t i, double x, double leaving) noexcept {
        carry.bad += static_cast<std::uint64_t>(!is_finite(x));
        carry.bad -= static_cast<std::uint64_t>(!is_finite(leaving));
        const bool renewed = --to_renewal == 0;
        if (renewed) {
            to_renewal = period;
        }
        if (bars + i + 1 < period || carry.bad != 0) {
            carry.sum = quiet_nan;
            carry.weighted = quiet_nan;
            store(out.data, i, quiet_nan);
            return;
        }
        // Each weight falls by one and the newest input comes in at `period`: the
        // weighted sum takes the old plain sum off. Each sum takes one addition on
        // the chain from bar to bar, the SMA's difference first.
        double weighted = carry.weighted + (f.period_double * x - carry.sum);
        double sum = carry.sum + (x - leaving);
        if (renewed || !is_finite(weighted) || !is_finite(sum)) {
            // A renewed window, the first good one after a bad input, or sums that
            // overflowed.
            const WmaCarry fresh =
                sums_afresh(f, [&](std::uint64_t j) { return input_before(earlier, data, i, j); });
            sum = fresh.sum;
            weighted = fresh.weighted;
        }
        carry.sum = sum;
        carry.weighted = weighted;
        store(out.data, i, weighted / f.divisor);
    };
    detail::each_bar_with_leaving(earlier, data, step);
    return carry;
}

WmaFactors factors_of(std::uint64_t period) noexcept {
    const double p = detail::period_as_double(period);
    return {period, p, (p * (p + 1.0)) / 2.0};
}

// Whether some series leaves these fields after `bars` bars: the window as SMA's,
// the count of its bad inputs, and sums NaN while there is no good full window.
bool consistent(std::uint64_t period, std::uint64_t bars, const WmaCarry& carry,
                const double* slots, std::uint64_t next) noexcept {
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
    const WmaFactors f = factors_of(period);
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
    const WmaCarry carry =
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
