// The highest high and the lowest low of a window of bars, each side on its own and
// with the bar where it stands, which DONCHIAN's bands and AROON's lines take: a bad
// high spoils the windows of the highs only, a bad low those of the lows. As in
// bar_extremes.hpp, the window of highs and lows is a ring read in rounds: a window
// is the end of the round before and this round so far. Each side carries the
// extreme of its round so far, and works the extremes of the round before from each
// slot to the end once when a round ends, each with its bar; of equal values the
// latest stands. A bar costs O(1) with no branch on the data, as much on a random
// walk as on a monotone series.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <memory>
#include <new>

#include "bar_extremes.hpp"
#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "marundex/core.hpp"
#include "window.hpp"

namespace marundex::core::detail {

// An extreme and its bar.
using Standing = BarExtremes::Candidate;

// The side's far end, which any value reaches.
template <bool Highs>
inline constexpr Standing no_extreme{0, Highs ? below_all : above_all};

// a > b ? if_above : otherwise, without a branch: which one stands is a coin's toss
// on a random walk, and a branch would mispredict. A compiler may turn a plain
// selection into one, so it is the machine's conditional move where that is known,
// and else a mask that the empty asm hides to be all ones or zeros.
inline std::uint64_t select_above(double a, double b, std::uint64_t if_above,
                                  std::uint64_t otherwise) noexcept {
#if defined(__x86_64__)
    // Above is false when either is NaN (unordered sets the carry).
    asm("ucomisd %[b], %[a]\n\tcmova %[if_above], %[x]"
        : [x] "+r"(otherwise)
        : [a] "x"(a), [b] "x"(b), [if_above] "r"(if_above)
        : "cc");
    return otherwise;
#elif defined(__aarch64__)
    // gt is false when either is NaN.
    std::uint64_t x;
    asm("fcmp %d[a], %d[b]\n\tcsel %[x], %[if_above], %[otherwise], gt"
        : [x] "=r"(x)
        : [a] "w"(a), [b] "w"(b), [if_above] "r"(if_above), [otherwise] "r"(otherwise)
        : "cc");
    return x;
#else
    std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(a > b);
    asm("" : "+r"(mask));
    return otherwise ^ ((otherwise ^ if_above) & mask);
#endif
}

// The extreme of two, `later` of a later bar than `earlier`, so that of equal values
// it stands: the value one max or min, and its bar when `Bars`.
template <bool Highs, bool Bars>
inline Standing pick(Standing later, Standing earlier) noexcept {
    Standing x;
    if constexpr (Highs) {
        x.value = higher(later.value, earlier.value);
        x.bar = Bars ? select_above(earlier.value, later.value, earlier.bar, later.bar) : 0;
    } else {
        x.value = lower(later.value, earlier.value);
        x.bar = Bars ? select_above(later.value, earlier.value, earlier.bar, later.bar) : 0;
    }
    return x;
}

// The extremes of a side's ring from each slot to the end, the slot at the end
// being the bar `last`'s: a round just ended.
template <bool Highs, bool Bars>
inline void work_tails(const double* ring, Standing* tails, std::uint64_t span,
                       std::uint64_t last) noexcept {
    Standing x = no_extreme<Highs>;
    for (std::uint64_t k = span; k-- != 0;) {
        x = pick<Highs, Bars>(x, {last - (span - 1 - k), ring[k]});
        tails[k] = x;
    }
}

// Bars taken one by one, each kept in the window as it is taken; `Bars` when the bar
// of each extreme is wanted. settle() keeps where the cursor ends.
template <bool Bars>
struct SidesCursor {
    std::uint64_t span = 0;
    std::uint64_t bar = 0;   // the next bar
    std::uint64_t slot = 0;  // the next bar's
    // Each side's first bar whose window is full and clean: the highs', then the lows'.
    std::uint64_t high_clean_from = 0;
    std::uint64_t low_clean_from = 0;
    double* highs = nullptr;
    double* lows = nullptr;
    Standing* high_tails = nullptr;
    Standing* low_tails = nullptr;
    Standing round_high = no_extreme<true>;
    Standing round_low = no_extreme<false>;
    Standing high = no_extreme<true>;
    Standing low = no_extreme<false>;

    // Keeps and takes one bar; true for a side whose window is full and clean, and
    // then high or low is its extreme.
    void take(double h, double l, bool& high_clean, bool& low_clean) noexcept {
        const std::uint64_t b = bar++;
        const std::uint64_t s = slot;
        highs[s] = h;
        lows[s] = l;
        if (!is_finite(h)) [[unlikely]] {
            high_clean_from = b + span;
        }
        if (!is_finite(l)) [[unlikely]] {
            low_clean_from = b + span;
        }
        round_high = pick<true, Bars>({b, h}, round_high);
        round_low = pick<false, Bars>({b, l}, round_low);
        if (s + 1 == span) {
            // The round ends: the window is the round.
            high = round_high;
            low = round_low;
            work_tails<true, Bars>(highs, high_tails, span, b);
            work_tails<false, Bars>(lows, low_tails, span, b);
            round_high = no_extreme<true>;
            round_low = no_extreme<false>;
            slot = 0;
        } else {
            high = pick<true, Bars>(round_high, high_tails[s + 1]);
            low = pick<false, Bars>(round_low, low_tails[s + 1]);
            slot = s + 1;
        }
        high_clean = b >= high_clean_from;
        low_clean = b >= low_clean_from;
    }
};

template <bool Bars>
inline SidesCursor<Bars> live_cursor(SideExtremes& e, std::uint64_t bars) noexcept {
    const std::uint64_t span = e.span;
    // No window is full before bar span - 1: one test for both.
    const std::uint64_t full_from = span - 1;
    SidesCursor<Bars> cursor;
    cursor.span = span;
    cursor.bar = bars;
    cursor.slot = e.next_slot;
    cursor.high_clean_from = e.clean_from[0] > full_from ? e.clean_from[0] : full_from;
    cursor.low_clean_from = e.clean_from[1] > full_from ? e.clean_from[1] : full_from;
    cursor.highs = e.values.get();
    cursor.lows = e.values.get() + span;
    cursor.high_tails = e.tails.get();
    cursor.low_tails = e.tails.get() + span;
    cursor.round_high = e.rounds[0];
    cursor.round_low = e.rounds[1];
    return cursor;
}

template <bool Bars>
inline void settle(SideExtremes& e, const SidesCursor<Bars>& cursor) noexcept {
    e.next_slot = cursor.slot;
    e.clean_from = {cursor.high_clean_from, cursor.low_clean_from};
    e.rounds = {cursor.round_high, cursor.round_low};
}

// One side's extremes over the windows of a run after `start` bars, read from the
// state and the run alone: nothing is written, so that any number of previews may
// read one state at once. Until the run ends the state's round, the state's tails
// serve; from there the window's extreme is kept with its bar, and the window is
// scanned again when that bar leaves it (in the state's ring for its bars before the
// run, in the run for the others).
template <bool Highs, bool Bars>
struct SidePreview {
    const SideExtremes* e = nullptr;
    std::uint64_t start = 0;
    std::uint64_t clean_from = 0;
    std::uint64_t slot = 0;
    Standing round = no_extreme<Highs>;
    bool round_ended = false;
    // From the round's end: where the extreme was last worked from.
    std::uint64_t kept_from = 0;
    Standing kept = no_extreme<Highs>;

    SidePreview(const SideExtremes& sides, std::uint64_t bars) noexcept
        : e(&sides),
          start(bars),
          clean_from(sides.clean_from[Highs ? 0 : 1]),
          slot(sides.next_slot),
          round(sides.rounds[Highs ? 0 : 1]) {}

    // The run's `i`th bar, with access to the run's values by index; true when its
    // window is full and clean, and then the returned extreme is the window's.
    template <class At>
    bool take(std::size_t i, const At& at, Standing& extreme) noexcept {
        const std::uint64_t span = e->span;
        const std::uint64_t bar = start + i;
        const double value = at(i);
        if (!is_finite(value)) {
            clean_from = bar + span;
        }
        const bool clean = bar + 1 >= span && bar >= clean_from;
        if (!round_ended) {
            const Standing* tails = e->tails.get() + (Highs ? 0 : span);
            round = pick<Highs, Bars>({bar, value}, round);
            if (slot + 1 == span) {
                kept = round;
                round_ended = true;
                kept_from = bar + 1;
            } else {
                kept = pick<Highs, Bars>(round, tails[slot + 1]);
                ++slot;
            }
            extreme = kept;
            return clean;
        }
        if (bar < clean_from) {
            kept_from = clean_from;
            return false;
        }
        const std::uint64_t first = first_of_window(span, bar);
        if (bar == kept_from || (!reaches(value) && kept.bar < first)) {
            kept = scan(first, bar, at);
        } else if (reaches(value)) {
            kept = {bar, value};
        }
        extreme = kept;
        return clean;
    }

    [[nodiscard]] bool reaches(double value) const noexcept {
        return Highs ? value >= kept.value : value <= kept.value;
    }

    // The extreme of the bars `first` to `bar`, oldest first.
    template <class At>
    [[nodiscard]] Standing scan(std::uint64_t first, std::uint64_t bar,
                                const At& at) const noexcept {
        const std::uint64_t span = e->span;
        const double* ring = e->values.get() + (Highs ? 0 : span);
        Standing x = no_extreme<Highs>;
        const auto take_value = [&x](std::uint64_t b, double v) noexcept {
            if (Highs ? v >= x.value : v <= x.value) {
                x = {b, v};
            }
        };
        for (std::uint64_t b = first; b < start; ++b) {
            // Bar b lies start - b slots before the state's next one.
            const std::uint64_t back = start - b;
            const std::uint64_t next = e->next_slot;
            take_value(b, ring[next >= back ? next - back : next + span - back]);
        }
        for (std::uint64_t b = first > start ? first : start; b <= bar; ++b) {
            take_value(b, at(static_cast<std::size_t>(b - start)));
        }
        return x;
    }
};

// The rest follows from the values kept after `bars` bars: a bad value spoils the
// windows of its side that hold it; the slots from the next one on hold the end of
// the round before, those before it this round so far.
inline void rebuild(SideExtremes& e, std::uint64_t bars) noexcept {
    const std::uint64_t span = e.span;
    const std::uint64_t held = bars < span ? bars : span;
    const double* highs = e.values.get();
    const double* lows = highs + span;
    e.clean_from = {0, 0};
    std::uint64_t slot = e.next_slot >= held ? e.next_slot - held : e.next_slot + span - held;
    for (std::uint64_t bar = bars - held; bar < bars; ++bar) {
        if (!is_finite(highs[slot])) {
            e.clean_from[0] = bar + span;
        }
        if (!is_finite(lows[slot])) {
            e.clean_from[1] = bar + span;
        }
        slot = slot + 1 == span ? 0 : slot + 1;
    }
    // The round before ended at the bar before this round's first; before the first
    // round has ended the tails serve no full window, and their bars none at all.
    const std::uint64_t round_start = bars - e.next_slot;
    work_tails<true, true>(highs, e.tails.get(), span, round_start - 1);
    work_tails<false, true>(lows, e.tails.get() + span, span, round_start - 1);
    e.rounds = {no_extreme<true>, no_extreme<false>};
    for (std::uint64_t k = 0; k < e.next_slot; ++k) {
        e.rounds[0] = pick<true, true>({round_start + k, highs[k]}, e.rounds[0]);
        e.rounds[1] = pick<false, true>({round_start + k, lows[k]}, e.rounds[1]);
    }
}

// The checkpoint's part: the next slot, then the highs and the lows as they lie.
inline std::uint64_t side_words(std::uint64_t span) noexcept {
    return 1 + 2 * span;
}

inline void put_sides(CheckpointWriter& writer, const SideExtremes& e) noexcept {
    writer.put(e.next_slot);
    writer.put_window(e.values.get(), 2 * e.span);
}

// Reads the part into sides made for their span and rebuilds the rest; false for
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

// A window of `span` bars, at least 1 and at most max_window + 1 (AROON's longest
// period and the bar before it).
inline std::expected<SideExtremes, StateError> make_sides(std::uint64_t span) noexcept {
    if (span > max_window + 1) {
        return std::unexpected(StateError::window_too_long);
    }
    SideExtremes e;
    e.span = span;
    e.values = allocate_window(2 * span);
    e.tails.reset(new (std::nothrow) Standing[2 * span]());
    if (e.values == nullptr || e.tails == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return e;
}

inline std::expected<SideExtremes, StateError> copy_sides(const SideExtremes& e) noexcept {
    std::expected<SideExtremes, StateError> twin = make_sides(e.span);
    if (twin) {
        std::memcpy(twin->values.get(), e.values.get(), 2 * e.span * sizeof(double));
        std::memcpy(twin->tails.get(), e.tails.get(), 2 * e.span * sizeof(Standing));
        twin->next_slot = e.next_slot;
        twin->rounds = e.rounds;
        twin->clean_from = e.clean_from;
    }
    return twin;
}

}  // namespace marundex::core::detail
