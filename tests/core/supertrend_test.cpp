#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();

struct Lines {
    std::vector<double> line;
    std::vector<double> trend;
};

Lines core_supertrend(std::uint64_t period, double multiplier, const Bars& bars) {
    Lines out{std::vector<double>(bars.high.size(), untouched()),
              std::vector<double>(bars.high.size(), untouched())};
    core::SupertrendState(period, multiplier)
        .advance(input(bars.high), input(bars.low), input(bars.close), output(out.line),
                 output(out.trend));
    return out;
}

// A close exactly on the band it follows holds the trend: only a close beyond it
// turns it. Bars 2 wide about 10, average 2, lower band 8; a close of 8 holds it,
// one of 7.5 turns the trend down onto the upper band, tightened to 8 + 2.
TEST(Supertrend, ACloseOnTheBandHoldsTheTrend) {
    const Lines got =
        core_supertrend(2, 1.0, {{11, 11, 11, 9, 9}, {9, 9, 9, 8, 7}, {10, 10, 10, 8, 7.5}});
    EXPECT_TRUE(same_bits({nan, nan, 8, 8, 10}, got.line));
    EXPECT_TRUE(same_bits({nan, nan, 1, 1, -1}, got.trend));
}

// period, multiplier, bars, run, previous close, average, trend, upper, lower, close
// of the bands.
TEST(Supertrend, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t one = bits(1.0);
    const std::uint64_t nan_bits = bits(nan);
    EXPECT_TRUE(
        core::SupertrendState::from_checkpoint({{2, one, 3, 2, one, one, 2, one, one, one}}));
    EXPECT_EQ(
        core::SupertrendState::from_checkpoint({{2, one, 3, 2, one, one, 2, one, nan_bits, one}})
            .error(),
        core::StateError::bad_checkpoint);
    EXPECT_EQ(core::SupertrendState::from_checkpoint({{2, one, 3, 1, one, one, 1, one, one, one}})
                  .error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(
        core::SupertrendState::from_checkpoint({{2, one, 3, 2, one, one, 2, one, one}}).error(),
        core::StateError::bad_checkpoint);
}

class SupertrendResumed : public ::testing::TestWithParam<Mix> {};

TEST_P(SupertrendResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x5354);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        for (const std::uint64_t period : periods(source, n)) {
            const Lines batch = core_supertrend(period, 2.5, bars);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::SupertrendState state(period, 2.5);
                Lines out{std::vector<double>(n, untouched()), std::vector<double>(n, untouched())};
                Lines previewed = out;
                feed(runs, [&](std::size_t start, std::size_t length) {
                    const auto h = input(bars.high, start, length);
                    const auto l = input(bars.low, start, length);
                    const auto c = input(bars.close, start, length);
                    state.preview(h, l, c, output(previewed.line, start, length),
                                  output(previewed.trend, start, length));
                    state.advance(h, l, c, output(out.line, start, length),
                                  output(out.trend, start, length));
                    state = through_checkpoint(state);
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period);
                EXPECT_TRUE(same_bits(batch.line, out.line));
                EXPECT_TRUE(same_bits(batch.trend, out.trend));
                EXPECT_TRUE(same_bits(batch.line, previewed.line));
                EXPECT_TRUE(same_bits(batch.trend, previewed.trend));
                EXPECT_EQ(state.bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Supertrend, SupertrendResumed, ::testing::ValuesIn(mixes()),
                         case_name<Mix>);

}  // namespace
}  // namespace marundex::test
