#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();
const double inf = std::numeric_limits<double>::infinity();
const Expected any = Expected::any_nan();

struct MacdCase {
    const char* name;
    std::uint64_t fast;
    std::uint64_t slow;
    std::uint64_t signal;
    std::vector<double> data;
    std::vector<Expected> macd;
    std::vector<Expected> signal_line;
    std::vector<Expected> hist;
};

class MacdByHand : public ::testing::TestWithParam<MacdCase> {};

TEST_P(MacdByHand, MatchesBitForBit) {
    const MacdCase& c = GetParam();
    const MacdLines lines = core_macd(c.fast, c.slow, c.signal, c.data);
    EXPECT_TRUE(same_bits(c.macd, lines.macd)) << "macd line";
    EXPECT_TRUE(same_bits(c.signal_line, lines.signal)) << "signal line";
    EXPECT_TRUE(same_bits(c.hist, lines.hist)) << "histogram";
}

const std::vector<MacdCase> macd_cases = {
    // Seeds at i = 2: F = (4 + 2) / 2, S = (4 + 2 + 1) / 3. At i = 3 both step
    // with 8, and the signal line starts at T = 3 + 2 - 2 with the line itself.
    {"WorkedFast2Slow3Signal2",
     2,
     3,
     2,
     {1.0, 2.0, 4.0, 8.0},
     {nan, nan, 0.6666666666666665, 1.166666666666666},
     {nan, nan, nan, 1.166666666666666},
     {nan, nan, nan, 0.0}},
    {"ShorterThanSlow",
     2,
     5,
     3,
     {1.0, 2.0, 3.0, 4.0},
     {nan, nan, nan, nan},
     {nan, nan, nan, nan},
     {nan, nan, nan, nan}},
    {"Empty", 2, 3, 2, {}, {}, {}, {}},
    // The first seeding takes the NaN into the slow average; the fast one is a
    // number, so seeding never comes back and the slow average stays NaN.
    {"NanAmongTheFirstSlowValues",
     1,
     3,
     1,
     {1.0, nan, 3.0, 4.0, 5.0, 6.0},
     {nan, nan, nan, nan, nan, nan},
     {nan, nan, nan, nan, nan, nan},
     {nan, nan, nan, nan, nan, nan}},
    // +inf drives both averages to +inf and the line to NaN; -inf then makes the
    // fast average NaN, so the next position seeds again from the raw windows:
    // F = 3, S = (3 + -inf) / 2. The signal line, NaN since the infinity, restarts
    // as the line's value at every position that finds it NaN.
    {"InfinitiesReseed",
     1,
     2,
     1,
     {1.0, 2.0, inf, -inf, 3.0, 4.0},
     {nan, 0.5, any, any, inf, inf},
     {nan, 0.5, any, any, inf, any},
     {nan, 0.0, nan, nan, any, nan}},
};

INSTANTIATE_TEST_SUITE_P(Macd, MacdByHand, ::testing::ValuesIn(macd_cases), case_name<MacdCase>);

TEST(Macd, EmptyRunsWithoutStorage) {
    core::macd(12, 26, 9, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0});
}

// On a series without NaN or infinities the line starts at slow - 1 and the
// signal line at T = slow + signal - 2, equal to the line there, with a zero
// histogram.
TEST(Macd, StartsOfTheLines) {
    const Mix plain{"Plain", 0x3acd, 0.0, 0.0, 0.0, 0.0, 0.0};
    SeriesSource source(plain, 2);
    const struct {
        std::uint64_t fast, slow, signal;
    } cases[] = {{1, 2, 1}, {2, 3, 4}, {12, 26, 9}, {3, 10, 1}, {5, 6, 30}};
    for (const auto& t : cases) {
        const std::vector<double> data = source.series(60);
        const MacdLines lines = core_macd(t.fast, t.slow, t.signal, data);
        const std::size_t line_from = t.slow - 1;
        const std::size_t signal_from = t.slow + t.signal - 2;
        for (std::size_t i = 0; i < data.size(); ++i) {
            SCOPED_TRACE(::testing::Message() << "periods " << t.fast << "/" << t.slow << "/"
                                              << t.signal << " at " << i);
            EXPECT_EQ(bits(lines.macd[i]) == no_value_bits, i < line_from);
            if (i < signal_from) {
                EXPECT_EQ(bits(lines.signal[i]), no_value_bits);
                EXPECT_EQ(bits(lines.hist[i]), no_value_bits);
            } else if (i == signal_from) {
                EXPECT_EQ(bits(lines.signal[i]), bits(lines.macd[i]));
                EXPECT_EQ(bits(lines.hist[i]), bits(0.0));
            } else {
                EXPECT_TRUE(std::isfinite(lines.signal[i]));
            }
        }
    }
}

// slow + signal - 2 beyond 2^64 - 1 must not wrap round to an early start: the
// signal line never starts. Each signal period here is chosen so that the wrapped
// sum would land on `wrapped_start`, inside the series.
class MacdSignalStartSaturates : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(MacdSignalStartSaturates, SignalNeverStarts) {
    const std::uint64_t slow = 10;
    const std::uint64_t wrapped_start = GetParam();
    // (slow - 2) + signal = 2^64 + wrapped_start.
    const std::uint64_t signal = max_u64 - (slow - 2) + 1 + wrapped_start;
    const Mix plain{"Plain", 0x5a7, 0.0, 0.0, 0.0, 0.0, 0.0};
    SeriesSource source(plain, wrapped_start);
    const std::vector<double> data = source.series(30);
    const MacdLines lines = core_macd(3, slow, signal, data);
    for (std::size_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(bits(lines.macd[i]) == no_value_bits, i < slow - 1) << "at " << i;
        EXPECT_EQ(bits(lines.signal[i]), no_value_bits) << "at " << i;
        EXPECT_EQ(bits(lines.hist[i]), no_value_bits) << "at " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Macd, MacdSignalStartSaturates, ::testing::Values(0, 1, 4, 7));

// The largest periods that do not overflow also leave the signal line unstarted.
TEST(Macd, LargestSignalPeriodWithoutOverflow) {
    const std::vector<double> data = {1.0, 2.0, 4.0, 8.0, 16.0};
    for (const std::uint64_t slow : {2U, 3U}) {
        const std::uint64_t signal = max_u64 - (slow - 2);  // T = 2^64 - 1 exactly
        const MacdLines lines = core_macd(1, slow, signal, data);
        for (std::size_t i = 0; i < data.size(); ++i) {
            EXPECT_EQ(bits(lines.macd[i]) == no_value_bits, i < slow - 1) << "at " << i;
            EXPECT_EQ(bits(lines.signal[i]), no_value_bits) << "at " << i;
            EXPECT_EQ(bits(lines.hist[i]), no_value_bits) << "at " << i;
        }
    }
}

// Once the signal line has started, a NaN input is a pure gap: all three
// outputs are NaN there, and the series with it removed gives the same values
// around it.
TEST(Macd, NanAfterTheSignalStartIsAGap) {
    const Mix plain{"Plain", 0x9a9, 0.0, 0.0, 0.0, 0.0, 0.0};
    SeriesSource source(plain, 3);
    const std::vector<double> gaps = {nan, -nan, from_bits(0x7ff8'0000'0000'0777),
                                      from_bits(0x7ff0'0000'0000'0001)};
    for (int round = 0; round < 200; ++round) {
        const std::uint64_t fast = 1 + source.below(10);
        const std::uint64_t slow = fast + 1 + source.below(20);
        const std::uint64_t signal = 1 + source.below(20);
        const std::size_t start = slow + signal - 2;
        const std::size_t n = start + 1 + source.below(60);
        const std::vector<double> clean = source.series(n);
        const MacdLines expected_clean = core_macd(fast, slow, signal, clean);

        const std::size_t at = start + 1 + source.below(n - start);
        std::vector<double> gapped = clean;
        gapped.insert(gapped.begin() + static_cast<std::ptrdiff_t>(at), gaps[source.below(4)]);
        const MacdLines got = core_macd(fast, slow, signal, gapped);

        const auto with_gap = [at](const std::vector<double>& line) {
            std::vector<Expected> expected(line.begin(), line.end());
            expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(at), Expected(nan));
            return expected;
        };
        SCOPED_TRACE(::testing::Message() << "periods " << fast << "/" << slow << "/" << signal
                                          << ", n " << n << ", gap at " << at);
        EXPECT_TRUE(same_bits(with_gap(expected_clean.macd), got.macd));
        EXPECT_TRUE(same_bits(with_gap(expected_clean.signal), got.signal));
        EXPECT_TRUE(same_bits(with_gap(expected_clean.hist), got.hist));
    }
}

struct Triple {
    std::uint64_t fast;
    std::uint64_t slow;
    std::uint64_t signal;
};

// Valid period triples for a series of length n: small ones, ones around n, and
// signal periods at and beyond the point where slow + signal - 2 overflows.
std::vector<Triple> triples(SeriesSource& source, std::size_t n) {
    std::vector<Triple> out;
    for (int k = 0; k < 10; ++k) {
        const std::uint64_t fast = 1 + source.below(k < 5 ? 3 : n + 2);
        std::uint64_t slow = fast + 1 + source.below(k < 5 ? 4 : n + 2);
        if (k == 9) {
            slow = max_u64;
        }
        const std::uint64_t choices[] = {
            1,
            2,
            1 + source.below(n + 2),
            n,
            max_u64,
            std::uint64_t{1} << 63,
            max_u64 - (slow - 2),      // T = 2^64 - 1, no overflow
            max_u64 - (slow - 2) + 1,  // T wraps to 0
            max_u64 - (slow - 2) + 1 + source.below(n + 1),
        };
        const std::uint64_t signal = choices[source.below(std::size(choices))];
        out.push_back({fast, slow, signal == 0 ? 1 : signal});
    }
    return out;
}

class MacdAgainstReference : public ::testing::TestWithParam<Mix> {};

TEST_P(MacdAgainstReference, RandomSeries) {
    SeriesSource source(GetParam(), 0x4d414344);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const Triple& t : triples(source, n)) {
            const ReferenceMacd expected = reference_macd(t.fast, t.slow, t.signal, data);
            const MacdLines got = core_macd(t.fast, t.slow, t.signal, data);
            SCOPED_TRACE(::testing::Message() << "n " << n << ", periods " << t.fast << "/"
                                              << t.slow << "/" << t.signal);
            EXPECT_TRUE(same_elements(expected.macd, got.macd)) << "macd line";
            EXPECT_TRUE(same_elements(expected.signal, got.signal)) << "signal line";
            EXPECT_TRUE(same_elements(expected.hist, got.hist)) << "histogram";
        }
    }
}

// Resumed over any cutting of the series, the three lines are the batch kernel's
// bits (with TA-Lib's seed, one run's); a preview of each run writes the same and
// moves nothing, and a copy taken between runs carries on as the original would.
TEST_P(MacdAgainstReference, ResumedInAnyRuns) {
    SeriesSource source(GetParam(), 0x4d414352);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const Triple& t : triples(source, n)) {
            for (const core::MacdSeed seed : {core::MacdSeed::first, core::MacdSeed::talib}) {
                auto made = core::MacdState::create(t.fast, t.slow, t.signal, seed);
                if (t.slow > core::max_window) {
                    EXPECT_EQ(made.error(), core::StateError::window_too_long);
                    continue;
                }
                ASSERT_TRUE(made);
                const auto run = [&](core::MacdState& state, MacdLines& lines, std::size_t start,
                                     std::size_t length, bool advance) {
                    const core::InputRun in = input(data, start, length);
                    const core::OutputRun m = output(lines.macd, start, length);
                    const core::OutputRun s = output(lines.signal, start, length);
                    const core::OutputRun h = output(lines.hist, start, length);
                    advance ? state.advance(in, m, s, h) : state.preview(in, m, s, h);
                };
                MacdLines batch = core_macd(t.fast, t.slow, t.signal, data);
                if (seed == core::MacdSeed::talib) {
                    auto whole = made->copy();
                    ASSERT_TRUE(whole);
                    run(*whole, batch, 0, n, true);
                }
                for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                    auto state = made->copy();
                    ASSERT_TRUE(state);
                    MacdLines out{std::vector<double>(n, untouched()),
                                  std::vector<double>(n, untouched()),
                                  std::vector<double>(n, untouched())};
                    MacdLines previewed = out;
                    feed(runs, [&](std::size_t start, std::size_t length) {
                        run(*state, previewed, start, length, false);
                        run(*state, out, start, length, true);
                        state = through_checkpoint(*state).copy();
                        ASSERT_TRUE(state);
                    });
                    SCOPED_TRACE(::testing::Message()
                                 << "n " << n << ", periods " << t.fast << "/" << t.slow << "/"
                                 << t.signal << ", seed " << static_cast<int>(seed) << ", "
                                 << runs.size() << " runs");
                    for (const MacdLines* got : {&out, &previewed}) {
                        EXPECT_TRUE(same_bits(batch.macd, got->macd)) << "macd line";
                        EXPECT_TRUE(same_bits(batch.signal, got->signal)) << "signal line";
                        EXPECT_TRUE(same_bits(batch.hist, got->hist)) << "histogram";
                    }
                    EXPECT_EQ(state->bars(), n);
                    EXPECT_EQ(state->seed(), seed);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Macd, MacdAgainstReference, ::testing::ValuesIn(mixes()), case_name<Mix>);

// The periods are checked in the batch function's order, the window last.
TEST(MacdState, RefusedPeriods) {
    EXPECT_EQ(core::MacdState::create(0, 3, 2).error(), core::StateError::zero_period);
    EXPECT_EQ(core::MacdState::create(3, 3, 0).error(), core::StateError::zero_period);
    EXPECT_EQ(core::MacdState::create(3, 3, 2).error(), core::StateError::fast_not_below_slow);
    EXPECT_EQ(core::MacdState::create(5, max_u64, 2).error(), core::StateError::window_too_long);
    // A checkpoint's periods pass the same checks, and an EMA's seed run stays
    // within its period.
    EXPECT_EQ(core::MacdState::from_checkpoint({{3, 3, 2, 0, 0, 0, 0, 0, 0, 0, 0}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::EmaState::from_checkpoint({{3, 9, 4, 0, 0}}).error(),
              core::StateError::bad_checkpoint);
}

}  // namespace
}  // namespace marundex::test
