#include <bit>
#include <cmath>
#include <utility>

#include "checkpoint.hpp"
#include "deviation_window.hpp"

namespace marundex::core {

using detail::quiet_nan;
using detail::store;

std::expected<StddevState, StateError> StddevState::create(std::uint64_t period,
                                                           double nbdev) noexcept {
    std::expected<detail::DeviationWindow, StateError> window =
        detail::DeviationWindow::create(period);
    if (!window) {
        return std::unexpected(window.error());
    }
    return StddevState(nbdev, std::move(*window));
}

StddevState::StddevState(double nbdev, detail::DeviationWindow window) noexcept
    : nbdev_(nbdev), window_(std::move(window)) {}

std::expected<StddevState, StateError> StddevState::copy() const noexcept {
    std::expected<detail::DeviationWindow, StateError> window = window_.copy();
    if (!window) {
        return std::unexpected(window.error());
    }
    return StddevState(nbdev_, std::move(*window));
}

// The deviation, then the product with nbdev.
detail::DeviationCarry StddevState::run(InputRun data, OutputRun out) const noexcept {
    // The pre-fill comes before any read when the output overlaps the input.
    const bool overlapping = detail::overlap(data, out);
    if (overlapping) {
        detail::fill_nan(out);
    }
    const double nbdev = nbdev_;
    return detail::advance_deviations(
        window_, data, overlapping,
        [&](std::size_t i, const detail::Spread& s) noexcept {
            store(out.data, i, s.deviation * nbdev);
        },
        [&](std::size_t i) noexcept { store(out.data, i, quiet_nan); });
}

void StddevState::advance(InputRun data, OutputRun out) noexcept {
    window_.take(data, run(data, out));
}

void StddevState::preview(InputRun data, OutputRun out) const noexcept {
    static_cast<void>(run(data, out));  // the carry moves nothing in a preview
}

std::size_t StddevState::checkpoint_size() const noexcept {
    return 1 + window_.checkpoint_size();
}

void StddevState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    words[0] = std::bit_cast<std::uint64_t>(nbdev_);
    window_.write_checkpoint(words.subspan(1));
}

std::expected<StddevState, StateError> StddevState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.empty() || !std::isfinite(std::bit_cast<double>(words[0]))) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<detail::DeviationWindow, StateError> window =
        detail::DeviationWindow::from_checkpoint(words.subspan(1));
    if (!window) {
        return std::unexpected(window.error());
    }
    return StddevState(std::bit_cast<double>(words[0]), std::move(*window));
}

}  // namespace marundex::core
