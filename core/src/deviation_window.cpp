#include <cstring>
#include <utility>

#include "checkpoint.hpp"
#include "deviation_window.hpp"

namespace marundex::core::detail {

namespace {

// Whether some series leaves this window after `bars` bars: the slots as SMA's, the
// count of its bad inputs, and sums NaN while there is no good full window.
bool consistent(std::uint64_t period, std::uint64_t bars, const DeviationCarry& carry,
                const double* slots, std::uint64_t next) noexcept {
    if (!consistent_window(period, bars, slots, next, carry.bad)) {
        return false;
    }
    if (period == 0 || bars < period || carry.bad != 0) {
        return same_bits(carry.shift, quiet_nan) && same_bits(carry.sum, quiet_nan) &&
               same_bits(carry.squares, quiet_nan);
    }
    return true;
}

}  // namespace

std::expected<DeviationWindow, StateError> DeviationWindow::create(std::uint64_t period) noexcept {
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::unique_ptr<double[]> slots = allocate_window(period);
    if (period != 0 && slots == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return DeviationWindow(period, std::move(slots));
}

DeviationWindow::DeviationWindow(std::uint64_t period, std::unique_ptr<double[]> slots) noexcept
    : period_(period), carry_(no_deviations), slots_(std::move(slots)) {}

std::expected<DeviationWindow, StateError> DeviationWindow::copy() const noexcept {
    std::expected<DeviationWindow, StateError> twin = create(period_);
    if (twin) {
        if (period_ != 0) {
            std::memcpy(twin->slots_.get(), slots_.get(), period_ * sizeof(double));
        }
        twin->bars_ = bars_;
        twin->carry_ = carry_;
        twin->next_slot_ = next_slot_;
    }
    return twin;
}

void DeviationWindow::take(InputRun data, const DeviationCarry& carry) noexcept {
    carry_ = carry;
    next_slot_ = keep_recent(slots_.get(), period_, next_slot_, data);
    bars_ += data.length;
}

void DeviationWindow::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    CheckpointWriter out(words);
    out.put(period_).put(bars_).put(carry_.shift).put(carry_.sum).put(carry_.squares);
    out.put(carry_.bad).put(next_slot_);
    out.put_window(slots_.get(), period_);
}

std::expected<DeviationWindow, StateError> DeviationWindow::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() < 7) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (period > max_window || words.size() != 7 + period) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<DeviationWindow, StateError> window = create(period);
    if (!window) {
        return window;
    }
    window->bars_ = in.word();
    window->carry_.shift = in.value();
    window->carry_.sum = in.value();
    window->carry_.squares = in.value();
    window->carry_.bad = in.word();
    window->next_slot_ = in.word();
    in.take_window(window->slots_.get(), period);
    if (!consistent(period, window->bars_, window->carry_, window->slots_.get(),
                    window->next_slot_)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return window;
}

}  // namespace marundex::core::detail
