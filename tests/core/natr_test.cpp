#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();
const double inf = std::numeric_limits<double>::infinity();

std::vector<double> core_natr(std::uint64_t period, const Bars& bars) {
    std::vector<double> out(bars.high.size(), untouched());
    core::NatrState(period).advance(input(bars.high), input(bars.low), input(bars.close),
                                    output(out));
    return out;
}

struct NatrCase {
    const char* name;
    std::uint64_t period;
    Bars bars;
    std::vector<Expected> expected;
};

class NatrByHand : public ::testing::TestWithParam<NatrCase> {};

TEST_P(NatrByHand, MatchesBitForBit) {
    const NatrCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_natr(c.period, c.bars)));
}

const std::vector<NatrCase> natr_cases = {
    // Bars 2 wide about 4: the seed 2 at bar 2, so 50; the NaN high's true range is
    // skipped; then (1 - 1/2) * 2 + (1/2) * 4 = 3, so 75.
    {"NanHighAfterSeed",
     2,
     {{5, 5, 5, nan, 6}, {3, 3, 3, 3, 2}, {4, 4, 4, 4, 4}},
     {nan, nan, 50, nan, 75}},
    // A bad close: NaN at its bar, and the next true range is skipped.
    {"InfiniteClose",
     2,
     {{5, 5, 5, 5, 6, 5}, {3, 3, 3, 3, 2, 3}, {4, 4, 4, -inf, 4, 4}},
     {nan, nan, 50, nan, nan, 50}},
    // Before the seed, a bad true range starts the run afresh.
    {"NanBeforeSeed", 2, {{5, 5, 5, 5}, {3, nan, 3, 3}, {4, 4, 4, 4}}, {nan, nan, nan, 50}},
    // Period 3, true ranges 3, 3 and 6 over a close of 8: (12 / 3 / 8) * 100.
    {"WorkedPeriod3", 3, {{9, 9, 9, 11}, {6, 6, 6, 5}, {8, 8, 8, 8}}, {nan, nan, nan, 50}},
    {"ZeroClose", 2, {{1, 1, 1}, {-1, -1, -1}, {0, 0, -0.0}}, {nan, nan, 0}},
    {"HugePeriod", max_u64, {{2, 2, 2}, {1, 1, 1}, {1, 1, 1}}, {nan, nan, nan}},
    {"PeriodZero", 0, {{2, 2, 2}, {1, 1, 1}, {1, 1, 1}}, {nan, nan, nan}},
    {"Empty", 2, {{}, {}, {}}, {}},
};

INSTANTIATE_TEST_SUITE_P(Natr, NatrByHand, ::testing::ValuesIn(natr_cases), case_name<NatrCase>);

// An output that is the high reads the NaN written before the run.
TEST(Natr, InPlaceRunReadsItsOwnNan) {
    Bars bars{{5, 5, 5, 5}, {3, 3, 3, 3}, {4, 4, 4, 4}};
    core::NatrState state(2);
    state.advance(input(bars.high), input(bars.low), input(bars.close), output(bars.high));
    EXPECT_TRUE(same_bits({nan, nan, nan, nan}, bars.high));
}

TEST(Natr, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t two = bits(2.0);
    EXPECT_TRUE(core::NatrState::from_checkpoint({{3, 9, 3, two, two}}));
    EXPECT_EQ(core::NatrState::from_checkpoint({{3, 9, 4, two, two}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::NatrState::from_checkpoint({{3, 9, 0, two, two}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::NatrState::from_checkpoint({{3, 9, 3, two, bits(-2.0)}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::NatrState::from_checkpoint({{3, 9, 3, two}}).error(),
              core::StateError::bad_checkpoint);
}

class NatrResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints, the outputs are one
// run's bits, and a preview of each run writes the same and moves nothing.
TEST_P(NatrResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x4e41);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        for (const std::uint64_t period : periods(source, n)) {
            const std::vector<double> batch = core_natr(period, bars);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::NatrState state(period);
                std::vector<double> out(n, untouched());
                std::vector<double> previewed(n, untouched());
                feed(runs, [&](std::size_t start, std::size_t length) {
                    state.preview(input(bars.high, start, length), input(bars.low, start, length),
                                  input(bars.close, start, length),
                                  output(previewed, start, length));
                    state.advance(input(bars.high, start, length), input(bars.low, start, length),
                                  input(bars.close, start, length), output(out, start, length));
                    state = through_checkpoint(state);
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period);
                EXPECT_TRUE(same_bits(batch, out));
                EXPECT_TRUE(same_bits(batch, previewed));
                EXPECT_EQ(state.bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Natr, NatrResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
