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

std::vector<double> core_rsi(std::uint64_t period, const std::vector<double>& data) {
    std::vector<double> out(data.size(), untouched());
    core::RsiState(period).advance(input(data), output(out));
    return out;
}

struct RsiCase {
    const char* name;
    std::uint64_t period;
    std::vector<double> data;
    std::vector<Expected> expected;
};

class RsiByHand : public ::testing::TestWithParam<RsiCase> {};

TEST_P(RsiByHand, MatchesBitForBit) {
    const RsiCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_rsi(c.period, c.data)));
}

const std::vector<RsiCase> rsi_cases = {
    // Seeded at bar 2 by gain 1, loss 0; then (1 * 1 + 1) / 2 and the falls and rises.
    {"NanAfterSeed",
     2,
     {1, 2, 3, nan, 5, 6, 5, 4, 5, 6},
     {nan, nan, 100, nan, nan, 100, 50, 25, 62.5, 81.25}},
    {"InfinityBeforeSeed", 2, {1, 2, inf, 3, 4, 5, 4}, {nan, nan, nan, nan, nan, 100, 50}},
    {"NothingMoved", 2, {5, 5, 5, 5}, {nan, nan, 0, 0}},
    // Period 3 over rises 2, 1 and a fall 3: gain and loss 3 / 3, so 50; then a rise
    // of 1: gain (1 - 1/3) * 1 + (1/3) * 1 = 1 and loss (1 - 1/3) * 1, so 60 (where
    // (1 * 2 + 1) / 3 and (1 * 2) / 3 would give 60.00000000000001).
    {"WorkedPeriod3", 3, {1, 3, 4, 1, 2}, {nan, nan, nan, 50, 60}},
    {"PeriodZero", 0, {1, 2, 3}, {nan, nan, nan}},
    {"HugePeriod", max_u64, {1, 2, 3}, {nan, nan, nan}},
    {"Empty", 2, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Rsi, RsiByHand, ::testing::ValuesIn(rsi_cases), case_name<RsiCase>);

// An output that is the input reads the NaN written before the run.
TEST(Rsi, InPlaceRunReadsItsOwnNan) {
    std::vector<double> data{1, 2, 3, 4};
    core::RsiState state(2);
    state.advance(input(data), output(data));
    EXPECT_TRUE(same_bits({nan, nan, nan, nan}, data));
}

TEST(Rsi, CheckpointsWithFieldsNoStateHasAreRefused) {
    EXPECT_TRUE(core::RsiState::from_checkpoint({{3, 9, 3, 0, 0, 0}}));
    EXPECT_EQ(core::RsiState::from_checkpoint({{3, 9, 4, 0, 0, 0}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::RsiState::from_checkpoint({{3, 9, 3, 0, 0}}).error(),
              core::StateError::bad_checkpoint);
}

class RsiResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints, the outputs are one
// run's bits, and a preview of each run writes the same and moves nothing.
TEST_P(RsiResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x525349);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            const std::vector<double> batch = core_rsi(period, data);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::RsiState state(period);
                std::vector<double> out(n, untouched());
                std::vector<double> previewed(n, untouched());
                feed(runs, [&](std::size_t start, std::size_t length) {
                    state.preview(input(data, start, length), output(previewed, start, length));
                    state.advance(input(data, start, length), output(out, start, length));
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

INSTANTIATE_TEST_SUITE_P(Rsi, RsiResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
