// The states whose output at bar i is a function of x[i] and x[i - period] alone
// (MOM, ROC): the window keeps the last `period` inputs, and an input that is not
// finite spoils the two outputs that read it and nothing else. Each formula's file
// defines its Formula::of and instantiates LaggedState for it.
#pragma once

#include <cstring>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "lanes.hpp"
#include "window.hpp"

namespace marundex::core::detail {

#if defined(__SSE2__)
// Formula::of on two bars at once, the quick way, and its doubt; each formula's
// file defines it.
template <class Formula>
DoubtedLanes formula_lanes(Lanes now, Lanes then) noexcept;
#endif

// Writes the outputs of `data`, the bars after `bars`, reading the inputs before
// the run from `earlier`.
template <class Formula>
void advance_lagged(std::uint64_t period, std::uint64_t bars, Window earlier, InputRun data,
                    OutputRun out) noexcept {
    const std::size_t n = data.length;
    const bool overlapping = overlap(data, out);
    // The pre-fill comes before any read when the output overlaps the input.
    if (period == 0 || overlapping) {
        fill_nan(out);
    }
    if (period == 0) {
        return;
    }
    // Warm-up: no input `period` bars back yet.
    const std::uint64_t left = bars < period ? period - bars : 0;
    const std::size_t warm = left < n ? static_cast<std::size_t>(left) : n;
    fill_nan(out, 0, warm);
    std::size_t i = warm;
    // While the input `period` bars back came before this run, the window has it.
    const std::size_t from_window = period < n ? static_cast<std::size_t>(period) : n;
    if (i < from_window) {
        std::uint64_t slot = earlier.next + i;
        slot = slot >= period ? slot - period : slot;
        for (; i < from_window; ++i) {
            store(out.data, i, Formula::of(load(data.data, i), earlier.slots[slot]));
            slot = slot + 1 == period ? 0 : slot + 1;
        }
    }
#if defined(__SSE2__)
    // Two bars at a time read no output of the pair before: only where the output
    // does not overlap the input.
    if (!overlapping && i < n) {
        // Captured by value: through references, every store to the output could
        // change where the next load reads from, and the compiler reloads them.
        const InputRun in = data;
        const OutputRun to = out;
        const auto back = static_cast<std::size_t>(period);
        i = doubted_blocks(
            i, n,
            [in, to, back](std::size_t k) {
                const DoubtedLanes pair =
                    formula_lanes<Formula>(load_lanes(in.data, k), load_lanes(in.data, k - back));
                store_lanes(to.data, k, pair.value);
                return pair.doubt;
            },
            [in, to, back](std::size_t k) {
                store(to.data, k, Formula::of(load(in.data, k), load(in.data, k - back)));
            });
    }
#endif
    for (; i < n; ++i) {
        store(out.data, i, Formula::of(load(data.data, i), load(data.data, i - period)));
    }
}

}  // namespace marundex::core::detail

namespace marundex::core {

template <class Formula>
std::expected<LaggedState<Formula>, StateError> LaggedState<Formula>::create(
    std::uint64_t period) noexcept {
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::unique_ptr<double[]> window = detail::allocate_window(period);
    if (period != 0 && window == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return LaggedState(period, std::move(window));
}

template <class Formula>
LaggedState<Formula>::LaggedState(std::uint64_t period, std::unique_ptr<double[]> window) noexcept
    : period_(period), window_(std::move(window)) {}

template <class Formula>
std::expected<LaggedState<Formula>, StateError> LaggedState<Formula>::copy() const noexcept {
    std::expected<LaggedState, StateError> twin = create(period_);
    if (twin) {
        if (period_ != 0) {
            std::memcpy(twin->window_.get(), window_.get(), period_ * sizeof(double));
        }
        twin->bars_ = bars_;
        twin->next_slot_ = next_slot_;
    }
    return twin;
}

template <class Formula>
LaggedState<Formula>::LaggedState(LaggedState&& other) noexcept = default;
template <class Formula>
LaggedState<Formula>& LaggedState<Formula>::operator=(LaggedState&& other) noexcept = default;
template <class Formula>
LaggedState<Formula>::~LaggedState() = default;

template <class Formula>
void LaggedState<Formula>::advance(InputRun data, OutputRun out) noexcept {
    detail::advance_lagged<Formula>(period_, bars_, {window_.get(), period_, next_slot_}, data,
                                    out);
    next_slot_ = detail::keep_recent(window_.get(), period_, next_slot_, data);
    bars_ += data.length;
}

template <class Formula>
void LaggedState<Formula>::preview(InputRun data, OutputRun out) const noexcept {
    detail::advance_lagged<Formula>(period_, bars_, {window_.get(), period_, next_slot_}, data,
                                    out);
}

template <class Formula>
std::uint64_t LaggedState<Formula>::period() const noexcept {
    return period_;
}

template <class Formula>
std::uint64_t LaggedState<Formula>::bars() const noexcept {
    return bars_;
}

// period, bars, next slot, then the `period` slots of the window.
template <class Formula>
std::size_t LaggedState<Formula>::checkpoint_size() const noexcept {
    return 3 + period_;
}

template <class Formula>
void LaggedState<Formula>::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter out(words);
    out.put(period_).put(bars_).put(next_slot_);
    out.put_window(window_.get(), period_);
}

// The window as SMA's: the slot of the next bar right after the bars seen until it
// is full, the slots not yet reached zero.
template <class Formula>
std::expected<LaggedState<Formula>, StateError> LaggedState<Formula>::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (words.size() < 3 || period > max_window || words.size() != 3 + period) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<LaggedState, StateError> state = create(period);
    if (!state) {
        return state;
    }
    state->bars_ = in.word();
    state->next_slot_ = in.word();
    in.take_window(state->window_.get(), period);
    const std::uint64_t kept = state->bars_ < period ? state->bars_ : period;
    if (!detail::valid_bars(state->bars_) ||
        !detail::valid_slot(state->next_slot_, period, state->bars_) ||
        !detail::unreached_slots_clear(state->window_.get(), period, kept)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}

}  // namespace marundex::core
