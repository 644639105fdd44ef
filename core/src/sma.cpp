#include <cstring>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "window.hpp"

namespace marundex::core {

using detail::load;
using detail::store;

namespace {

// Where a run of the running sum starts: the bars before it, the sum they left,
// and the window holding their inputs.
struct SmaStart {
    std::uint64_t period = 0;
    double reciprocal = 0.0;
    std::uint64_t bars = 0;
    double sum = -0.0;
    detail::Window earlier;
};

// Writes the averages of `data`, the bars after `at.bars`, and returns the running
// sum after them. One series in one run is the batch kernel.
double advance_sum(const SmaStart& at, InputRun data, OutputRun out) noexcept {
    const std::size_t n = data.length;
    const std::uint64_t period = at.period;
    const double inv = at.reciprocal;
    double sum = at.sum;
    if (period == 0) {
        detail::fill_nan(out);
        return sum;
    }
    // The pre-fill comes before any read: an output that is the input itself ends NaN.
    // Apart from the input, only the warm-up is left without a value.
    const bool overlapping = detail::overlap(data, out);
    std::size_t i = 0;
    if (at.bars < period) {
        // Warm-up: the series' first `period` inputs are summed, and only the last of
        // them has an average.
        const std::uint64_t left = period - at.bars;
        const std::size_t warm = left < n ? static_cast<std::size_t>(left) : n;
        detail::fill_nan(out, 0, overlapping ? n : warm);
        for (; i < warm; ++i) {
            sum = detail::plus(sum, load(data.data, i));
        }
        if (warm == left) {
            // The reciprocal product, not a division by the period, is the defined average.
            store(out.data, warm - 1, inv * sum);
        }
    } else if (overlapping) {
        detail::fill_nan(out);
    }

    // The running sum is carried, never recomputed: the difference is formed first.
    // While the input leaving the window came before this run, the window has it.
    const std::size_t from_window = period < n ? static_cast<std::size_t>(period) : n;
    if (i < from_window) {
        const double* const slots = at.earlier.slots;
        std::uint64_t slot = at.earlier.next + i;
        slot = slot >= period ? slot - period : slot;
        for (; i < from_window; ++i) {
            sum = detail::plus(sum, load(data.data, i) - slots[slot]);
            store(out.data, i, inv * sum);
            slot = slot + 1 == period ? 0 : slot + 1;
        }
    }
    for (; i < n; ++i) {
        sum = detail::plus(sum, load(data.data, i) - load(data.data, i - period));
        store(out.data, i, inv * sum);
    }
    return sum;
}

// A live feed brings one bar at a time. Once the window is full, and unless the
// output is the input, that bar is one step of the running sum and nothing else.
bool one_steady_bar(std::uint64_t period, std::uint64_t bars, InputRun data,
                    OutputRun out) noexcept {
    return data.length == 1 && bars >= period && period != 0 &&
           !detail::overlap_one(data.data, out.data);
}

double reciprocal_of(std::uint64_t period) noexcept {
    return 1.0 / detail::period_as_double(period);
}

// Until the window is full, the running sum is that of its inputs, added in order
// from -0 as advance_sum adds them, and the slots not yet reached are zero. After
// that the sum has drifted from any sum of the window and may be any value.
bool consistent_warm_up(std::uint64_t period, std::uint64_t bars, double sum,
                        const double* slots) noexcept {
    if (period != 0 && bars >= period) {
        return true;
    }
    const std::uint64_t kept = period == 0 ? 0 : bars;
    double expected = -0.0;
    for (std::uint64_t k = 0; k < kept; ++k) {
        expected = detail::plus(expected, slots[k]);
    }
    return detail::same_bits(sum, expected) && detail::unreached_slots_clear(slots, period, kept);
}

}  // namespace

void sma(std::uint64_t period, InputRun data, OutputRun out) noexcept {
    // Too short a series has no window to sum.
    if (period == 0 || period > data.length) {
        detail::fill_nan(out);
        return;
    }
    advance_sum({period, reciprocal_of(period), 0, -0.0, {}}, data, out);
}

std::expected<SmaState, StateError> SmaState::create(std::uint64_t period) noexcept {
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::unique_ptr<double[]> window = detail::allocate_window(period);
    if (period != 0 && window == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return SmaState(period, std::move(window));
}

SmaState::SmaState(std::uint64_t period, std::unique_ptr<double[]> window) noexcept
    : period_(period), reciprocal_(reciprocal_of(period)), window_(std::move(window)) {}

std::expected<SmaState, StateError> SmaState::copy() const noexcept {
    std::expected<SmaState, StateError> twin = create(period_);
    if (twin) {
        if (period_ != 0) {
            std::memcpy(twin->window_.get(), window_.get(), period_ * sizeof(double));
        }
        twin->bars_ = bars_;
        twin->sum_ = sum_;
        twin->next_slot_ = next_slot_;
    }
    return twin;
}

SmaState::SmaState(SmaState&& other) noexcept = default;
SmaState& SmaState::operator=(SmaState&& other) noexcept = default;
SmaState::~SmaState() = default;

void SmaState::advance(InputRun data, OutputRun out) noexcept {
    if (!one_steady_bar(period_, bars_, data, out)) {
        advance_runs(data, out);
        return;
    }
    const std::uint64_t slot = next_slot_;
    const double x = load(data.data, 0);
    const double sum = detail::plus(sum_, x - window_[slot]);
    store(out.data, 0, reciprocal_ * sum);
    sum_ = sum;
    window_[slot] = x;
    next_slot_ = slot + 1 == period_ ? 0 : slot + 1;
    ++bars_;
}

// Not inlined into advance(), so that a lone bar needs none of the registers that
// this keeps.
[[gnu::noinline]] void SmaState::advance_runs(InputRun data, OutputRun out) noexcept {
    sum_ = advance_sum({period_, reciprocal_, bars_, sum_, {window_.get(), period_, next_slot_}},
                       data, out);
    next_slot_ = detail::keep_recent(window_.get(), period_, next_slot_, data);
    bars_ += data.length;
}

void SmaState::preview(InputRun data, OutputRun out) const noexcept {
    if (one_steady_bar(period_, bars_, data, out)) {
        store(out.data, 0,
              reciprocal_ * detail::plus(sum_, load(data.data, 0) - window_[next_slot_]));
        return;
    }
    advance_sum({period_, reciprocal_, bars_, sum_, {window_.get(), period_, next_slot_}}, data,
                out);
}

std::uint64_t SmaState::period() const noexcept {
    return period_;
}

std::uint64_t SmaState::bars() const noexcept {
    return bars_;
}

// period, bars, sum, next slot, then the `period` slots of the window.
std::size_t SmaState::checkpoint_size() const noexcept {
    return 4 + period_;
}

void SmaState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter out(words);
    out.put(period_).put(bars_).put(sum_).put(next_slot_);
    out.put_window(window_.get(), period_);
}

std::expected<SmaState, StateError> SmaState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (words.size() < 4 || period > max_window || words.size() != 4 + period) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<SmaState, StateError> state = create(period);
    if (!state) {
        return state;
    }
    state->bars_ = in.word();
    state->sum_ = in.value();
    state->next_slot_ = in.word();
    in.take_window(state->window_.get(), period);
    if (!detail::valid_bars(state->bars_) ||
        !detail::valid_slot(state->next_slot_, period, state->bars_) ||
        !consistent_warm_up(period, state->bars_, state->sum_, state->window_.get())) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
