#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();
const double inf = std::numeric_limits<double>::infinity();

std::vector<double> core_trange(const Bars& bars) {
    std::vector<double> out(bars.high.size(), untouched());
    core::TrangeState().advance(input(bars.high), input(bars.low), input(bars.close), output(out));
    return out;
}

struct TrangeCase {
    const char* name;
    Bars bars;
    std::vector<Expected> expected;
};

class TrangeByHand : public ::testing::TestWithParam<TrangeCase> {};

TEST_P(TrangeByHand, MatchesBitForBit) {
    const TrangeCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_trange(c.bars)));
}

const std::vector<TrangeCase> trange_cases = {
    // The spread 2 inside the previous close; a gap up of 5 - 1; a gap down of 9 - 4.
    {"SpreadAndGaps", {{3, 4, 7, 5}, {1, 2, 5, 4}, {3, 1, 9, 4}}, {nan, 2, 6, 5}},
    // A bad high spoils its own bar; a bad close the next bar only.
    {"BadHigh", {{3, nan, 4, 5}, {1, 1, 2, 3}, {2, 2, 3, 4}}, {nan, nan, 2, 2}},
    {"BadClose", {{3, 3, 4, 5}, {1, 1, 2, 3}, {2, -inf, 3, 4}}, {nan, 2, nan, 2}},
    // Low above high and equal to the previous close: the spread is -0, the gaps +0.
    {"SignedZeros", {{0, -0.0}, {0, 0}, {0, 0}}, {nan, 0.0}},
    // Finite inputs whose difference overflows: the formula's +inf.
    {"Overflow", {{0, 1e308}, {0, -1e308}, {0, 0}}, {nan, inf}},
    {"Empty", {{}, {}, {}}, {}},
};

INSTANTIATE_TEST_SUITE_P(Trange, TrangeByHand, ::testing::ValuesIn(trange_cases),
                         case_name<TrangeCase>);

// An output that is the close reads the NaN written before the run.
TEST(Trange, InPlaceRunReadsItsOwnNan) {
    Bars bars{{3, 4, 5}, {1, 2, 3}, {2, 3, 4}};
    core::TrangeState state;
    state.advance(input(bars.high), input(bars.low), input(bars.close), output(bars.close));
    EXPECT_TRUE(same_bits({nan, nan, nan}, bars.close));
}

TEST(Trange, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t one = bits(1.0);
    EXPECT_TRUE(core::TrangeState::from_checkpoint({{3, one}}));
    EXPECT_TRUE(core::TrangeState::from_checkpoint({{0, bits(nan)}}));
    EXPECT_EQ(core::TrangeState::from_checkpoint({{0, one}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::TrangeState::from_checkpoint({{std::uint64_t{1} << 63, one}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::TrangeState::from_checkpoint({{3, one, 0}}).error(),
              core::StateError::bad_checkpoint);
}

class TrangeResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints, the outputs are one
// run's bits, and a preview of each run writes the same and moves nothing.
TEST_P(TrangeResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x5452);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        const std::vector<double> batch = core_trange(bars);
        for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
            core::TrangeState state;
            std::vector<double> out(n, untouched());
            std::vector<double> previewed(n, untouched());
            feed(runs, [&](std::size_t start, std::size_t length) {
                state.preview(input(bars.high, start, length), input(bars.low, start, length),
                              input(bars.close, start, length), output(previewed, start, length));
                state.advance(input(bars.high, start, length), input(bars.low, start, length),
                              input(bars.close, start, length), output(out, start, length));
                state = through_checkpoint(state);
            });
            SCOPED_TRACE(::testing::Message() << "n " << n);
            EXPECT_TRUE(same_bits(batch, out));
            EXPECT_TRUE(same_bits(batch, previewed));
            EXPECT_EQ(state.bars(), n);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Trange, TrangeResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
