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

std::vector<double> core_mom(std::uint64_t period, const std::vector<double>& data) {
    std::vector<double> out(data.size(), untouched());
    auto state = core::MomState::create(period);
    EXPECT_TRUE(state);
    state->advance(input(data), output(out));
    return out;
}

struct MomCase {
    const char* name;
    std::uint64_t period;
    std::vector<double> data;
    std::vector<Expected> expected;
};

class MomByHand : public ::testing::TestWithParam<MomCase> {};

TEST_P(MomByHand, MatchesBitForBit) {
    const MomCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_mom(c.period, c.data)));
}

const std::vector<MomCase> mom_cases = {
    {"WorkedPeriod2", 2, {1, 4, 2, 8, 5}, {nan, nan, 1, 4, 3}},
    // A bad input spoils its own bar and the one `period` after it.
    {"NanAndInfinities", 2, {1, nan, 3, inf, 5, -inf, 9, 9}, {nan, nan, 2, nan, 2, nan, 4, nan}},
    // Finite inputs whose difference overflows give the infinity, as TA-Lib's.
    {"Overflow", 1, {1e308, -1e308, 0}, {nan, -inf, 1e308}},
    {"PeriodZero", 0, {1, 2, 3}, {nan, nan, nan}},
    {"ShorterThanTheWindow", 3, {1, 2, 3}, {nan, nan, nan}},
    {"Empty", 2, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Mom, MomByHand, ::testing::ValuesIn(mom_cases), case_name<MomCase>);

// An output that is the input reads the NaN written before the run.
TEST(Mom, InPlaceRunReadsItsOwnNan) {
    std::vector<double> data{1, 2, 3, 4};
    auto state = core::MomState::create(1);
    state->advance(input(data), output(data));
    EXPECT_TRUE(same_bits({nan, nan, nan, nan}, data));
}

// Words that no state writes: another length, a next slot not right after the
// bars of a window not yet full, a slot not yet reached that is not zero.
TEST(Mom, CheckpointsWithFieldsNoStateHasAreRefused) {
    EXPECT_TRUE(core::MomState::from_checkpoint({{2, 1, 1, 7, 0}}));
    EXPECT_TRUE(core::MomState::from_checkpoint({{2, 5, 0, 7, 8}}));
    const std::vector<std::vector<std::uint64_t>> refused = {
        {}, {2, 1, 1, 7}, {2, 1, 0, 7, 0}, {2, 1, 1, 7, 8}, {2, 5, 2, 7, 8}, {max_u64, 0, 0}};
    for (const std::vector<std::uint64_t>& words : refused) {
        EXPECT_EQ(core::MomState::from_checkpoint(words).error(), core::StateError::bad_checkpoint);
    }
}

class MomResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints and copies, the
// outputs are one run's bits, and a preview of each run writes the same and moves
// nothing.
TEST_P(MomResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x4d4f4d);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            if (period > core::max_window) {
                EXPECT_EQ(core::MomState::create(period).error(),
                          core::StateError::window_too_long);
                continue;
            }
            const std::vector<double> batch = core_mom(period, data);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                auto state = core::MomState::create(period);
                ASSERT_TRUE(state);
                std::vector<double> out(n, untouched());
                std::vector<double> previewed(n, untouched());
                feed(runs, [&](std::size_t start, std::size_t length) {
                    state->preview(input(data, start, length), output(previewed, start, length));
                    state->advance(input(data, start, length), output(out, start, length));
                    state = through_checkpoint(*state).copy();
                    ASSERT_TRUE(state);
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period);
                EXPECT_TRUE(same_bits(batch, out));
                EXPECT_TRUE(same_bits(batch, previewed));
                EXPECT_EQ(state->bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Mom, MomResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
