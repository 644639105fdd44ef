#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();

core::AroonState make_aroon(std::uint64_t period) {
    auto state = core::AroonState::create(period);
    EXPECT_TRUE(state);
    return std::move(*state);
}

struct Lines {
    std::vector<double> down;
    std::vector<double> up;
};

Lines core_aroon(std::uint64_t period, const std::vector<double>& high,
                 const std::vector<double>& low) {
    Lines out{std::vector<double>(high.size(), untouched()),
              std::vector<double>(high.size(), untouched())};
    make_aroon(period).advance(input(high), input(low), output(out.down), output(out.up));
    return out;
}

// (100 * (period - k)) / period: exactly 100 at a new extreme, where 100 / 11 * 11
// is not, and the quotient rounded once elsewhere.
TEST(Aroon, NewExtremeIsExactly100) {
    std::vector<double> high(14);
    std::vector<double> low(14);
    for (std::size_t i = 0; i < high.size(); ++i) {
        high[i] = static_cast<double>(i);
        low[i] = 100.0 - static_cast<double>(i % 13);
    }
    const Lines got = core_aroon(11, high, low);
    const std::vector<Expected> first(11, nan);
    std::vector<Expected> up = first;
    up.insert(up.end(), {100, 100, 100});
    std::vector<Expected> down = first;
    // Lows fall to bar 12; bar 13's is back at 100, and bar 12's stands 1 bar back.
    down.insert(down.end(), {100, 100, (100.0 * 10) / 11});
    EXPECT_TRUE(same_bits(up, got.up));
    EXPECT_TRUE(same_bits(down, got.down));
}

TEST(Aroon, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t one = bits(1.0);
    // Period 1 keeps windows of two bars.
    EXPECT_TRUE(core::AroonState::from_checkpoint({{1, 5, 1, one, one, one, one}}));
    EXPECT_TRUE(core::AroonState::from_checkpoint({{1, 1, 1, one, 0, one, 0}}));
    const std::vector<std::vector<std::uint64_t>> refused = {
        {1, 1, 1, one, 0, one, one},  // a slot past the bars seen
        {1, 5, 2, one, one, one, one},
        {2, 5, 1, one, one, one, one},  // a window of three in the words of two
        {0, 0, 0, 0, 0},
    };
    for (const std::vector<std::uint64_t>& words : refused) {
        EXPECT_EQ(core::AroonState::from_checkpoint(words).error(),
                  core::StateError::bad_checkpoint);
    }
}

class AroonResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints and copies, the
// outputs are one run's bits, and a preview of each run writes the same and moves
// nothing.
TEST_P(AroonResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x41524f);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> high = source.series(n);
        const std::vector<double> low = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            if (period == 0 || period > core::max_window) {
                continue;
            }
            const Lines batch = core_aroon(period, high, low);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::AroonState state = make_aroon(period);
                Lines out{std::vector<double>(n, untouched()), std::vector<double>(n, untouched())};
                Lines previewed = out;
                feed(runs, [&](std::size_t start, std::size_t length) {
                    state.preview(input(high, start, length), input(low, start, length),
                                  output(previewed.down, start, length),
                                  output(previewed.up, start, length));
                    state.advance(input(high, start, length), input(low, start, length),
                                  output(out.down, start, length), output(out.up, start, length));
                    state = through_checkpoint(*state.copy());
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period);
                EXPECT_TRUE(same_bits(batch.down, out.down));
                EXPECT_TRUE(same_bits(batch.up, out.up));
                EXPECT_TRUE(same_bits(batch.down, previewed.down));
                EXPECT_TRUE(same_bits(batch.up, previewed.up));
                EXPECT_EQ(state.bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Aroon, AroonResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
