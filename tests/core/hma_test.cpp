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

std::vector<double> core_hma(std::uint64_t period, const std::vector<double>& data) {
    std::vector<double> out(data.size(), untouched());
    auto state = core::HmaState::create(period);
    EXPECT_TRUE(state);
    state->advance(input(data), output(out));
    return out;
}

struct HmaCase {
    const char* name;
    std::uint64_t period;
    std::vector<double> data;
    std::vector<Expected> expected;
};

class HmaByHand : public ::testing::TestWithParam<HmaCase> {};

TEST_P(HmaByHand, MatchesBitForBit) {
    const HmaCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_hma(c.period, c.data)));
}

const std::vector<HmaCase> hma_cases = {
    // Period 4: WMAs over 2 and 4 bars, then over 2 of their differences. From bar
    // 3, the differences 0, 2 * 4 - 24 / 10 and 2 * 6 - 42 / 10; the first window of
    // them sums afresh, and so does the one renewed at bar 5.
    {"WorkedPeriod4",
     4,
     {0, 0, 0, 0, 6, 6},
     {nan, nan, nan, nan, (2 * (8 - 2.4)) / 3, ((8 - 2.4) + 2 * (12 - 4.2)) / 3}},
    // Period 5 rounds down: halves of 2 bars and a root of 2, so the first value at
    // bar 5.
    {"RoundedDown", 5, {3, 3, 3, 3, 3, 3, 3}, {nan, nan, nan, nan, nan, 3, 3}},
    // The input itself, 2x - x; a NaN spoils its own bar only.
    {"PeriodOne", 1, {5, -1, nan, 2}, {5, -1, nan, 2}},
    // The NaN spoils the WMAs of 2 bars at bars 2 and 3 and so the differences of
    // bars 2 and 3; the WMA of the differences over 1 bar is clean again at bar 4.
    {"NanLeavesTheWindows", 2, {1, 4, nan, 1, 4, 7}, {nan, 5, nan, nan, 5, 8}},
    {"Infinity", 3, {2, 2, 2, inf, 2, 2, 2}, {nan, nan, 2, nan, nan, nan, 2}},
    {"ShorterThanTheWarmUp", 4, {1, 2, 3, 4}, {nan, nan, nan, nan}},
    {"Empty", 9, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Hma, HmaByHand, ::testing::ValuesIn(hma_cases), case_name<HmaCase>);

// Words that no state writes: another length, a count of bad inputs that is not
// the window's, a difference before the first average that is not the quiet NaN.
TEST(Hma, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t nan_bits = 0x7ff8'0000'0000'0000;
    const std::uint64_t inf_bits = 0x7ff0'0000'0000'0000;
    // Period 2: halves of 1, a root of 1; 12 words, 2 inputs and 1 difference.
    const std::vector<std::uint64_t> one_bar = {2,        1,        0, 0, 0, nan_bits, nan_bits, 0,
                                                nan_bits, nan_bits, 1, 1, 0, 0,        nan_bits};
    EXPECT_TRUE(core::HmaState::from_checkpoint(one_bar));
    std::vector<std::uint64_t> bad_count = one_bar;
    bad_count[4] = 1;
    std::vector<std::uint64_t> infinite_input = one_bar;
    infinite_input[12] = inf_bits;
    std::vector<std::uint64_t> real_difference = one_bar;
    real_difference[14] = 0;
    std::vector<std::uint64_t> shorter(one_bar.begin(), one_bar.end() - 1);
    for (const std::vector<std::uint64_t>& words :
         {bad_count, infinite_input, real_difference, shorter}) {
        EXPECT_EQ(core::HmaState::from_checkpoint(words).error(), core::StateError::bad_checkpoint);
    }
    EXPECT_EQ(core::HmaState::create(0).error(), core::StateError::zero_period);
}

class HmaResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints and copies, the
// outputs are one run's bits, and a preview of each run writes the same and moves
// nothing.
TEST_P(HmaResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x484d41);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            if (period == 0 || period > core::max_window) {
                continue;
            }
            const std::vector<double> batch = core_hma(period, data);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                auto state = core::HmaState::create(period);
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

INSTANTIATE_TEST_SUITE_P(Hma, HmaResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
