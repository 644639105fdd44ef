// The highest high and the lowest low of a window of bars, each side on its own and
// with the bar where it stands, which DONCHIAN's bands and AROON's lines take: a bad
// high spoils the windows of the highs only, a bad low those of the lows. Each side
// is a queue of candidate extremes over the window, oldest first, each later than
// the one before and strictly nearer the extreme's side: of equal values the latest
// stands. A bar is pushed once and dropped once, O(1) amortised.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <memory>
#include <new>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "marundex/core.hpp"
#include "window.hpp"

namespace marundex::core::detail {

using SideCandidate = BarExtremes::Candidate;
using SideSpan = BarExtremes::QueueSpan;

// An extreme and its bar.
struct Standing {
    double value;
    std::uint64_t bar;
};

template <bool Highs>
inline bool reaches(double value, double than) noexcept {
    if constexpr (Highs) {
        return value >= than;
    } else {
        return value <= than;
    }
}

// One side's queue in its ring of `capacity` candidates, and the first bar whose
// window holds no bad value of this side.
template <bool Highs>
struct SideCursor {
    std::uint64_t span = 0;  // the window's bars
    SideCandidate* ring = nullptr;
    SideSpan queue;
    std::uint64_t clean_from = 0;

    [[nodiscard]] std::uint64_t slot(std::uint64_t k) const noexcept {
        const std::uint64_t at = queue.head + k;
        return at >= span ? at - span : at;
    }
    // Takes bar `bar`'s value; true when its window is full and holds no bad value,
    // and then front() is its extreme.
    bool take(std::uint64_t bar, double value) noexcept {
        const std::uint64_t first = bar + 1 >= span ? bar + 1 - span : 0;
        while (queue.size != 0 && ring[queue.head].bar < first) {
            queue.head = queue.head + 1 == span ? 0 : queue.head + 1;
            --queue.size;
        }
        if (!is_finite(value)) {
            clean_from = bar + span;
        } else {
            while (queue.size != 0 && reaches<Highs>(value, ring[slot(queue.size - 1)].value)) {
                --queue.size;
            }
            ring[slot(queue.size)] = {bar, value};
            ++queue.size;
        }
        return bar + 1 >= span && bar >= clean_from;
    }
    [[nodiscard]] Standing front() const noexcept {
        return {ring[queue.head].value, ring[queue.head].bar};
    }
};

// One side's extremes over the windows of a run after `start` bars, read from the
// live queue and the run alone, so that any number of previews may read one state at
// once. While a window reaches back before the run, its extreme is that of the
// queue's candidates still in it beside the run's so far; a window within the run is
// scanned afresh when its extreme leaves it.
template <bool Highs>
struct SidePreview {
    std::uint64_t span = 0;
    std::uint64_t start = 0;
    const SideCandidate* ring = nullptr;
    SideSpan queue;
    std::uint64_t clean_from = 0;
    // The queue's candidates that have left the windows so far.
    std::uint64_t skipped = 0;
    // The run's extreme in the window, or none yet (the side's far infinity).
    Standing own{
        Highs ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity(),
        0};

    // The run's `i`th bar, with access to the run's values by index; true when its
    // window is full and clean, and then the returned extreme is the window's.
    template <class At>
    bool take(std::size_t i, const At& at, Standing& extreme) noexcept {
        const std::uint64_t bar = start + i;
        const std::uint64_t first = bar + 1 >= span ? bar + 1 - span : 0;
        const double value = at(i);
        if (!is_finite(value)) {
            clean_from = bar + span;
        }
        if (i == 0 || own.bar < first) {
            own = {Highs ? -std::numeric_limits<double>::infinity()
                         : std::numeric_limits<double>::infinity(),
                   bar};
            const std::size_t from = first > start ? static_cast<std::size_t>(first - start) : 0;
            for (std::size_t k = from; k <= i; ++k) {
                const double v = at(k);
                if (is_finite(v) && reaches<Highs>(v, own.value)) {
                    own = {v, start + k};
                }
            }
        } else if (is_finite(value) && reaches<Highs>(value, own.value)) {
            own = {value, bar};
        }
        for (; skipped < queue.size; ++skipped) {
            const std::uint64_t s = queue.head + skipped;
            const SideCandidate& c = ring[s >= span ? s - span : s];
            if (c.bar >= first) {
                // The run's bars are later than the queue's: of equal values they stand.
                extreme = reaches<Highs>(own.value, c.value) ? own : Standing{c.value, c.bar};
                return bar + 1 >= span && bar >= clean_from;
            }
        }
        extreme = own;
        return bar + 1 >= span && bar >= clean_from;
    }
};

// The cursors and previews of a state's two sides, and their settling.
inline SideCursor<true> high_cursor(SideExtremes& e) noexcept {
    return {e.span, e.candidates.get(), e.queues[0], e.clean_from[0]};
}
inline SideCursor<false> low_cursor(SideExtremes& e) noexcept {
    return {e.span, e.candidates.get() + e.span, e.queues[1], e.clean_from[1]};
}
inline void settle(SideExtremes& e, const SideCursor<true>& highs,
                   const SideCursor<false>& lows) noexcept {
    e.queues = {highs.queue, lows.queue};
    e.clean_from = {highs.clean_from, lows.clean_from};
}
inline SidePreview<true> high_preview(const SideExtremes& e, std::uint64_t bars) noexcept {
    return {e.span, bars, e.candidates.get(), e.queues[0], e.clean_from[0]};
}
inline SidePreview<false> low_preview(const SideExtremes& e, std::uint64_t bars) noexcept {
    return {e.span, bars, e.candidates.get() + e.span, e.queues[1], e.clean_from[1]};
}

// Keeps a run's highs and lows once the run has been worked.
inline void keep(SideExtremes& e, InputRun high, InputRun low) noexcept {
    keep_recent(e.values.get(), e.span, e.next_slot, high);
    e.next_slot = keep_recent(e.values.get() + e.span, e.span, e.next_slot, low);
}

// The queues and the first clean bars from the values kept after `bars` bars: they
// hold the window's bars only, and replaying them from empty queues leaves what the
// series left.
inline void rebuild(SideExtremes& e, std::uint64_t bars) noexcept {
    const std::uint64_t span = e.span;
    const std::uint64_t held = bars < span ? bars : span;
    SideCursor<true> highs{span, e.candidates.get(), {}, 0};
    SideCursor<false> lows{span, e.candidates.get() + span, {}, 0};
    std::uint64_t slot = e.next_slot >= held ? e.next_slot - held : e.next_slot + span - held;
    for (std::uint64_t bar = bars - held; bar < bars; ++bar) {
        highs.take(bar, e.values[slot]);
        lows.take(bar, e.values[span + slot]);
        slot = slot + 1 == span ? 0 : slot + 1;
    }
    settle(e, highs, lows);
}

// The checkpoint's part: the next slot, then the highs and the lows as they lie.
inline std::uint64_t side_words(std::uint64_t span) noexcept {
    return 1 + 2 * span;
}

inline void put_sides(CheckpointWriter& writer, const SideExtremes& e) noexcept {
    writer.put(e.next_slot);
    writer.put_window(e.values.get(), 2 * e.span);
}

// Reads the part into sides made for their span and rebuilds the queues; false for
// words that no series of `bars` bars leaves.
inline bool take_sides(CheckpointReader& in, SideExtremes& e, std::uint64_t bars) noexcept {
    e.next_slot = in.word();
    in.take_window(e.values.get(), 2 * e.span);
    if (!valid_bars(bars) || !valid_slot(e.next_slot, e.span, bars) ||
        !unreached_slots_clear(e.values.get(), e.span, bars) ||
        !unreached_slots_clear(e.values.get() + e.span, e.span, bars)) {
        return false;
    }
    rebuild(e, bars);
    return true;
}

// A window of `span` bars, at most max_window + 1 (AROON's longest period and the bar
// before it).
inline std::expected<SideExtremes, StateError> make_sides(std::uint64_t span) noexcept {
    if (span > max_window + 1) {
        return std::unexpected(StateError::window_too_long);
    }
    SideExtremes e;
    e.span = span;
    e.values = allocate_window(2 * span);
    e.candidates.reset(new (std::nothrow) SideCandidate[2 * span]);
    if (e.values == nullptr || e.candidates == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return e;
}

inline std::expected<SideExtremes, StateError> copy_sides(const SideExtremes& e) noexcept {
    std::expected<SideExtremes, StateError> twin = make_sides(e.span);
    if (twin) {
        std::memcpy(twin->values.get(), e.values.get(), 2 * e.span * sizeof(double));
        std::memcpy(twin->candidates.get(), e.candidates.get(), 2 * e.span * sizeof(SideCandidate));
        twin->next_slot = e.next_slot;
        twin->queues = e.queues;
        twin->clean_from = e.clean_from;
    }
    return twin;
}

}  // namespace marundex::core::detail
