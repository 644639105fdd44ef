#include <bit>
#include <cmath>
#include <utility>

#include "checkpoint.hpp"
#include "deviation_window.hpp"

namespace marundex::core {

using detail::quiet_nan;
using detail::store;

std::expected<BbandsState, StateError> BbandsState::create(std::uint64_t period, double nbdev_up,
                                                           double nbdev_dn) noexcept {
    std::expected<detail::DeviationWindow, StateError> window =
        detail::DeviationWindow::create(period);
    if (!window) {
        return std::unexpected(window.error());
    }
    return BbandsState(nbdev_up, nbdev_dn, std::move(*window));
}

BbandsState::BbandsState(double nbdev_up, double nbdev_dn, detail::DeviationWindow window) noexcept
    : nbdev_up_(nbdev_up), nbdev_dn_(nbdev_dn), window_(std::move(window)) {}

std::expected<BbandsState, StateError> BbandsState::copy() const noexcept {
    std::expected<detail::DeviationWindow, StateError> window = window_.copy();
    if (!window) {
        return std::unexpected(window.error());
    }
    return BbandsState(nbdev_up_, nbdev_dn_, std::move(*window));
}

// The middle band is the mean; each outer band adds or takes its multiple of the
// deviation, the product first. Stored upper, middle, lower.
detail::DeviationCarry BbandsState::run(InputRun data, OutputRun upper, OutputRun middle,
                                        OutputRun lower) const noexcept {
    // The pre-fill comes before any read when an output overlaps the input.
    const bool overlapping = detail::overlap(data, upper) || detail::overlap(data, middle) ||
                             detail::overlap(data, lower);
    if (overlapping) {
        detail::fill_nan(upper);
        detail::fill_nan(middle);
        detail::fill_nan(lower);
    }
    const double up = nbdev_up_;
    const double down = nbdev_dn_;
    return detail::advance_deviations(
        window_, data, overlapping,
        [&](std::size_t i, const detail::Spread& s) noexcept {
            const double mean = s.mean();
            store(upper.data, i, mean + up * s.deviation);
            store(middle.data, i, mean);
            store(lower.data, i, mean - down * s.deviation);
        },
        [&](std::size_t i) noexcept {
            store(upper.data, i, quiet_nan);
            store(middle.data, i, quiet_nan);
            store(lower.data, i, quiet_nan);
        });
}

void BbandsState::advance(InputRun data, OutputRun upper, OutputRun middle,
                          OutputRun lower) noexcept {
    window_.take(data, run(data, upper, middle, lower));
}

void BbandsState::preview(InputRun data, OutputRun upper, OutputRun middle,
                          OutputRun lower) const noexcept {
    static_cast<void>(run(data, upper, middle, lower));  // a preview moves nothing
}

std::size_t BbandsState::checkpoint_size() const noexcept {
    return 2 + window_.checkpoint_size();
}

void BbandsState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    words[0] = std::bit_cast<std::uint64_t>(nbdev_up_);
    words[1] = std::bit_cast<std::uint64_t>(nbdev_dn_);
    window_.write_checkpoint(words.subspan(2));
}

std::expected<BbandsState, StateError> BbandsState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() < 2 || !std::isfinite(std::bit_cast<double>(words[0])) ||
        !std::isfinite(std::bit_cast<double>(words[1]))) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<detail::DeviationWindow, StateError> window =
        detail::DeviationWindow::from_checkpoint(words.subspan(2));
    if (!window) {
        return std::unexpected(window.error());
    }
    return BbandsState(std::bit_cast<double>(words[0]), std::bit_cast<double>(words[1]),
                       std::move(*window));
}

}  // namespace marundex::core
