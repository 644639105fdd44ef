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

std::vector<double> core_dema(std::uint64_t period, const std::vector<double>& data) {
    std::vector<double> out(data.size(), untouched());
    core::DemaState(period).advance(input(data), output(out));
    return out;
}

struct DemaCase {
    const char* name;
    std::uint64_t period;
    std::vector<double> data;
    std::vector<Expected> expected;
};

class DemaByHand : public ::testing::TestWithParam<DemaCase> {};

TEST_P(DemaByHand, MatchesBitForBit) {
    const DemaCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_dema(c.period, c.data)));
}

// Period 3 weighs by halves, exactly: e1 is seeded at bar 2 by 4, then 6 and 8;
// e2 at bar 4 by the mean of 4, 6 and 8, so 8 + (8 - 6).
const std::vector<DemaCase> dema_cases = {
    {"WorkedPeriod3", 3, {2, 4, 6, 8, 10}, {nan, nan, nan, nan, 10}},
    // Both averages skip the NaN: e1 = 8 / 2 + 14 / 2 = 11, e2 = 6 / 2 + 11 / 2.
    {"NanAfterSeeds", 3, {2, 4, 6, 8, 10, nan, 14}, {nan, nan, nan, nan, 10, nan, 13.5}},
    // e1 skips it; e2, not yet seeded, starts afresh at 6, 8, 10: 10 + (10 - 8).
    {"InfinityBetweenSeeds", 3, {2, 4, 6, inf, 8, 10, 12}, {nan, nan, nan, nan, nan, nan, 12}},
    // Period 1 is the input itself, the largest double too.
    {"Period1", 1, {1e308, -3, 0.5}, {1e308, -3, 0.5}},
    {"HugePeriod", max_u64, {1, 2, 3}, {nan, nan, nan}},
    {"PeriodZero", 0, {1, 2, 3}, {nan, nan, nan}},
    {"Empty", 2, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Dema, DemaByHand, ::testing::ValuesIn(dema_cases), case_name<DemaCase>);

TEST(Dema, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t four = bits(4.0);
    const std::uint64_t sum = bits(12.0);
    const std::uint64_t nan_bits = bits(nan);
    const std::uint64_t zero = bits(-0.0);
    // After 2, 4, 6, 8: e1 seeded, e2 two values into its run.
    EXPECT_TRUE(
        core::DemaState::from_checkpoint({{3, 4, 3, sum, bits(6.0), 2, bits(10.0), nan_bits}}));
    // e2 cannot have taken a value before e1 has one.
    EXPECT_EQ(core::DemaState::from_checkpoint({{3, 2, 2, bits(6.0), nan_bits, 1, four, nan_bits}})
                  .error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::DemaState::from_checkpoint({{3, 4, 3, sum, bits(6.0), 4, sum, four}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::DemaState::from_checkpoint({{3, 2, 3, sum, four, 0, zero, nan_bits}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::DemaState::from_checkpoint({{3, 4, 3, sum, bits(6.0), 0, zero, four}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::DemaState::from_checkpoint({{3, 4, 3, sum, bits(6.0), 0, zero}}).error(),
              core::StateError::bad_checkpoint);
}

class DemaResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints, the outputs are one
// run's bits, and a preview of each run writes the same and moves nothing.
TEST_P(DemaResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0xde3a);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            const std::vector<double> batch = core_dema(period, data);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::DemaState state(period);
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

INSTANTIATE_TEST_SUITE_P(Dema, DemaResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
