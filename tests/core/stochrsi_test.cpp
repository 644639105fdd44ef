#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

core::StochRsiState make_stochrsi(const core::StochRsiState::Periods& p) {
    auto state = core::StochRsiState::create(p[0], p[1], p[2]);
    EXPECT_TRUE(state);
    return std::move(*state);
}

struct Lines {
    std::vector<double> fastk;
    std::vector<double> fastd;
};

Lines core_stochrsi(const core::StochRsiState::Periods& p, const std::vector<double>& data) {
    Lines out{std::vector<double>(data.size(), untouched()),
              std::vector<double>(data.size(), untouched())};
    make_stochrsi(p).advance(input(data), output(out.fastk), output(out.fastd));
    return out;
}

TEST(StochRsi, CheckpointsWithFieldsNoStateHasAreRefused) {
    // RSI(2) after one bar, then %K over 1 and %D over 1: the extremes' slot and its
    // high and low, and one %K.
    const std::uint64_t nan_bits = 0x7ff8'0000'0000'0000;
    const std::uint64_t one = bits(1.0);
    const std::vector<std::uint64_t> words = {2, 1, 0, one, 0, 0, 1, 1, 0, nan_bits, nan_bits, 0};
    EXPECT_TRUE(core::StochRsiState::from_checkpoint(words));
    std::vector<std::uint64_t> zero_fastk = words;
    zero_fastk[6] = 0;
    std::vector<std::uint64_t> rsi_run = words;
    rsi_run[2] = 3;  // more finite changes than bars
    std::vector<std::uint64_t> bad_slot = words;
    bad_slot[8] = 1;
    const std::vector<std::uint64_t> shorter(words.begin(), words.end() - 1);
    for (const std::vector<std::uint64_t>& forged : {zero_fastk, rsi_run, bad_slot, shorter}) {
        EXPECT_EQ(core::StochRsiState::from_checkpoint(forged).error(),
                  core::StateError::bad_checkpoint);
    }
    EXPECT_EQ(core::StochRsiState::create(2, 0, 1).error(), core::StateError::zero_period);
}

class StochRsiResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints and copies, the
// outputs are one run's bits, and a preview of each run writes the same and moves
// nothing.
TEST_P(StochRsiResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x535253);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            if (period < 2 || period > core::max_window) {
                continue;
            }
            const core::StochRsiState::Periods p{period, 1 + period % 5, 1 + period % 3};
            const Lines batch = core_stochrsi(p, data);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::StochRsiState state = make_stochrsi(p);
                Lines out{std::vector<double>(n, untouched()), std::vector<double>(n, untouched())};
                Lines previewed = out;
                feed(runs, [&](std::size_t start, std::size_t length) {
                    state.preview(input(data, start, length),
                                  output(previewed.fastk, start, length),
                                  output(previewed.fastd, start, length));
                    state.advance(input(data, start, length), output(out.fastk, start, length),
                                  output(out.fastd, start, length));
                    state = through_checkpoint(*state.copy());
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period);
                EXPECT_TRUE(same_bits(batch.fastk, out.fastk));
                EXPECT_TRUE(same_bits(batch.fastd, out.fastd));
                EXPECT_TRUE(same_bits(batch.fastk, previewed.fastk));
                EXPECT_TRUE(same_bits(batch.fastd, previewed.fastd));
                EXPECT_EQ(state.bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(StochRsi, StochRsiResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
