#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();

core::KcState make_kc(std::uint64_t period, std::uint64_t atr_period) {
    auto state = core::KcState::create(period, atr_period, 1.5);
    EXPECT_TRUE(state);
    return std::move(*state);
}

using Channel = std::array<std::vector<double>, 3>;

Channel core_kc(std::uint64_t period, std::uint64_t atr_period, const Bars& bars) {
    const std::size_t n = bars.high.size();
    Channel out{std::vector<double>(n, untouched()), std::vector<double>(n, untouched()),
                std::vector<double>(n, untouched())};
    make_kc(period, atr_period)
        .advance(input(bars.high), input(bars.low), input(bars.close), output(out[0]),
                 output(out[1]), output(out[2]));
    return out;
}

TEST(Kc, PeriodsOfZeroOrPastTheLongestAreRefused) {
    EXPECT_EQ(core::KcState::create(0, 3, 2.0).error(), core::StateError::zero_period);
    EXPECT_EQ(core::KcState::create(3, 0, 2.0).error(), core::StateError::zero_period);
    EXPECT_EQ(core::KcState::create(3, core::max_window + 1, 2.0).error(),
              core::StateError::window_too_long);
}

// period, ATR period, nbdev, bars, close, price run, middle, range run, ATR, the
// prices, the ranges.
TEST(Kc, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t one = bits(1.0);
    const std::uint64_t nan_bits = bits(nan);
    EXPECT_TRUE(
        core::KcState::from_checkpoint({{2, 1, one, 3, one, 2, one, 1, one, one, one, one}}));
    // A run of good ranges that the ring says is shorter.
    EXPECT_EQ(
        core::KcState::from_checkpoint({{2, 1, one, 3, one, 2, one, 1, one, one, one, nan_bits}})
            .error(),
        core::StateError::bad_checkpoint);
    // A middle line before its first bar.
    EXPECT_EQ(
        core::KcState::from_checkpoint({{2, 1, one, 1, one, 1, one, 0, nan_bits, one, 0, nan_bits}})
            .error(),
        core::StateError::bad_checkpoint);
}

class KcResumed : public ::testing::TestWithParam<Mix> {};

TEST_P(KcResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x4b43);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        for (const std::uint64_t period : periods(source, n)) {
            if (period == 0 || period > 1000) {
                continue;
            }
            const std::uint64_t atr_period = 1 + period % 7;
            const Channel batch = core_kc(period, atr_period, bars);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::KcState state = make_kc(period, atr_period);
                Channel out{std::vector<double>(n, untouched()),
                            std::vector<double>(n, untouched()),
                            std::vector<double>(n, untouched())};
                Channel previewed = out;
                feed(runs, [&](std::size_t start, std::size_t length) {
                    const auto h = input(bars.high, start, length);
                    const auto l = input(bars.low, start, length);
                    const auto c = input(bars.close, start, length);
                    state.preview(h, l, c, output(previewed[0], start, length),
                                  output(previewed[1], start, length),
                                  output(previewed[2], start, length));
                    state.advance(h, l, c, output(out[0], start, length),
                                  output(out[1], start, length), output(out[2], start, length));
                    state = through_checkpoint(*state.copy());
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

INSTANTIATE_TEST_SUITE_P(Kc, KcResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
