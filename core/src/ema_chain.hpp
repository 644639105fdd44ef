// The states that blend a chain of exponential averages (DEMA, TEMA): each average
// takes EMA's step over the outputs of the one before. Each blend's file defines
// its Blend::of and instantiates EmaChainState for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "checkpoint.hpp"
#include "ema_step.hpp"
#include "float64_access.hpp"

namespace marundex::core::detail {

template <std::size_t Depth>
using EmaChain = std::array<EmaCarry, Depth>;

// The blend of averages that all have a value. An overflowing blend of infinities
// is NaN of one payload everywhere.
template <class Blend>
double blend_of(const std::array<double, Blend::depth>& e) noexcept {
    const double blend = Blend::of(e);
    return is_nan(blend) ? quiet_nan : blend;
}

// Writes the blend of every bar of `data` and returns what the bars leave.
template <class Blend>
EmaChain<Blend::depth> advance_chain(const EmaFactors& f, EmaChain<Blend::depth> chain,
                                     InputRun data, OutputRun out) noexcept {
    // The pre-fill comes before any read when the output overlaps the input.
    if (f.period == 0 || overlap(data, out)) {
        fill_nan(out);
    }
    if (f.period == 0) {
        return chain;
    }
    const std::size_t n = data.length;
    std::size_t i = 0;
    // Until the last average is seeded.
    for (; i < n && !seeded(f, chain[Blend::depth - 1]); ++i) {
        std::array<double, Blend::depth> e{};
        double x = load(data.data, i);
        for (std::size_t k = 0; k < Blend::depth; ++k) {
            x = ema_step(f, chain[k], x);
            e[k] = x;
        }
        // The last average has a value only where every one before it has a finite
        // one.
        store(out.data, i, is_nan(x) ? quiet_nan : blend_of<Blend>(e));
    }
    // All seeded: the same steps, with the averages in registers rather than in
    // the carry, and no test of their seeds.
    std::array<double, Blend::depth> e{};
    for (std::size_t k = 0; k < Blend::depth; ++k) {
        e[k] = chain[k].average;
    }
    for (; i < n; ++i) {
        const double x = load(data.data, i);
        if (!is_finite(x)) {
            store(out.data, i, quiet_nan);
            continue;
        }
        e[0] = ema_smoothed(f, e[0], x);
        // An average that overflowed is a value the next one skips.
        bool taken = true;
        for (std::size_t k = 1; k < Blend::depth; ++k) {
            if (!is_finite(e[k - 1])) {
                taken = false;
                break;
            }
            e[k] = ema_smoothed(f, e[k], e[k - 1]);
        }
        store(out.data, i, taken ? blend_of<Blend>(e) : quiet_nan);
    }
    for (std::size_t k = 0; k < Blend::depth; ++k) {
        chain[k].average = e[k];
    }
    return chain;
}

// Whether some series leaves this chain after `bars` bars: every average a carry
// that finite inputs leave, the first's run no longer than the bars and, right at
// its seed, the seed's mean; an average whose input has not been seeded has seen
// nothing.
template <std::size_t Depth>
bool consistent_chain(const EmaFactors& f, std::uint64_t bars,
                      const EmaChain<Depth>& chain) noexcept {
    if (!valid_bars(bars) || chain[0].finite_run > bars) {
        return false;
    }
    for (std::size_t k = 0; k < Depth; ++k) {
        if (!consistent_ema(f, chain[k])) {
            return false;
        }
        if (k + 1 < Depth && !seeded(f, chain[k]) && chain[k + 1].finite_run != 0) {
            return false;
        }
    }
    if (f.period != 0 && seeded(f, chain[0]) && bars == f.period) {
        return same_bits(chain[0].average, chain[0].seed_sum / f.period_double);
    }
    return true;
}

}  // namespace marundex::core::detail

namespace marundex::core {

template <class Blend>
EmaChainState<Blend>::EmaChainState(std::uint64_t period) noexcept
    : period_(period),
      period_double_(detail::period_as_double(period)),
      alpha_(detail::ema_alpha_of(period_double_)),
      beta_(1.0 - alpha_) {
    links_.fill(detail::fresh_ema);
}

template <class Blend>
void EmaChainState<Blend>::advance(InputRun data, OutputRun out) noexcept {
    links_ =
        detail::advance_chain<Blend>({period_, period_double_, alpha_, beta_}, links_, data, out);
    bars_ += data.length;
}

template <class Blend>
void EmaChainState<Blend>::preview(InputRun data, OutputRun out) const noexcept {
    detail::advance_chain<Blend>({period_, period_double_, alpha_, beta_}, links_, data, out);
}

template <class Blend>
std::uint64_t EmaChainState<Blend>::period() const noexcept {
    return period_;
}

template <class Blend>
std::uint64_t EmaChainState<Blend>::bars() const noexcept {
    return bars_;
}

// period, bars, then each average's finite run, seed sum and average.
// Of the same shape as the states with a window, whose size varies.
template <class Blend>
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::size_t EmaChainState<Blend>::checkpoint_size() const noexcept {
    return 2 + 3 * Blend::depth;
}

template <class Blend>
void EmaChainState<Blend>::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter writer(words);
    writer.put(period_).put(bars_);
    for (const EmaLink& link : links_) {
        writer.put(link.finite_run).put(link.seed_sum).put(link.average);
    }
}

template <class Blend>
std::expected<EmaChainState<Blend>, StateError> EmaChainState<Blend>::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() != 2 + 3 * Blend::depth) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    EmaChainState state(in.word());
    state.bars_ = in.word();
    for (EmaLink& link : state.links_) {
        link.finite_run = in.word();
        link.seed_sum = in.value();
        link.average = in.value();
    }
    if (!detail::consistent_chain<Blend::depth>(
            {state.period_, state.period_double_, state.alpha_, state.beta_}, state.bars_,
            state.links_)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}

}  // namespace marundex::core
