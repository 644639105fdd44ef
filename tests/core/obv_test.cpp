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

std::vector<double> core_obv(const std::vector<double>& close, const std::vector<double>& volume) {
    std::vector<double> out(close.size(), untouched());
    core::ObvState().advance(input(close), input(volume), output(out));
    return out;
}

struct ObvCase {
    const char* name;
    std::vector<double> close;
    std::vector<double> volume;
    std::vector<Expected> expected;
};

class ObvByHand : public ::testing::TestWithParam<ObvCase> {};

TEST_P(ObvByHand, MatchesBitForBit) {
    const ObvCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_obv(c.close, c.volume)));
}

const std::vector<ObvCase> obv_cases = {
    // Up, level, down, up: the first volume starts the total.
    {"Worked", {10, 11, 11, 10, 12}, {100, 200, 300, 400, 500}, {100, 300, 300, -100, 400}},
    // Left out of the total; its close, below 12 after it, still counts.
    {"NanVolume", {10, 11, 12, 11, 13}, {1, 2, nan, 4, 8}, {1, 3, nan, -1, 7}},
    // The next close is held against the last finite one, 11.
    {"InfiniteClose", {10, 11, inf, 10, 12}, {1, 2, 4, 8, 16}, {1, 3, nan, -5, 11}},
    // The first good bar starts the total, whatever its direction.
    {"BadFirstBar", {5, 6, 7}, {-inf, 2, 4}, {nan, 2, 6}},
    // A total that overflows stays at the infinity, as the formula gives.
    {"Overflow", {1, 2, 3, 2}, {1e308, 1e308, 1e308, 1}, {1e308, inf, inf, inf}},
    {"Empty", {}, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Obv, ObvByHand, ::testing::ValuesIn(obv_cases), case_name<ObvCase>);

TEST(Obv, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t nan_bits = bits(nan);
    EXPECT_TRUE(core::ObvState::from_checkpoint({{3, bits(2.0), bits(-5.0)}}));
    // A bad volume after a finite close: no total yet.
    EXPECT_TRUE(core::ObvState::from_checkpoint({{1, bits(2.0), nan_bits}}));
    // A total needs the finite close of its first bar.
    EXPECT_EQ(core::ObvState::from_checkpoint({{3, nan_bits, bits(-5.0)}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::ObvState::from_checkpoint({{3, bits(inf), bits(-5.0)}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::ObvState::from_checkpoint({{0, bits(2.0), nan_bits}}).error(),
              core::StateError::bad_checkpoint);
    EXPECT_EQ(core::ObvState::from_checkpoint({{3, bits(2.0)}}).error(),
              core::StateError::bad_checkpoint);
}

class ObvResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints, the outputs are one
// run's bits, and a preview of each run writes the same and moves nothing.
TEST_P(ObvResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x0b5);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> close = source.series(n);
        const std::vector<double> volume = source.series(n);
        const std::vector<double> batch = core_obv(close, volume);
        for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
            core::ObvState state;
            std::vector<double> out(n, untouched());
            std::vector<double> previewed(n, untouched());
            feed(runs, [&](std::size_t start, std::size_t length) {
                state.preview(input(close, start, length), input(volume, start, length),
                              output(previewed, start, length));
                state.advance(input(close, start, length), input(volume, start, length),
                              output(out, start, length));
                state = through_checkpoint(state);
            });
            SCOPED_TRACE(::testing::Message() << "n " << n);
            EXPECT_TRUE(same_bits(batch, out));
            EXPECT_TRUE(same_bits(batch, previewed));
            EXPECT_EQ(state.bars(), n);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Obv, ObvResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
