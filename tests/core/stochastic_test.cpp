#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();

template <std::size_t Means>
core::StochasticState<Means> make_stochastic(typename core::StochasticState<Means>::Periods p) {
    auto state = core::StochasticState<Means>::create(p);
    EXPECT_TRUE(state);
    return std::move(*state);
}

struct Lines {
    std::vector<double> first;
    std::vector<double> second;
};

template <std::size_t Means>
Lines core_stochastic(typename core::StochasticState<Means>::Periods p, const Bars& bars) {
    Lines out{std::vector<double>(bars.high.size(), untouched()),
              std::vector<double>(bars.high.size(), untouched())};
    make_stochastic<Means>(p).advance(input(bars.high), input(bars.low), input(bars.close),
                                      output(out.first), output(out.second));
    return out;
}

// %K over one bar is 50, 100, 0, 50, 100; the slow %K its mean over two from bar 1,
// the slow %D that one's mean over two from bar 2, where both lines start.
TEST(Stoch, SlowLinesByHand) {
    const Lines got =
        core_stochastic<2>({1, 2, 2}, {{6, 6, 6, 6, 6}, {2, 2, 2, 2, 2}, {4, 6, 2, 4, 6}});
    EXPECT_TRUE(same_bits({nan, nan, 50, 25, 75}, got.first));
    EXPECT_TRUE(same_bits({nan, nan, 62.5, 37.5, 50}, got.second));
}

// A close at the lowest low gives +0, a window without range too; a NaN low spoils
// the %K of both windows that hold it and each %D over them.
TEST(Stochf, ZerosAndABadLow) {
    const Lines got =
        core_stochastic<1>({2, 1}, {{6, 6, 6, 6, 3, 3}, {2, 2, nan, 2, 3, 3}, {6, 2, 4, 4, 3, 3}});
    EXPECT_TRUE(same_bits({nan, 0.0, nan, nan, 25, 0.0}, got.first));
    EXPECT_TRUE(same_bits({nan, 0.0, nan, nan, 25, 0.0}, got.second));
}

TEST(Stochastic, PeriodsOfZeroOrPastTheLongestAreRefused) {
    EXPECT_EQ(core::StochfState::create({0, 3}).error(), core::StateError::zero_period);
    EXPECT_EQ(core::StochState::create({5, 3, 0}).error(), core::StateError::zero_period);
    EXPECT_EQ(core::StochState::create({5, core::max_window + 1, 3}).error(),
              core::StateError::window_too_long);
}

// fastk, fastd, bars, next, highs, lows, the %K ring.
TEST(Stochf, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t one = bits(1.0);
    EXPECT_TRUE(core::StochfState::from_checkpoint({{1, 2, 1, 0, one, one, one, 0}}));
    EXPECT_EQ(core::StochfState::from_checkpoint({{1, 2, 1, 0, one, one, one, one}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::StochfState::from_checkpoint({{0, 2, 0, 0, 0, 0}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::StochfState::from_checkpoint({{1, 2, 1, 0, one, one, one}}).error(),
              core::StateError::bad_checkpoint);
}

class StochasticResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints and copies, both
// lines are one run's bits, and a preview of each run writes the same.
template <std::size_t Means>
void resumed(SeriesSource& source, typename core::StochasticState<Means>::Periods p,
             const Bars& bars) {
    const std::size_t n = bars.high.size();
    const Lines batch = core_stochastic<Means>(p, bars);
    for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
        core::StochasticState<Means> state = make_stochastic<Means>(p);
        Lines out{std::vector<double>(n, untouched()), std::vector<double>(n, untouched())};
        Lines previewed = out;
        feed(runs, [&](std::size_t start, std::size_t length) {
            const auto h = input(bars.high, start, length);
            const auto l = input(bars.low, start, length);
            const auto c = input(bars.close, start, length);
            state.preview(h, l, c, output(previewed.first, start, length),
                          output(previewed.second, start, length));
            state.advance(h, l, c, output(out.first, start, length),
                          output(out.second, start, length));
            state = through_checkpoint(*state.copy());
        });
        EXPECT_TRUE(same_bits(batch.first, out.first));
        EXPECT_TRUE(same_bits(batch.second, out.second));
        EXPECT_TRUE(same_bits(batch.first, previewed.first));
        EXPECT_TRUE(same_bits(batch.second, previewed.second));
        EXPECT_EQ(state.bars(), n);
    }
}

TEST_P(StochasticResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x5354);
    for (const std::size_t n : lengths(source)) {
        Bars bars;
        source.bars(n, bars.high, bars.low, bars.close);
        for (const std::uint64_t period : periods(source, n)) {
            if (period == 0 || period > 1000) {
                continue;
            }
            const std::uint64_t mean = 1 + source.below(4);
            SCOPED_TRACE(::testing::Message()
                         << "n " << n << ", period " << period << ", mean " << mean);
            resumed<1>(source, {period, mean}, bars);
            resumed<2>(source, {period, mean, 1 + source.below(4)}, bars);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Stochastic, StochasticResumed, ::testing::ValuesIn(mixes()),
                         case_name<Mix>);

}  // namespace
}  // namespace marundex::test
