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
#include <bit>
#include <cstddef>
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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Both sides in the two lanes of one vector, the highs' first: the lows negated, so
// that one compare and one select a bar serve both (the negation is exact, and
// -earlier > -later is earlier < later). The bars of both sides' extremes, for
// AROON's lines; the state's ring, tails and rounds are as SidesCursor leaves them.
using LaneValues = double __attribute__((vector_size(16)));
using LaneWords = std::uint64_t __attribute__((vector_size(16)));

inline constexpr LaneWords low_lane_sign = {0, std::uint64_t{1} << 63};

inline LaneValues negate_low(LaneValues x) noexcept {
    return std::bit_cast<LaneValues>(std::bit_cast<LaneWords>(x) ^ low_lane_sign);
}

// The bars of the extremes of two in each lane, `earlier` of earlier bars than
// `later`: the earlier stands only above the later.
inline LaneWords pick_bars(LaneValues earlier_values, LaneWords earlier_bars,
                           LaneValues later_values, LaneWords later_bars) noexcept {
    const auto above = std::bit_cast<LaneWords>(earlier_values > later_values);
    return (earlier_bars & above) | (later_bars & ~above);
}

// The extremes of two in each lane, as pick() gives each, with their bars: the value
// the machine's max, whose operand order gives earlier > later ? earlier : later
// exactly. Only the max carries a round's values from bar to bar.
inline void pick_lanes(LaneValues& values, LaneWords& bars, LaneValues earlier_values,
                       LaneWords earlier_bars, LaneValues later_values,
                       LaneWords later_bars) noexcept {
    bars = pick_bars(earlier_values, earlier_bars, later_values, later_bars);
#if defined(__SSE2__)
    values = _mm_max_pd(earlier_values, later_values);  // NOLINT(portability-simd-intrinsics)
#else
    values = earlier_values > later_values ? earlier_values : later_values;
#endif
}

// Which lanes are NaN or infinite, as bits: 1 the highs', 2 the lows'. x - x is NaN
// there, and 0 elsewhere.
inline unsigned bad_lanes(LaneValues x) noexcept {
    const LaneValues zero = x - x;  // NOLINT(misc-redundant-expression)
#if defined(__SSE2__)
    // NOLINTNEXTLINE(portability-simd-intrinsics)
    return static_cast<unsigned>(_mm_movemask_pd(_mm_cmpunord_pd(zero, zero)));
#else
    const auto bad = std::bit_cast<LaneWords>(zero != zero);
    return static_cast<unsigned>(bad[0] & 1U) | static_cast<unsigned>(bad[1] & 2U);
#endif
}

// Both sides' standings in slot `k` of the tails, the low's value negated.
inline void load_tails(const Standing* high_tails, const Standing* low_tails, std::uint64_t k,
                       LaneValues& values, LaneWords& bars) noexcept {
    LaneWords high;
    LaneWords low;
    std::memcpy(&high, high_tails + k, sizeof high);
    std::memcpy(&low, low_tails + k, sizeof low);
    static_assert(sizeof(Standing) == sizeof high && offsetof(Standing, bar) == 0);
    bars = __builtin_shufflevector(high, low, 0, 2);
    values = negate_low(std::bit_cast<LaneValues>(__builtin_shufflevector(high, low, 1, 3)));
}

// work_tails for both sides in one loop.
inline void work_lane_tails(const double* highs, const double* lows, Standing* high_tails,
                            Standing* low_tails, std::uint64_t span, std::uint64_t last) noexcept {
    LaneValues values = {below_all, below_all};
    LaneWords bars = {0, 0};
    LaneWords bar = {last, last};
    for (std::uint64_t k = span; k-- != 0;) {
        const LaneValues slot = negate_low(LaneValues{highs[k], lows[k]});
        pick_lanes(values, bars, slot, bar, values, bars);
        const auto words = std::bit_cast<LaneWords>(negate_low(values));
        const LaneWords high = __builtin_shufflevector(bars, words, 0, 2);
        const LaneWords low = __builtin_shufflevector(bars, words, 1, 3);
        std::memcpy(high_tails + k, &high, sizeof high);
        std::memcpy(low_tails + k, &low, sizeof low);
        bar -= 1;
    }
}

// Takes the bars of a run after `bars` bars into the sides, keeping each in the
// window, in rounds: the bars before a round's last slot, then its last, which ends
// it. emit(i, now, extremes, clean) for the run's `i`th bar, `now` its bar in both
// lanes, `extremes` the bars of its window's highest high and lowest low, and
// `clean` all ones in the lane of a side whose window is full and clean, else 0.
template <class Emit>
inline void take_in_lanes(SideExtremes& e, std::uint64_t bars, InputRun high, InputRun low,
                          const Emit& emit) noexcept {
    const std::uint64_t span = e.span;
    // No window is full before bar span - 1.
    const std::uint64_t full_from = span - 1;
    std::uint64_t high_clean_from = e.clean_from[0] > full_from ? e.clean_from[0] : full_from;
    std::uint64_t low_clean_from = e.clean_from[1] > full_from ? e.clean_from[1] : full_from;
    double* const highs = e.values.get();
    double* const lows = highs + span;
    Standing* const high_tails = e.tails.get();
    Standing* const low_tails = high_tails + span;
    LaneValues round_values = negate_low(LaneValues{e.rounds[0].value, e.rounds[1].value});
    LaneWords round_bars = {e.rounds[0].bar, e.rounds[1].bar};
    std::uint64_t slot = e.next_slot;
    // The first bar from which both sides' windows are full and clean.
    std::uint64_t clean_from = high_clean_from > low_clean_from ? high_clean_from : low_clean_from;
    // The next bar in both lanes, carried in a vector rather than made from `b`.
    LaneWords next_bar = {bars, bars};
    const auto take = [&](std::size_t i, std::uint64_t s) noexcept {
        const std::uint64_t b = bars + i;
        const LaneValues x = {load(high.data, i), load(low.data, i)};
        highs[s] = x[0];
        lows[s] = x[1];
        const unsigned bad = bad_lanes(x);
        if (bad != 0) [[unlikely]] {
            if ((bad & 1U) != 0) {
                high_clean_from = b + span;
            }
            if ((bad & 2U) != 0) {
                low_clean_from = b + span;
            }
            clean_from = b + span;
        }
        const LaneWords now = next_bar;
        next_bar += 1;
        pick_lanes(round_values, round_bars, round_values, round_bars, negate_low(x), now);
        return now;
    };
    const auto emit_bar = [&](std::size_t i, LaneWords now, LaneWords extremes) noexcept {
        const std::uint64_t b = bars + i;
        if (b >= clean_from) [[likely]] {
            emit(i, now, extremes, LaneWords{~std::uint64_t{0}, ~std::uint64_t{0}});
        } else {
            const std::uint64_t high_clean = b >= high_clean_from ? ~std::uint64_t{0} : 0;
            const std::uint64_t low_clean = b >= low_clean_from ? ~std::uint64_t{0} : 0;
            emit(i, now, extremes, LaneWords{high_clean, low_clean});
        }
    };
    std::size_t i = 0;
    while (i < high.length) {
        // The bars before the round's last slot: the window is the end of the round
        // before and this round so far.
        const std::size_t before_last = span - 1 - slot;
        const std::size_t stop = high.length - i > before_last ? i + before_last : high.length;
        for (; i < stop; ++i, ++slot) {
            const LaneWords now = take(i, slot);
            LaneValues tail_values;
            LaneWords tail_bars;
            load_tails(high_tails, low_tails, slot + 1, tail_values, tail_bars);
            emit_bar(i, now, pick_bars(tail_values, tail_bars, round_values, round_bars));
        }
        if (i == high.length) {
            break;
        }
        // The round ends: the window is the round.
        const LaneWords now = take(i, slot);
        emit_bar(i, now, round_bars);
        work_lane_tails(highs, lows, high_tails, low_tails, span, bars + i);
        round_values = LaneValues{below_all, below_all};
        round_bars = LaneWords{0, 0};
        slot = 0;
        ++i;
    }
    e.next_slot = slot;
    e.clean_from = {high_clean_from, low_clean_from};
    const LaneValues rounds = negate_low(round_values);
    e.rounds = {Standing{round_bars[0], rounds[0]}, Standing{round_bars[1], rounds[1]}};
}

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
