#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();

core::MfiState make_mfi(std::uint64_t period) {
    auto state = core::MfiState::create(period);
    EXPECT_TRUE(state);
    return std::move(*state);
}

// High, low, close and volume; out of one length.
std::vector<double> core_mfi(std::uint64_t period, const Bars& bars,
                             const std::vector<double>& volume) {
    std::vector<double> out(volume.size(), untouched());
    make_mfi(period).advance(input(bars.high), input(bars.low), input(bars.close), input(volume),
                             output(out));
    return out;
}

// Flows of 1e308 up overflow the windows' sums, whose MFI is inf / inf; the window
// after them sums afresh, and one whose down flows are all 0 gives 100.
TEST(Mfi, SumsThatOverflowAreSummedAfresh) {
    const std::vector<double> price{1, 2, 3, 4, 5};
    const std::vector<double> got =
        core_mfi(2, {price, price, price}, {1, 1e308 / 2, 1e308 / 3, 1e308 / 4, 1});
    const Expected open = Expected::any_nan();
    EXPECT_TRUE(same_bits({nan, nan, open, open, 100}, got));
}

TEST(Mfi, AWindowPastTheLongestIsRefused) {
    EXPECT_EQ(core::MfiState::create(core::max_window + 1).error(),
              core::StateError::window_too_long);
}

// period, bars, last tp, positive and negative sums, the up flows, the down flows.
TEST(Mfi, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t one = bits(1.0);
    const std::uint64_t nan_bits = bits(nan);
    EXPECT_TRUE(core::MfiState::from_checkpoint({{2, 3, one, one, 0, one, one, 0, 0}}));
    EXPECT_TRUE(core::MfiState::from_checkpoint(
        {{2, 2, one, nan_bits, nan_bits, nan_bits, one, nan_bits, 0}}));
    // A flow both up and down, and bar 0's flow good while held.
    EXPECT_EQ(core::MfiState::from_checkpoint({{2, 3, one, one, one, one, one, one, 0}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(
        core::MfiState::from_checkpoint({{2, 2, one, nan_bits, nan_bits, 0, one, 0, 0}}).error(),
        core::StateError::bad_checkpoint);
    EXPECT_EQ(core::MfiState::from_checkpoint({{2, 3, one, one, 0, one, one, 0}}).error(),
              core::StateError::bad_checkpoint);
}

class MfiResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints and copies, the
// outputs are one run's bits, and a preview of each run writes the same.
TEST_P(MfiResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x4d46);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        std::vector<double> volume;
        std::vector<double> unused;
        source.bars(n, volume, unused, unused);
        for (const std::uint64_t period : periods(source, n)) {
            if (period > 1000) {
                continue;
            }
            const std::vector<double> batch = core_mfi(period, bars, volume);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::MfiState state = make_mfi(period);
                std::vector<double> out(n, untouched());
                std::vector<double> previewed(n, untouched());
                feed(runs, [&](std::size_t start, std::size_t length) {
                    const auto h = input(bars.high, start, length);
                    const auto l = input(bars.low, start, length);
                    const auto c = input(bars.close, start, length);
                    const auto v = input(volume, start, length);
                    state.preview(h, l, c, v, output(previewed, start, length));
                    state.advance(h, l, c, v, output(out, start, length));
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

INSTANTIATE_TEST_SUITE_P(Mfi, MfiResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
