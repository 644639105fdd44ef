#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();
const double inf = std::numeric_limits<double>::infinity();

core::DonchianState make_donchian(std::uint64_t period) {
    auto state = core::DonchianState::create(period);
    EXPECT_TRUE(state);
    return std::move(*state);
}

struct Channels {
    std::vector<double> upper;
    std::vector<double> middle;
    std::vector<double> lower;
};

Channels sized(std::size_t n) {
    return {std::vector<double>(n, untouched()), std::vector<double>(n, untouched()),
            std::vector<double>(n, untouched())};
}

Channels core_donchian(std::uint64_t period, const std::vector<double>& high,
                       const std::vector<double>& low) {
    Channels out = sized(high.size());
    make_donchian(period).advance(input(high), input(low), output(out.upper), output(out.middle),
                                  output(out.lower));
    return out;
}

// Of +0 and -0 the later stands; a sum that overflows is the formula's infinity.
TEST(Donchian, SignedZerosAndOverflow) {
    const double big = std::numeric_limits<double>::max();
    const Channels got = core_donchian(2, {0.0, -0.0, big, big}, {-0.0, 0.0, big, big});
    EXPECT_TRUE(same_bits({nan, -0.0, big, big}, got.upper));
    EXPECT_TRUE(same_bits({nan, 0.0, 0.0, big}, got.lower));
    EXPECT_TRUE(same_bits({nan, 0.0, big / 2, inf}, got.middle));
}

TEST(Donchian, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t one = bits(1.0);
    EXPECT_TRUE(core::DonchianState::from_checkpoint({{2, 5, 1, one, one, one, one}}));
    EXPECT_TRUE(core::DonchianState::from_checkpoint({{2, 1, 1, one, 0, one, 0}}));
    const std::vector<std::vector<std::uint64_t>> refused = {
        {2, 1, 1, one, 0, one, one},  // a slot past the bars seen
        {2, 5, 2, one, one, one, one},
        {2, 5, 1, one, one, one},
        {0, 0, 0},
    };
    for (const std::vector<std::uint64_t>& words : refused) {
        EXPECT_EQ(core::DonchianState::from_checkpoint(words).error(),
                  core::StateError::bad_checkpoint);
    }
}

class DonchianResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints and copies, the
// outputs are one run's bits, and a preview of each run writes the same and moves
// nothing.
TEST_P(DonchianResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x444f4e);
    for (const std::size_t n : lengths(source)) {
        // Both sides with the series' bad values, at bars of their own.
        const std::vector<double> high = source.series(n);
        const std::vector<double> low = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            if (period == 0 || period > core::max_window) {
                continue;
            }
            const Channels batch = core_donchian(period, high, low);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::DonchianState state = make_donchian(period);
                Channels out = sized(n);
                Channels previewed = sized(n);
                feed(runs, [&](std::size_t start, std::size_t length) {
                    state.preview(input(high, start, length), input(low, start, length),
                                  output(previewed.upper, start, length),
                                  output(previewed.middle, start, length),
                                  output(previewed.lower, start, length));
                    state.advance(input(high, start, length), input(low, start, length),
                                  output(out.upper, start, length),
                                  output(out.middle, start, length),
                                  output(out.lower, start, length));
                    state = through_checkpoint(*state.copy());
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period);
                for (const auto line : {&Channels::upper, &Channels::middle, &Channels::lower}) {
                    EXPECT_TRUE(same_bits(batch.*line, out.*line));
                    EXPECT_TRUE(same_bits(batch.*line, previewed.*line));
                }
                EXPECT_EQ(state.bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Donchian, DonchianResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
