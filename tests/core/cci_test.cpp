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

core::CciState made(std::uint64_t period) {
    return std::move(*core::CciState::create(period));
}

std::vector<double> core_cci(std::uint64_t period, const Bars& bars) {
    std::vector<double> out(bars.high.size(), untouched());
    made(period).advance(input(bars.high), input(bars.low), input(bars.close), output(out));
    return out;
}

struct CciCase {
    const char* name;
    std::uint64_t period;
    Bars bars;
    std::vector<Expected> expected;
};

class CciByHand : public ::testing::TestWithParam<CciCase> {};

TEST_P(CciByHand, MatchesBitForBit) {
    const CciCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_cci(c.period, c.bars)));
}

// Typical prices 3, 6, 3, 6: each window of two has mean 4.5 and deviation 1.5, so
// (+-1.5) / (0.015 * 1.5).
const double up = 1.5 / (0.015 * 1.5);
const std::vector<CciCase> cci_cases = {
    {"WorkedPeriod2", 2, {{4, 7, 4, 7}, {2, 5, 2, 5}, {3, 6, 3, 6}}, {nan, up, -up, up}},
    // The windows that hold the NaN low, then the window of 6 and 3 again.
    {"NanLow", 2, {{4, 7, 7, 4}, {2, nan, 5, 2}, {3, 6, 6, 3}}, {nan, nan, nan, -up}},
    // An infinite close too; a window without deviation gives 0, as TA-Lib's.
    {"InfiniteCloseThenFlat", 2, {{4, 4, 4, 4}, {2, 2, 2, 2}, {3, inf, 3, 3}}, {nan, nan, nan, 0}},
    {"LongerThanTheSeries", 3, {{2, 2}, {1, 1}, {1, 1}}, {nan, nan}},
    {"PeriodZero", 0, {{2, 2}, {1, 1}, {1, 1}}, {nan, nan}},
    {"Empty", 2, {{}, {}, {}}, {}},
};

INSTANTIATE_TEST_SUITE_P(Cci, CciByHand, ::testing::ValuesIn(cci_cases), case_name<CciCase>);

// An output that is the close reads the NaN written before the run.
TEST(Cci, InPlaceRunReadsItsOwnNan) {
    Bars bars{{4, 7, 4, 7}, {2, 5, 2, 5}, {3, 6, 3, 6}};
    made(2).advance(input(bars.high), input(bars.low), input(bars.close), output(bars.close));
    EXPECT_TRUE(same_bits({nan, nan, nan, nan}, bars.close));
}

TEST(Cci, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t three = bits(3.0);
    EXPECT_TRUE(core::CciState::from_checkpoint({{3, 4, 1, three, three, three}}));
    EXPECT_TRUE(core::CciState::from_checkpoint({{3, 2, 2, three, three, 0}}));
    // The slot of the next bar right after the bars seen, the slots after it zero.
    EXPECT_EQ(core::CciState::from_checkpoint({{3, 2, 1, three, three, 0}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::CciState::from_checkpoint({{3, 2, 2, three, three, three}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::CciState::from_checkpoint({{3, 4, 3, three, three, three}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::CciState::from_checkpoint({{3, 4, 1, three, three}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::CciState::create(core::max_window + 1).error(),
              core::StateError::window_too_long);
}

class CciResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints, the outputs are one
// run's bits, and a preview of each run writes the same and moves nothing.
TEST_P(CciResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0xcc1);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        for (const std::uint64_t period : periods(source, n)) {
            if (period > core::max_window) {
                continue;
            }
            const std::vector<double> batch = core_cci(period, bars);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::CciState state = made(period);
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

INSTANTIATE_TEST_SUITE_P(Cci, CciResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
