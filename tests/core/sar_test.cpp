#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();

std::vector<double> core_sar(double acceleration, double maximum, const std::vector<double>& high,
                             const std::vector<double>& low) {
    std::vector<double> out(high.size(), untouched());
    auto state = core::SarState::create(acceleration, maximum);
    EXPECT_TRUE(state);
    state->advance(input(high), input(low), output(out));
    return out;
}

TEST(Sar, RatesThatAreNotFinitePositiveAndInOrderAreRefused) {
    const double inf = std::numeric_limits<double>::infinity();
    for (const auto& [acceleration, maximum] :
         {std::pair{0.0, 0.2}, {-0.02, 0.2}, {0.3, 0.2}, {0.02, inf}, {nan, 0.2}}) {
        EXPECT_EQ(core::SarState::create(acceleration, maximum).error(),
                  core::StateError::acceleration_above_maximum);
    }
    EXPECT_TRUE(core::SarState::create(0.2, 0.2));
}

// Equal moves of the first two bars start long, as TA-Lib's, and a low exactly on
// the stop reverses it, as one below it does; a high on the stop reverses it back.
TEST(Sar, ATieStartsLongAndAPriceOnTheStopReverses) {
    EXPECT_TRUE(same_bits({nan, 11, 8}, core_sar(0.5, 0.5, {10, 11, 12}, {9, 8, 9})));
    EXPECT_TRUE(same_bits({nan, 11, 9}, core_sar(0.5, 0.5, {10, 11, 11}, {9, 9, 9})));
}

// acceleration, maximum, bars, good bars, long, factor, extreme, stop, high, low.
TEST(Sar, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t a = bits(0.25);
    const std::uint64_t m = bits(0.5);
    const std::uint64_t one = bits(1.0);
    const std::uint64_t nan_bits = bits(nan);
    EXPECT_TRUE(core::SarState::from_checkpoint({{a, m, 3, 2, 1, m, one, one, one, one}}));
    EXPECT_TRUE(
        core::SarState::from_checkpoint({{a, m, 3, 1, 0, a, nan_bits, nan_bits, one, one}}));
    EXPECT_EQ(core::SarState::from_checkpoint({{m, a, 3, 2, 1, m, one, one, one, one}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(
        core::SarState::from_checkpoint({{a, m, 3, 2, 1, bits(0.75), one, one, one, one}}).error(),
        core::StateError::bad_checkpoint);
    EXPECT_EQ(core::SarState::from_checkpoint({{a, m, 1, 2, 1, m, one, one, one, one}}).error(),
              core::StateError::bad_checkpoint);
}

class SarResumed : public ::testing::TestWithParam<Mix> {};

TEST_P(SarResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x5341);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        const std::vector<double> batch = core_sar(0.02, 0.2, bars.high, bars.low);
        for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
            auto state = *core::SarState::create(0.02, 0.2);
            std::vector<double> out(n, untouched());
            std::vector<double> previewed(n, untouched());
            feed(runs, [&](std::size_t start, std::size_t length) {
                const auto h = input(bars.high, start, length);
                const auto l = input(bars.low, start, length);
                state.preview(h, l, output(previewed, start, length));
                state.advance(h, l, output(out, start, length));
                state = through_checkpoint(state);
            });
            SCOPED_TRACE(::testing::Message() << "n " << n);
            EXPECT_TRUE(same_bits(batch, out));
            EXPECT_TRUE(same_bits(batch, previewed));
            EXPECT_EQ(state.bars(), n);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sar, SarResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
