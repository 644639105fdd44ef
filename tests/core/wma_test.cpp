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

std::vector<double> core_wma(std::uint64_t period, const std::vector<double>& data) {
    std::vector<double> out(data.size(), untouched());
    auto state = core::WmaState::create(period);
    EXPECT_TRUE(state);
    state->advance(input(data), output(out));
    return out;
}

struct WmaCase {
    const char* name;
    std::uint64_t period;
    std::vector<double> data;
    std::vector<Expected> expected;
};

class WmaByHand : public ::testing::TestWithParam<WmaCase> {};

TEST_P(WmaByHand, MatchesBitForBit) {
    const WmaCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_wma(c.period, c.data)));
}

const std::vector<WmaCase> wma_cases = {
    // (0 + 0 + 3 * 6) / 6, then the running sums: weighted 18 + (3 * 0 - 6) and
    // 12 + (3 * 3 - 6), over 6.
    {"WorkedPeriod3", 3, {0, 0, 6, 0, 3}, {nan, nan, 3, 2, 2.5}},
    // Near 1e16 a double steps by 2 or 4: the carried sums are off at bars 2 and 4
    // (4 / 3 for 1); the window renewed at bar 5 sums itself afresh (TA-Lib's stay
    // off: 2, 8/3, ...).
    {"RenewedEveryWindow",
     2,
     {1, 1, 1e16, 1, 1, 1, 1},
     {nan, 1, (2e16 + 4) / 3, (1e16 + 2) / 3, 4.0 / 3, 1, 1}},
    // The NaN spoils the two windows that hold it; the next sums itself afresh.
    {"NanInTheWindow", 2, {1, 4, nan, 1, 4, 7}, {nan, 3, nan, nan, 3, 6}},
    {"Infinities", 2, {1, 4, inf, -inf, 1, 4}, {nan, 3, nan, nan, nan, 3}},
    // Finite inputs whose weighted sum overflows give infinity; the sums after it are
    // summed afresh instead of inf - inf.
    {"Overflow", 2, {1e308, 1e308, 1}, {nan, inf, (1e308 + 2.0) / 3.0}},
    // Every window of one is renewed: the input itself, -0 too.
    {"PeriodOne", 1, {5, -0.0, nan, 2}, {5, -0.0, nan, 2}},
    {"PeriodZero", 0, {1, 2, 3}, {nan, nan, nan}},
    {"ShorterThanTheWindow", 4, {1, 2, 3}, {nan, nan, nan}},
    {"Empty", 2, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Wma, WmaByHand, ::testing::ValuesIn(wma_cases), case_name<WmaCase>);

// An output that is the input reads the NaN written before the run.
TEST(Wma, InPlaceRunReadsItsOwnNan) {
    std::vector<double> data{1, 2, 3, 4};
    auto state = core::WmaState::create(2);
    state->advance(input(data), output(data));
    EXPECT_TRUE(same_bits({nan, nan, nan, nan}, data));
}

// Words that no state writes: another length, a count of bad inputs that is not the
// window's, sums that are not NaN before the first full window.
TEST(Wma, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t nan_bits = 0x7ff8'0000'0000'0000;
    const std::uint64_t inf_bits = 0x7ff0'0000'0000'0000;
    EXPECT_TRUE(core::WmaState::from_checkpoint({{2, 1, nan_bits, nan_bits, 0, 1, 0, 0}}));
    EXPECT_TRUE(core::WmaState::from_checkpoint({{2, 3, 0, 0, 0, 1, 0, 0}}));
    EXPECT_TRUE(core::WmaState::from_checkpoint({{2, 3, nan_bits, nan_bits, 1, 1, inf_bits, 0}}));
    const std::vector<std::vector<std::uint64_t>> refused = {
        {2, 1, nan_bits, nan_bits, 0, 1, 0},           {2, 1, 0, 0, 0, 1, 0, 0},
        {2, 3, nan_bits, nan_bits, 0, 1, inf_bits, 0}, {2, 3, 0, 0, 1, 1, inf_bits, 0},
        {2, 1, nan_bits, nan_bits, 0, 1, 0, 5},
    };
    for (const std::vector<std::uint64_t>& words : refused) {
        EXPECT_EQ(core::WmaState::from_checkpoint(words).error(), core::StateError::bad_checkpoint);
    }
}

class WmaResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints and copies, the
// outputs are one run's bits, and a preview of each run writes the same and moves
// nothing.
TEST_P(WmaResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x574d41);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            if (period > core::max_window) {
                EXPECT_EQ(core::WmaState::create(period).error(),
                          core::StateError::window_too_long);
                continue;
            }
            const std::vector<double> batch = core_wma(period, data);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                auto state = core::WmaState::create(period);
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

INSTANTIATE_TEST_SUITE_P(Wma, WmaResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
