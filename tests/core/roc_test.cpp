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

std::vector<double> core_roc(std::uint64_t period, const std::vector<double>& data) {
    std::vector<double> out(data.size(), untouched());
    auto state = core::RocState::create(period);
    EXPECT_TRUE(state);
    state->advance(input(data), output(out));
    return out;
}

struct RocCase {
    const char* name;
    std::uint64_t period;
    std::vector<double> data;
    std::vector<Expected> expected;
};

class RocByHand : public ::testing::TestWithParam<RocCase> {};

TEST_P(RocByHand, MatchesBitForBit) {
    const RocCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_roc(c.period, c.data)));
}

const std::vector<RocCase> roc_cases = {
    // ((6 / 4) - 1) * 100 and ((1 / 8) - 1) * 100; (1 - 8) / 8 * 100 would be the
    // same here, but not on most inputs.
    {"WorkedPeriod2", 2, {4, 8, 6, 1}, {nan, nan, 50, -87.5}},
    // A zero a period back gives 0, as TA-Lib's, whichever its sign.
    {"ZeroBack", 1, {0, 5, -0.0, -3}, {nan, 0, -100, 0}},
    // A bad input spoils its own bar and the one `period` after it; TA-Lib's give
    // -100 after an infinity.
    {"NanAndInfinities", 1, {1, inf, 2, nan, 4}, {nan, nan, nan, nan, nan}},
    {"BadInputs", 2, {1, 2, inf, 4, 1, 8}, {nan, nan, nan, 100, nan, 100}},
    {"PeriodZero", 0, {1, 2, 3}, {nan, nan, nan}},
    {"Empty", 2, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Roc, RocByHand, ::testing::ValuesIn(roc_cases), case_name<RocCase>);

class RocResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints and copies, the
// outputs are one run's bits, and a preview of each run writes the same and moves
// nothing. MOM's tests cover the window's checkpoints, which ROC's share.
TEST_P(RocResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x524f43);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            if (period > core::max_window) {
                continue;
            }
            const std::vector<double> batch = core_roc(period, data);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                auto state = core::RocState::create(period);
                ASSERT_TRUE(state);
                std::vector<double> out(n, untouched());
                std::vector<double> previewed(n, untouched());
                feed(runs, [&](std::size_t start, std::size_t length) {
                    state->preview(input(data, start, length), output(previewed, start, length));
                    state->advance(input(data, start, length), output(out, start, length));
                    state = through_checkpoint(*state).copy();
                    ASSERT_TRUE(state);
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period);
                EXPECT_TRUE(same_bits(batch, out));
                EXPECT_TRUE(same_bits(batch, previewed));
                EXPECT_EQ(state->bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Roc, RocResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
