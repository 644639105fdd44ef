#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();

core::VwapState make_vwap(std::uint64_t period) {
    auto state = core::VwapState::create(period);
    EXPECT_TRUE(state);
    return std::move(*state);
}

std::vector<double> core_vwap(std::uint64_t period, const Bars& bars,
                              const std::vector<double>& volume) {
    std::vector<double> out(volume.size(), untouched());
    make_vwap(period).advance(input(bars.high), input(bars.low), input(bars.close), input(volume),
                              output(out));
    return out;
}

// Products of 1e308 overflow the window's sum, whose quotient is inf / 2; the window
// after them sums afresh.
TEST(Vwap, SumsThatOverflowAreSummedAfresh) {
    const std::vector<double> price{1e308, 1e308, 1, 1, 1};
    const std::vector<double> got = core_vwap(2, {price, price, price}, {1, 1.5, 1, 1, 1});
    EXPECT_TRUE(same_bits({nan, Expected::any_nan(), nan, 1, 1}, got));
}

TEST(Vwap, AWindowPastTheLongestIsRefused) {
    EXPECT_EQ(core::VwapState::create(core::max_window + 1).error(),
              core::StateError::window_too_long);
}

// period, bars, the two sums, the products, the volumes.
TEST(Vwap, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t one = bits(1.0);
    const std::uint64_t nan_bits = bits(nan);
    EXPECT_TRUE(core::VwapState::from_checkpoint({{0, 3, one, one}}));
    EXPECT_TRUE(core::VwapState::from_checkpoint({{1, 3, one, one, one, one}}));
    EXPECT_EQ(core::VwapState::from_checkpoint({{0, 3, nan_bits, one}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::VwapState::from_checkpoint({{1, 3, one, one, nan_bits, one}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::VwapState::from_checkpoint({{1, 3, one, one, one}}).error(),
              core::StateError::bad_checkpoint);
}

class VwapResumed : public ::testing::TestWithParam<Mix> {};

// Over any cutting of the series, through checkpoints and copies, the outputs are
// one run's bits, and a preview of each run writes the same.
TEST_P(VwapResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x5657);
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
            const std::vector<double> batch = core_vwap(period, bars, volume);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::VwapState state = make_vwap(period);
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

INSTANTIATE_TEST_SUITE_P(Vwap, VwapResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
