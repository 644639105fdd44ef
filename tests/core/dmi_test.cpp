#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();

using Lines = std::array<std::vector<double>, 3>;

Lines core_dmi(std::uint64_t period, const Bars& bars) {
    const std::size_t n = bars.high.size();
    Lines out{std::vector<double>(n, untouched()), std::vector<double>(n, untouched()),
              std::vector<double>(n, untouched())};
    core::DmiState(period).advance(input(bars.high), input(bars.low), input(bars.close),
                                   output(out[0]), output(out[1]), output(out[2]));
    return out;
}

// period, bars, high, low, close, DI run, +DM, -DM, TR, DX run, ADX.
TEST(Dmi, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t one = bits(1.0);
    const std::uint64_t nan_bits = bits(nan);
    EXPECT_TRUE(core::DmiState::from_checkpoint({{2, 3, one, one, one, 2, one, 0, one, 1, one}}));
    EXPECT_TRUE(
        core::DmiState::from_checkpoint({{2, 0, nan_bits, nan_bits, nan_bits, 0, 0, 0, 0, 0, 0}}));
    // A DX run longer than the period, and one with no seeded averages.
    EXPECT_EQ(
        core::DmiState::from_checkpoint({{2, 3, one, one, one, 2, one, 0, one, 3, one}}).error(),
        core::StateError::bad_checkpoint);
    EXPECT_EQ(
        core::DmiState::from_checkpoint({{2, 3, one, one, one, 1, one, 0, one, 1, one}}).error(),
        core::StateError::bad_checkpoint);
    // A negative -DM average, and a word short.
    EXPECT_EQ(
        core::DmiState::from_checkpoint({{2, 3, one, one, one, 2, one, bits(-1.0), one, 1, one}})
            .error(),
        core::StateError::bad_checkpoint);
    EXPECT_EQ(core::DmiState::from_checkpoint({{2, 3, one, one, one, 2, one, 0, one, 1}}).error(),
              core::StateError::bad_checkpoint);
}

class DmiResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints, the three lines are
// one run's bits, and a preview of each run writes the same and moves nothing.
TEST_P(DmiResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x444d);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        for (const std::uint64_t period : periods(source, n)) {
            const Lines batch = core_dmi(period, bars);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::DmiState state(period);
                Lines out = batch;
                Lines previewed = batch;
                for (std::vector<double>& line : out) {
                    line.assign(n, untouched());
                }
                for (std::vector<double>& line : previewed) {
                    line.assign(n, untouched());
                }
                feed(runs, [&](std::size_t start, std::size_t length) {
                    const auto h = input(bars.high, start, length);
                    const auto l = input(bars.low, start, length);
                    const auto c = input(bars.close, start, length);
                    state.preview(h, l, c, output(previewed[0], start, length),
                                  output(previewed[1], start, length),
                                  output(previewed[2], start, length));
                    state.advance(h, l, c, output(out[0], start, length),
                                  output(out[1], start, length), output(out[2], start, length));
                    state = through_checkpoint(state);
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period);
                for (std::size_t k = 0; k < 3; ++k) {
                    EXPECT_TRUE(same_bits(batch[k], out[k]));
                    EXPECT_TRUE(same_bits(batch[k], previewed[k]));
                }
                EXPECT_EQ(state.bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dmi, DmiResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
