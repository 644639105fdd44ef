// The highest high and the lowest low of the last `period` bars, which WILLR, STOCHF
// and STOCH take. The window of highs and lows is a ring; a window is the end of the
// ring's round before (slots after the bar's own) and its round so far (slots up to
// it). The extremes of the round so far are carried; those of the round before from
// each slot to the end are worked once when a round ends, from the end backwards.
// A bar costs O(1), the same on a random walk as on a monotone series, with no
// branch on the data: queues of candidates or a kept extreme scanned again when it
// leaves the window branch on every comparison, and a walk makes those unpredictable.
#pragma once

#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "marundex/core.hpp"
#include "window.hpp"

namespace marundex::core::detail {

inline constexpr double below_all = -std::numeric_limits<double>::infinity();
inline constexpr double above_all = std::numeric_limits<double>::infinity();

// The window's first bar for the bar `bar`.
inline std::uint64_t first_of_window(std::uint64_t period, std::uint64_t bar) noexcept {
    return bar + 1 >= period ? bar + 1 - period : 0;
}

// Of equal values the latest stands, which decides between -0 and +0: `later` is the
// value of a later bar than `earlier`. Written as the machine's max and min take
// their operands (x86-64's maxsd and minsd), so that each is one instruction. NaN
// may come out of either: a bad value spoils the windows that hold it, which give
// NaN whatever is chosen, and the window's extremes reach no other window.
inline double higher(double later, double earlier) noexcept {
    return earlier > later ? earlier : later;
}
inline double lower(double later, double earlier) noexcept {
    return earlier < later ? earlier : later;
}

// The extremes of a ring's slots from each one to the end: a round just ended.
inline void work_tails(const double* window, double* tails, std::uint64_t period) noexcept {
    const double* lows = window + period;
    double high = below_all;
    double low = above_all;
    for (std::uint64_t k = period; k-- != 0;) {
        high = higher(high, window[k]);
        low = lower(low, lows[k]);
        tails[k] = high;
        tails[period + k] = low;
    }
}

// Bars taken one by one, each kept first in the window (keep(), or keep_and_take()).
struct ExtremesCursor {
    std::uint64_t period = 0;
    std::uint64_t bars = 0;
    std::uint64_t clean_from = 0;
    std::uint64_t slot = 0;  // the next bar's
    double round_high = below_all;
    double round_low = above_all;
    double* window = nullptr;
    double* tails = nullptr;
    double high = 0.0;
    double low = 0.0;

    // Takes one bar; true when its window is full and holds no bad high or low, and
    // then highest() and lowest() are its extremes.
    bool take(double h, double l) noexcept {
        const std::uint64_t bar = bars++;
        const std::uint64_t s = slot;
        // A bad high or low spoils the windows that hold it: x - x is 0 for a finite x
        // and NaN for a bad one, one test for both in the registers they are in.
        if (is_nan((h - h) + (l - l))) [[unlikely]] {
            clean_from = bar + period;
        }
        round_high = higher(h, round_high);
        round_low = lower(l, round_low);
        if (s + 1 == period) {
            // The round ends: the window is the round.
            high = round_high;
            low = round_low;
            work_tails(window, tails, period);
            round_high = below_all;
            round_low = above_all;
            slot = 0;
        } else {
            high = higher(round_high, tails[s + 1]);
            low = lower(round_low, tails[period + s + 1]);
            slot = s + 1;
        }
        return bar >= clean_from;
    }
    // Keeps the bar in the window, as keep() does, and takes it: the loop of one
    // state keeps the slot in a register rather than in the state.
    bool keep_and_take(double h, double l) noexcept {
        window[slot] = h;
        window[period + slot] = l;
        return take(h, l);
    }
    [[nodiscard]] double highest() const noexcept { return high; }
    [[nodiscard]] double lowest() const noexcept { return low; }
};

// The cursor of the live window, after `bars` bars; settle() keeps where it ends.
inline ExtremesCursor live_cursor(BarExtremes& e, std::uint64_t bars) noexcept {
    ExtremesCursor cursor;
    cursor.period = e.period;
    cursor.bars = bars;
    // No window is full before bar period - 1: one test for both.
    const std::uint64_t full_from = e.period == 0 ? 0 : e.period - 1;
    cursor.clean_from = e.clean_from > full_from ? e.clean_from : full_from;
    cursor.slot = e.next_slot;
    cursor.round_high = e.round_high;
    cursor.round_low = e.round_low;
    cursor.window = e.window.get();
    cursor.tails = e.tails.get();
    return cursor;
}

inline void settle(BarExtremes& e, const ExtremesCursor& cursor) noexcept {
    e.clean_from = cursor.clean_from;
    e.next_slot = cursor.slot;
    e.round_high = cursor.round_high;
    e.round_low = cursor.round_low;
}

// Keeps a bar's high and low in the window, before the cursor takes them.
inline void keep(BarExtremes& e, double high, double low) noexcept {
    double* highs = e.window.get();
    highs[e.next_slot] = high;
    highs[e.period + e.next_slot] = low;
    e.next_slot = e.next_slot + 1 == e.period ? 0 : e.next_slot + 1;
}

// The extremes of the windows of a run after `bars` bars, read from the state and
// the run alone: nothing is written, so that any number of previews may read one
// state at once. Until the run ends the state's round, the state's tails serve; from
// there, the window's extremes are kept with the latest bar where each stands, and
// the window is scanned again when that bar leaves it (in the state's window for its
// bars before the run, in the run for the others).
struct ExtremesPreview {
    // An extreme of a window: the latest bar where it stands, and its value.
    struct Extreme {
        std::uint64_t bar = 0;
        double value = 0.0;
    };

    const BarExtremes* e = nullptr;
    std::uint64_t start = 0;  // the run's first bar
    std::uint64_t clean_from = 0;
    std::uint64_t slot = 0;
    double round_high = below_all;
    double round_low = above_all;
    bool round_ended = false;
    // From the round's end: where the extremes were last worked from.
    std::uint64_t kept_from = 0;
    Extreme high;
    Extreme low;

    // The run's `i`th bar is bar start + i; its high and low, and the run's earlier
    // ones, are read by index.
    template <class High, class Low>
    bool take(std::size_t i, const High& high_at, const Low& low_at) noexcept {
        const std::uint64_t period = e->period;
        const std::uint64_t bar = start + i;
        const double h = high_at(i);
        const double l = low_at(i);
        if (!is_finite(h) || !is_finite(l)) {
            clean_from = bar + period;
        }
        const bool clean = bar + 1 >= period && bar >= clean_from;
        if (!round_ended) {
            round_high = higher(h, round_high);
            round_low = lower(l, round_low);
            if (slot + 1 == period) {
                high.value = round_high;
                low.value = round_low;
                round_ended = true;
                kept_from = bar + 1;
            } else {
                high.value = higher(round_high, e->tails[slot + 1]);
                low.value = lower(round_low, e->tails[period + slot + 1]);
                ++slot;
            }
            return clean;
        }
        if (bar < clean_from) {
            kept_from = clean_from;
            return false;
        }
        const std::uint64_t first = first_of_window(period, bar);
        if (bar == kept_from) {
            high = scan<true>(first, bar, high_at);
            low = scan<false>(first, bar, low_at);
            return clean;
        }
        if (h >= high.value) {
            high = {bar, h};
        } else if (high.bar < first) {
            high = scan<true>(first, bar, high_at);
        }
        if (l <= low.value) {
            low = {bar, l};
        } else if (low.bar < first) {
            low = scan<false>(first, bar, low_at);
        }
        return clean;
    }
    [[nodiscard]] double highest(std::size_t /*i*/) const noexcept { return high.value; }
    [[nodiscard]] double lowest(std::size_t /*i*/) const noexcept { return low.value; }

    // The extreme of the bars `first` to `bar`, oldest first.
    template <bool Highest, class At>
    [[nodiscard]] Extreme scan(std::uint64_t first, std::uint64_t bar,
                               const At& at) const noexcept {
        const std::uint64_t period = e->period;
        const double* ring = e->window.get() + (Highest ? 0 : period);
        Extreme x{first, Highest ? below_all : above_all};
        const auto take_value = [&x](std::uint64_t b, double v) noexcept {
            if (Highest ? v >= x.value : v <= x.value) {
                x = {b, v};
            }
        };
        for (std::uint64_t b = first; b < start; ++b) {
            // Bar b lies start - b slots before the state's next one.
            const std::uint64_t back = start - b;
            const std::uint64_t next = e->next_slot;
            take_value(b, ring[next >= back ? next - back : next + period - back]);
        }
        for (std::uint64_t b = first > start ? first : start; b <= bar; ++b) {
            take_value(b, at(static_cast<std::size_t>(b - start)));
        }
        return x;
    }
};

inline ExtremesPreview preview_of(const BarExtremes& e, std::uint64_t bars) noexcept {
    ExtremesPreview preview;
    preview.e = &e;
    preview.start = bars;
    preview.clean_from = e.clean_from;
    preview.slot = e.next_slot;
    preview.round_high = e.round_high;
    preview.round_low = e.round_low;
    return preview;
}

// The window of `period` highs and `period` lows, and their tails.
inline std::expected<BarExtremes, StateError> make_bar_extremes(std::uint64_t period) noexcept {
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    BarExtremes e;
    e.period = period;
    if (period != 0) {
        e.window = allocate_window(2 * period);
        e.tails = allocate_window(2 * period);
        if (e.window == nullptr || e.tails == nullptr) {
            return std::unexpected(StateError::out_of_memory);
        }
    }
    return e;
}

inline std::expected<BarExtremes, StateError> copy_bar_extremes(const BarExtremes& e) noexcept {
    std::expected<BarExtremes, StateError> twin = make_bar_extremes(e.period);
    if (twin && e.period != 0) {
        std::memcpy(twin->window.get(), e.window.get(), 2 * e.period * sizeof(double));
        std::memcpy(twin->tails.get(), e.tails.get(), 2 * e.period * sizeof(double));
    }
    if (twin) {
        twin->clean_from = e.clean_from;
        twin->next_slot = e.next_slot;
        twin->round_high = e.round_high;
        twin->round_low = e.round_low;
    }
    return twin;
}

// The rest follows from the window after `bars` bars: a bad bar it holds spoils the
// windows that hold it (bars before it spoil none of the windows to come); the slots
// from the next one on hold the end of the round before, and those before it this
// round so far.
inline void rebuild(BarExtremes& e, std::uint64_t bars) noexcept {
    const std::uint64_t period = e.period;
    if (period == 0) {
        return;
    }
    const std::uint64_t held = bars < period ? bars : period;
    const double* highs = e.window.get();
    const double* lows = highs + period;
    std::uint64_t clean_from = 0;
    std::uint64_t slot = e.next_slot >= held ? e.next_slot - held : e.next_slot + period - held;
    for (std::uint64_t bar = bars - held; bar < bars; ++bar) {
        if (!is_finite(highs[slot]) || !is_finite(lows[slot])) {
            clean_from = bar + period;
        }
        slot = slot + 1 == period ? 0 : slot + 1;
    }
    e.clean_from = clean_from;
    work_tails(highs, e.tails.get(), period);
    e.round_high = below_all;
    e.round_low = above_all;
    for (std::uint64_t k = 0; k < e.next_slot; ++k) {
        e.round_high = higher(highs[k], e.round_high);
        e.round_low = lower(lows[k], e.round_low);
    }
}

// The checkpoint's part: the next slot, then the window's highs and lows as they lie.
inline std::uint64_t checkpoint_words(const BarExtremes& e) noexcept {
    return 1 + 2 * e.period;
}

inline void put_extremes(CheckpointWriter& writer, const BarExtremes& e) noexcept {
    writer.put(e.next_slot);
    writer.put_window(e.window.get(), 2 * e.period);
}

// Reads the part into `e`, made for its period, and rebuilds the rest; false for
// words that no series of `bars` bars leaves.
inline bool take_extremes(CheckpointReader& in, BarExtremes& e, std::uint64_t bars) noexcept {
    const std::uint64_t period = e.period;
    e.next_slot = in.word();
    in.take_window(e.window.get(), 2 * period);
    const double* highs = e.window.get();
    if (!valid_slot(e.next_slot, period, bars) ||
        (period != 0 && (!unreached_slots_clear(highs, period, bars) ||
                         !unreached_slots_clear(highs + period, period, bars)))) {
        return false;
    }
    rebuild(e, bars);
    return true;
}

}  // namespace marundex::core::detail
