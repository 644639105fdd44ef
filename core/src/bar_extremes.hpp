// The highest high and the lowest low of the last `period` bars, which WILLR, STOCHF
// and STOCH take: the window of highs and lows, two queues of candidate extremes
// over it, and the first bar whose window holds no bad high or low.
#pragma once

#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <new>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "marundex/core.hpp"
#include "window.hpp"

namespace marundex::core::detail {

using Candidate = BarExtremes::Candidate;
using QueueSpan = BarExtremes::QueueSpan;

// The candidate extremes of a window in a ring of `capacity`, oldest first: each
// later than the one before and strictly nearer the extreme's side, so that the
// front is the window's extreme. A bar is pushed once and dropped once.
struct ExtremeQueue {
    Candidate* ring = nullptr;
    std::uint64_t capacity = 0;
    QueueSpan span;

    [[nodiscard]] std::uint64_t slot(std::uint64_t k) const noexcept {
        const std::uint64_t at = span.head + k;
        return at >= capacity ? at - capacity : at;
    }
    [[nodiscard]] double front() const noexcept { return ring[span.head].value; }
    [[nodiscard]] double back() const noexcept { return ring[slot(span.size - 1)].value; }
    void push(std::uint64_t bar, double value) noexcept {
        ring[slot(span.size)] = {bar, value};
        ++span.size;
    }
    // Drops the candidates before `first`, the window's first bar.
    void expire(std::uint64_t first) noexcept {
        while (span.size != 0 && ring[span.head].bar < first) {
            span.head = span.head + 1 == capacity ? 0 : span.head + 1;
            --span.size;
        }
    }
    // A new high drops the candidates it reaches: of equal highs the latest stands.
    void push_high(std::uint64_t bar, double value) noexcept {
        while (span.size != 0 && back() <= value) {
            --span.size;
        }
        push(bar, value);
    }
    void push_low(std::uint64_t bar, double value) noexcept {
        while (span.size != 0 && back() >= value) {
            --span.size;
        }
        push(bar, value);
    }
};

// The window's first bar for the bar `bar`.
inline std::uint64_t first_of_window(std::uint64_t period, std::uint64_t bar) noexcept {
    return bar + 1 >= period ? bar + 1 - period : 0;
}

// Bars taken one by one into the queues: O(1) amortised a bar.
struct ExtremesCursor {
    std::uint64_t period = 0;
    std::uint64_t bars = 0;
    std::uint64_t clean_from = 0;
    ExtremeQueue highs;
    ExtremeQueue lows;

    // Takes one bar; true when its window is full and holds no bad high or low, and
    // then highest() and lowest() are its extremes.
    bool take(double high, double low) noexcept {
        const std::uint64_t bar = bars++;
        const std::uint64_t first = first_of_window(period, bar);
        highs.expire(first);
        lows.expire(first);
        // A bad high or low spoils the windows that hold it, and never enters a queue.
        if (!is_finite(high) || !is_finite(low)) {
            clean_from = bar + period;
        } else {
            highs.push_high(bar, high);
            lows.push_low(bar, low);
        }
        return bar + 1 >= period && bar >= clean_from;
    }
    [[nodiscard]] double highest() const noexcept { return highs.front(); }
    [[nodiscard]] double lowest() const noexcept { return lows.front(); }
};

// The cursor of the live queues, after `bars` bars; settle() keeps where it ends.
inline ExtremesCursor live_cursor(BarExtremes& e, std::uint64_t bars) noexcept {
    Candidate* rings = e.candidates.get();
    return {e.period,
            bars,
            e.clean_from,
            {rings, e.period, e.highs},
            {rings + e.period, e.period, e.lows}};
}

inline void settle(BarExtremes& e, const ExtremesCursor& cursor) noexcept {
    e.clean_from = cursor.clean_from;
    e.highs = cursor.highs.span;
    e.lows = cursor.lows.span;
}

// Keeps a bar's high and low in the window; the queues take them through a cursor.
inline void keep(BarExtremes& e, double high, double low) noexcept {
    double* highs = e.window.get();
    highs[e.next_slot] = high;
    highs[e.period + e.next_slot] = low;
    e.next_slot = e.next_slot + 1 == e.period ? 0 : e.next_slot + 1;
}

// The extremes of the windows of a run after `bars` bars, read from the live queues
// and the run alone: nothing is written, so that any number of previews may read
// one state at once. While a window reaches back before the run, its extreme is
// that of the queues' candidates still in it and of the run so far; a window within
// the run is scanned afresh when its extreme leaves it. Of equal values the latest
// stands, as in the queues.
struct ExtremesPreview {
    std::uint64_t period = 0;
    std::uint64_t start = 0;  // the run's first bar
    std::uint64_t clean_from = 0;
    const Candidate* rings = nullptr;
    QueueSpan highs_span;
    QueueSpan lows_span;
    // The run so far, by bar: the extremes and the bar where each stands.
    double high = 0.0;
    double low = 0.0;
    std::uint64_t high_bar = 0;
    std::uint64_t low_bar = 0;

    // The bar of the run's `i`th bar is start + i; its high and low are given, with
    // access to the run's earlier ones by index.
    template <class High, class Low>
    bool take(std::size_t i, const High& high_at, const Low& low_at) noexcept {
        const std::uint64_t bar = start + i;
        const std::uint64_t first = first_of_window(period, bar);
        const double h = high_at(i);
        const double l = low_at(i);
        if (!is_finite(h) || !is_finite(l)) {
            clean_from = bar + period;
        }
        const bool clean = bar + 1 >= period && bar >= clean_from;
        // Until a bad bar has passed, the run's own extremes need not be kept.
        if (i == 0 || high_bar < first || low_bar < first) {
            rescan(i, first, high_at, low_at);
        } else if (is_finite(h) && is_finite(l)) {
            if (h >= high) {
                high = h;
                high_bar = bar;
            }
            if (l <= low) {
                low = l;
                low_bar = bar;
            }
        }
        return clean;
    }
    // The extremes of the window's bars in the run, from its first one there.
    template <class High, class Low>
    void rescan(std::size_t i, std::uint64_t first, const High& high_at,
                const Low& low_at) noexcept {
        high = -std::numeric_limits<double>::infinity();
        low = std::numeric_limits<double>::infinity();
        high_bar = start + i;
        low_bar = start + i;
        const std::size_t from = first > start ? static_cast<std::size_t>(first - start) : 0;
        for (std::size_t k = from; k <= i; ++k) {
            const double h = high_at(k);
            const double l = low_at(k);
            if (!is_finite(h) || !is_finite(l)) {
                continue;
            }
            if (h >= high) {
                high = h;
                high_bar = start + k;
            }
            if (l <= low) {
                low = l;
                low_bar = start + k;
            }
        }
    }
    // The window's extremes: the queues' first candidate still in it, beside the
    // run's. Called once a bar, in order: the candidates that left stay skipped.
    [[nodiscard]] double highest(std::size_t i) noexcept {
        return merged(highs_span, 0, high_skipped, i, high, true);
    }
    [[nodiscard]] double lowest(std::size_t i) noexcept {
        return merged(lows_span, period, low_skipped, i, low, false);
    }

    // The queues' candidates that have left the windows so far.
    std::uint64_t high_skipped = 0;
    std::uint64_t low_skipped = 0;

    [[nodiscard]] double merged(const QueueSpan& span, std::uint64_t ring_start,
                                std::uint64_t& skipped, std::size_t i, double own,
                                bool highs) const noexcept {
        const std::uint64_t first = first_of_window(period, start + i);
        for (; skipped < span.size; ++skipped) {
            const std::uint64_t at = span.head + skipped;
            const Candidate& c = rings[ring_start + (at >= period ? at - period : at)];
            if (c.bar >= first) {
                // The run's bars are later than the queues': of equal values they stand.
                if (highs) {
                    return own >= c.value ? own : c.value;
                }
                return own <= c.value ? own : c.value;
            }
        }
        return own;
    }
};

inline ExtremesPreview preview_of(const BarExtremes& e, std::uint64_t bars) noexcept {
    return {e.period, bars, e.clean_from, e.candidates.get(), e.highs, e.lows};
}

// Two rings of `period` candidates, the highs' and the lows' queues.
inline std::expected<BarExtremes, StateError> make_bar_extremes(std::uint64_t period) noexcept {
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    BarExtremes e;
    e.period = period;
    if (period != 0) {
        e.window = allocate_window(2 * period);
        e.candidates.reset(new (std::nothrow) Candidate[2 * period]);
        if (e.window == nullptr || e.candidates == nullptr) {
            return std::unexpected(StateError::out_of_memory);
        }
    }
    return e;
}

inline std::expected<BarExtremes, StateError> copy_bar_extremes(const BarExtremes& e) noexcept {
    std::expected<BarExtremes, StateError> twin = make_bar_extremes(e.period);
    if (twin && e.period != 0) {
        std::memcpy(twin->window.get(), e.window.get(), 2 * e.period * sizeof(double));
        std::memcpy(twin->candidates.get(), e.candidates.get(), 2 * e.period * sizeof(Candidate));
    }
    if (twin) {
        twin->clean_from = e.clean_from;
        twin->next_slot = e.next_slot;
        twin->highs = e.highs;
        twin->lows = e.lows;
    }
    return twin;
}

// The queues hold the window's bars only: replaying them from empty queues leaves
// what the series left after `bars` bars.
inline void rebuild(BarExtremes& e, std::uint64_t bars) noexcept {
    const std::uint64_t period = e.period;
    if (period == 0) {
        return;
    }
    const std::uint64_t held = bars < period ? bars : period;
    Candidate* rings = e.candidates.get();
    ExtremesCursor cursor{
        period, bars - held, 0, {rings, period, {}}, {rings + period, period, {}}};
    std::uint64_t slot = e.next_slot >= held ? e.next_slot - held : e.next_slot + period - held;
    const double* highs = e.window.get();
    const double* lows = highs + period;
    for (std::uint64_t k = 0; k < held; ++k) {
        cursor.take(highs[slot], lows[slot]);
        slot = slot + 1 == period ? 0 : slot + 1;
    }
    settle(e, cursor);
}

// The checkpoint's part: the next slot, then the window's highs and lows as they lie.
inline std::uint64_t checkpoint_words(const BarExtremes& e) noexcept {
    return 1 + 2 * e.period;
}

inline void put_extremes(CheckpointWriter& writer, const BarExtremes& e) noexcept {
    writer.put(e.next_slot);
    writer.put_window(e.window.get(), 2 * e.period);
}

// Reads the part into `e`, made for its period, and rebuilds the queues; false for
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
