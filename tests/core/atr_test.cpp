#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();
const double inf = std::numeric_limits<double>::infinity();

struct AtrCase {
    const char* name;
    std::uint64_t period;
    Bars bars;
    std::size_t output_length;
    std::vector<Expected> expected;
};

class AtrByHand : public ::testing::TestWithParam<AtrCase> {};

TEST_P(AtrByHand, MatchesBitForBit) {
    const AtrCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_atr(c.period, c.bars, c.output_length)));
}

const Bars zero_low_and_close{{0, 1, 2, 4, 8, 16}, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}};
const Bars ordinary_bars{{10, 11, 12, 13}, {9, 9.5, 10, 12}, {9.5, 10.5, 11, 12.5}};

const std::vector<AtrCase> atr_cases = {
    // TR(i) = high[i]. The first value is the division 7 / 3; the product with
    // the reciprocal would give 2.333333333333333.
    {"WorkedPeriod3",
     3,
     zero_low_and_close,
     6,
     {nan, nan, nan, 2.3333333333333335, 4.222222222222222, 8.148148148148149}},
    // TR = 1.5, 2, 2.
    {"WorkedPeriod2", 2, ordinary_bars, 4, {nan, nan, 1.75, 1.875}},
    // The first bar's high and low are never read.
    {"FirstHighAndLowUnread",
     2,
     {{inf, 11, 12, 13}, {nan, 9.5, 10, 12}, {9.5, 10.5, 11, 12.5}},
     4,
     {nan, nan, 1.75, 1.875}},
    // TR(1) = 1: both differences with the NaN close are NaN and drop out.
    // TR(2) = |12 - 10.5| with the NaN low dropping out.
    {"WorkedNanCandidates", 1, {{10, 11, 12}, {9, 10, nan}, {nan, 10.5, 11}}, 3, {nan, 1.0, 1.5}},
    // With the previous close NaN only high - low is left, negative here.
    {"HighBelowLowWithNanClose", 1, {{5, 1, 2}, {5, 3, 3}, {nan, nan, 7}}, 3, {nan, -2.0, -1.0}},
    // TR = -0 - (+0) = -0 twice, the closes being NaN; the sum starts at +0, and
    // +0 + -0 is +0, so the mean is +0.
    {"NegativeZeroTrueRanges",
     2,
     {{1, -0.0, -0.0}, {1, 0.0, 0.0}, {nan, nan, 5}},
     3,
     {nan, nan, 0.0}},
    // All three candidates NaN at bar 1: every value from there on is NaN.
    {"AllCandidatesNan",
     1,
     {{1, nan, 5, 6}, {1, nan, 4, 5}, {nan, 1, 1, 1}},
     4,
     {nan, nan, nan, nan}},
    // Period 1 is not the true range itself: 1e17 + (1 - 1e17) rounds to 0.
    {"PeriodOneRounds", 1, {{0, 1e17, 1}, {0, 0, 0}, {0, 0, 0}}, 3, {nan, 1e17, 0.0}},
    // Only the last position gets a value: the mean of TR 2.5, 3.5, 4, 1.
    {"PeriodOneLessThanLength",
     4,
     {{3, 5, 4, 7, 6}, {2, 4, 1, 5, 5}, {2.5, 4.5, 3, 6, 5.5}},
     5,
     {nan, nan, nan, nan, 2.75}},
    {"OutputLongerThanInputs", 2, ordinary_bars, 7, {nan, nan, 1.75, 1.875, nan, nan, nan}},
    {"PeriodZero", 0, ordinary_bars, 4, {nan, nan, nan, nan}},
    {"PeriodEqualsLength", 4, ordinary_bars, 4, {nan, nan, nan, nan}},
    {"HugePeriod",
     std::numeric_limits<std::uint64_t>::max(),
     ordinary_bars,
     4,
     {nan, nan, nan, nan}},
    // With no usable period the output's own length is all that is written.
    {"UnusablePeriodShortOutput", 0, ordinary_bars, 2, {nan, nan}},
    {"UnusablePeriodLongOutput", 9, ordinary_bars, 6, {nan, nan, nan, nan, nan, nan}},
    {"EmptyInputs", 1, {}, 3, {nan, nan, nan}},
    {"EmptyEverything", 0, {}, 0, {}},
};

INSTANTIATE_TEST_SUITE_P(Atr, AtrByHand, ::testing::ValuesIn(atr_cases), case_name<AtrCase>);

TEST(Atr, EmptyRunsWithoutStorage) {
    core::atr(14, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0});
}

class AtrAgainstReference : public ::testing::TestWithParam<Mix> {};

TEST_P(AtrAgainstReference, RandomBars) {
    SeriesSource source(GetParam(), 0x415452);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        for (const std::uint64_t period : periods(source, n)) {
            const bool usable = period != 0 && period < n;
            // Outputs longer than the inputs always; shorter ones only where the
            // kernel writes nothing past its own fill.
            std::vector<std::size_t> output_lengths = {n, n + 1, n + 1 + source.below(9)};
            if (!usable) {
                output_lengths.push_back(0);
                output_lengths.push_back(source.below(n + 1));
            }
            for (const std::size_t m : output_lengths) {
                EXPECT_TRUE(
                    same_elements(reference_atr(period, bars, m), core_atr(period, bars, m)))
                    << "n " << n << ", period " << period << ", output length " << m;
            }
        }
    }
}

// Resumed over any cutting of the bars, the outputs are the batch kernel's bits,
// and a preview of each run writes the same and moves nothing.
TEST_P(AtrAgainstReference, ResumedInAnyRuns) {
    SeriesSource source(GetParam(), 0x41545252);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        for (const std::uint64_t period : periods(source, n)) {
            const std::vector<double> batch = core_atr(period, bars, n);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::AtrState state(period);
                std::vector<double> out(n, untouched());
                std::vector<double> previewed(n, untouched());
                feed(runs, [&](std::size_t start, std::size_t length) {
                    const core::InputRun high = input(bars.high, start, length);
                    const core::InputRun low = input(bars.low, start, length);
                    const core::InputRun close = input(bars.close, start, length);
                    state.preview(high, low, close, output(previewed, start, length));
                    state.advance(high, low, close, output(out, start, length));
                    state = through_checkpoint(state);
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period << ", "
                                                  << runs.size() << " runs");
                EXPECT_TRUE(same_bits(batch, out));
                EXPECT_TRUE(same_bits(batch, previewed));
                EXPECT_EQ(state.bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Atr, AtrAgainstReference, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
