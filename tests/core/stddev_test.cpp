#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();
const double inf = std::numeric_limits<double>::infinity();

struct StddevCase {
    const char* name;
    std::uint64_t period;
    double nbdev;
    std::vector<double> data;
    std::vector<Expected> expected;
};

class StddevByHand : public ::testing::TestWithParam<StddevCase> {};

TEST_P(StddevByHand, MatchesBitForBit) {
    const StddevCase& c = GetParam();
    auto state = core::StddevState::create(c.period, c.nbdev);
    ASSERT_TRUE(state);
    std::vector<double> out(c.data.size(), untouched());
    state->advance(input(c.data), output(out));
    EXPECT_TRUE(same_bits(c.expected, out));
}

const std::vector<StddevCase> stddev_cases = {
    // (1, 3): shift 3, differences -2 and 0, so offset -1 and variance 4 / 2 - 1.
    {"Worked", 2, 1.0, {1, 3, 5}, {nan, 1, 1}},
    // Shift 7, differences -4, -2, 0: sqrt(20 / 3 - 4) * 2, the quotient rounded.
    {"WorkedPeriod3", 3, 2.0, {3, 5, 7}, {nan, nan, 3.265986323710904}},
    // The windows that hold a bad input, and exactly 0 where nothing moved.
    {"BadInputs", 2, 1.0, {4, nan, 4, 4, inf, 6, 4}, {nan, nan, nan, 0, nan, nan, 1}},
    // Whole ticks: a flat window gives exactly 0.
    {"FlatAfterMoves",
     3,
     1.0,
     {200, 201, 203, 200, 200, 200},
     {nan, nan, 1.2472191289246468, 1.2472191289246468, std::numbers::sqrt2, 0}},
    {"PeriodZero", 0, 1.0, {1, 2}, {nan, nan}},
    {"Empty", 2, 1.0, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Stddev, StddevByHand, ::testing::ValuesIn(stddev_cases),
                         case_name<StddevCase>);

TEST(Bbands, WorkedBands) {
    auto state = core::BbandsState::create(2, 2.0, 3.0);
    ASSERT_TRUE(state);
    const std::vector<double> data{1, 3, 5};
    std::vector<double> upper(3, untouched());
    std::vector<double> middle(3, untouched());
    std::vector<double> lower(3, untouched());
    state->advance(input(data), output(upper), output(middle), output(lower));
    EXPECT_TRUE(same_bits({nan, 4, 6}, upper));
    EXPECT_TRUE(same_bits({nan, 2, 4}, middle));
    EXPECT_TRUE(same_bits({nan, -1, 1}, lower));
}

TEST(Stddev, CheckpointsWithFieldsNoStateHasAreRefused) {
    // nbdev, period, bars, shift, sum, squares, bad, next, two slots.
    const std::uint64_t one = bits(1.0);
    const std::uint64_t none = bits(nan);
    EXPECT_TRUE(core::StddevState::from_checkpoint(
        {{one, 2, 3, bits(3.0), bits(-1.0), bits(1.0), 0, 1, bits(3.0), bits(2.0)}}));
    EXPECT_EQ(core::StddevState::from_checkpoint(
                  {{bits(inf), 2, 3, bits(3.0), bits(-1.0), bits(1.0), 0, 1, bits(3.0), bits(2.0)}})
                  .error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::StddevState::from_checkpoint(
                  {{one, 2, 1, bits(3.0), bits(-1.0), bits(1.0), 0, 1, bits(3.0), 0}})
                  .error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::StddevState::from_checkpoint(
                  {{one, 2, 3, none, none, none, 0, 1, bits(nan), bits(2.0)}})
                  .error(),
              core::StateError::bad_checkpoint);
    EXPECT_TRUE(core::StddevState::from_checkpoint(
        {{one, 2, 3, none, none, none, 1, 1, bits(nan), bits(2.0)}}));
}

}  // namespace
}  // namespace marundex::test
