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

core::WillrState make_willr(std::uint64_t period) {
    auto state = core::WillrState::create(period);
    EXPECT_TRUE(state);
    return std::move(*state);
}

std::vector<double> core_willr(std::uint64_t period, const Bars& bars) {
    std::vector<double> out(bars.high.size(), untouched());
    make_willr(period).advance(input(bars.high), input(bars.low), input(bars.close), output(out));
    return out;
}

struct WillrCase {
    const char* name;
    std::uint64_t period;
    Bars bars;
    std::vector<Expected> expected;
};

class WillrByHand : public ::testing::TestWithParam<WillrCase> {};

TEST_P(WillrByHand, MatchesBitForBit) {
    const WillrCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_willr(c.period, c.bars)));
}

const std::vector<WillrCase> willr_cases = {
    // The NaN high spoils the two windows that hold it, and no other.
    {"NanHigh",
     2,
     {{6, 6, nan, 6, 6, 8}, {2, 2, 2, 2, 4, 4}, {4, 5, 4, 3, 5, 6}},
     {nan, -25, nan, nan, -25, -50}},
    // The highest high leaves the window: 9 at bar 0, then 7 and 5 of a falling run.
    {"ExtremesLeave",
     3,
     {{9, 7, 5, 5, 5}, {1, 3, 3, 4, 4}, {5, 5, 5, 5, 5}},
     {nan, nan, -50, -50, -0.0}},
    // An infinite low spoils the windows that hold it; the window after holds 5s and 3.
    {"InfiniteLow",
     2,
     {{9, 7, 5, 5, 5}, {1, 3, -inf, 3, 3}, {5, 5, 5, 4, 5}},
     {nan, -50, nan, nan, -0.0}},
    {"FallingHighs", 2, {{9, 7, 5, 4}, {1, 3, 3, 3}, {5, 5, 4, 3}}, {nan, -50, -75, -100}},
    // A close at the high gives -0, a window without range +0, as TA-Lib gives.
    {"SignedZeros", 2, {{6, 6, 3, 3}, {2, 2, 3, 3}, {6, 6, 3, 3}}, {nan, -0.0, -75, 0.0}},
    // Of equal highs the latest stands: -0 as hh gives +0, +0 gives -0. Windows of
    // three take their ties from either side of the ring's rounds.
    {"LatestOfEqualHighs",
     3,
     {{-0.0, 0.0, -0.0, 0.0, 0.0, -0.0, -0.0}, {-1, -1, -1, -1, -1, -1, -1}, {0, 0, 0, 0, 0, 0, 0}},
     {nan, nan, 0.0, -0.0, -0.0, 0.0, 0.0}},
    {"BadClose", 2, {{6, 6, 6}, {2, 2, 2}, {4, nan, 4}}, {nan, nan, -50}},
    {"PeriodZero", 0, {{2, 2}, {1, 1}, {1, 1}}, {nan, nan}},
    {"Empty", 2, {{}, {}, {}}, {}},
};

INSTANTIATE_TEST_SUITE_P(Willr, WillrByHand, ::testing::ValuesIn(willr_cases),
                         case_name<WillrCase>);

TEST(Willr, AWindowPastTheLongestIsRefused) {
    EXPECT_EQ(core::WillrState::create(core::max_window + 1).error(),
              core::StateError::window_too_long);
}

// An output that is the low reads the NaN written before the run.
TEST(Willr, InPlaceRunReadsItsOwnNan) {
    Bars bars{{6, 6, 6}, {2, 2, 2}, {4, 4, 4}};
    core::WillrState state = make_willr(2);
    state.advance(input(bars.high), input(bars.low), input(bars.close), output(bars.low));
    EXPECT_TRUE(same_bits({nan, nan, nan}, bars.low));
}

TEST(Willr, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t one = bits(1.0);
    EXPECT_TRUE(core::WillrState::from_checkpoint({{2, 5, 1, one, one, one, one}}));
    EXPECT_TRUE(core::WillrState::from_checkpoint({{2, 1, 1, one, 0, one, 0}}));
    EXPECT_EQ(core::WillrState::from_checkpoint({{2, 1, 1, one, 0, one, one}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::WillrState::from_checkpoint({{2, 5, 2, one, one, one, one}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::WillrState::from_checkpoint({{2, 5, 1, one, one, one}}).error(),
              core::StateError::bad_checkpoint);
}

class WillrResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints and copies, the
// outputs are one run's bits, and a preview of each run writes the same and moves
// nothing.
TEST_P(WillrResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x5752);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        for (const std::uint64_t period : periods(source, n)) {
            if (period > core::max_window) {
                continue;
            }
            const std::vector<double> batch = core_willr(period, bars);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::WillrState state = make_willr(period);
                std::vector<double> out(n, untouched());
                std::vector<double> previewed(n, untouched());
                feed(runs, [&](std::size_t start, std::size_t length) {
                    state.preview(input(bars.high, start, length), input(bars.low, start, length),
                                  input(bars.close, start, length),
                                  output(previewed, start, length));
                    state.advance(input(bars.high, start, length), input(bars.low, start, length),
                                  input(bars.close, start, length), output(out, start, length));
                    state = through_checkpoint(*state.copy());
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period);
                EXPECT_TRUE(same_bits(batch, out));
                EXPECT_TRUE(same_bits(batch, previewed));
                EXPECT_EQ(state.bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Willr, WillrResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
