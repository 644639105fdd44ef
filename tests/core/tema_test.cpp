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

std::vector<double> core_tema(std::uint64_t period, const std::vector<double>& data) {
    std::vector<double> out(data.size(), untouched());
    core::TemaState(period).advance(input(data), output(out));
    return out;
}

struct TemaCase {
    const char* name;
    std::uint64_t period;
    std::vector<double> data;
    std::vector<Expected> expected;
};

class TemaByHand : public ::testing::TestWithParam<TemaCase> {};

TEST_P(TemaByHand, MatchesBitForBit) {
    const TemaCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_tema(c.period, c.data)));
}

// Period 3 weighs by halves, exactly: e1 is 4, 6, ... from bar 2; e2 6, 8, 10 from
// bar 4; e3 is seeded at bar 6 by their mean, so 3 * (12 - 10) + 8.
const std::vector<TemaCase> tema_cases = {
    {"WorkedPeriod3", 3, {2, 4, 6, 8, 10, 12, 14}, {nan, nan, nan, nan, nan, nan, 14}},
    // All three skip the NaN: e1 = 15, e2 = 12.5, e3 = 10.25.
    {"NanAfterSeeds",
     3,
     {2, 4, 6, 8, 10, 12, 14, nan, 18},
     {nan, nan, nan, nan, nan, nan, 14, nan, 17.75}},
    // e1 and e2 skip it; e3, not yet seeded, starts afresh at 8, 10, 12: 3 * (14 - 12) + 10.
    {"InfinityBeforeTheLastSeed",
     3,
     {2, 4, 6, 8, 10, inf, 12, 14, 16},
     {nan, nan, nan, nan, nan, nan, nan, nan, 16}},
    // Period 1 is the input itself, the largest double too.
    {"Period1", 1, {1e308, -3, 0.5}, {1e308, -3, 0.5}},
    {"HugePeriod", max_u64, {1, 2, 3}, {nan, nan, nan}},
    {"PeriodZero", 0, {1, 2, 3}, {nan, nan, nan}},
    {"Empty", 2, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Tema, TemaByHand, ::testing::ValuesIn(tema_cases), case_name<TemaCase>);

TEST(Tema, CheckpointsWithFieldsNoStateHasAreRefused) {
    const std::uint64_t nan_bits = bits(nan);
    const std::uint64_t zero = bits(-0.0);
    // After 2, 4, 6, 8, 10: e1 and e2 seeded, e3 one value into its run.
    const std::vector<std::uint64_t> words = {3,          5,         3, bits(12.0), bits(8.0), 3,
                                              bits(18.0), bits(6.0), 1, bits(6.0),  nan_bits};
    EXPECT_TRUE(core::TemaState::from_checkpoint(words));
    // e3 cannot have taken a value before e2 has one.
    std::vector<std::uint64_t> forged = words;
    forged[5] = 2;
    forged[7] = nan_bits;
    EXPECT_EQ(core::TemaState::from_checkpoint(forged).error(), core::StateError::bad_checkpoint);
    // Nor can an average not yet seeded have one.
    forged = words;
    forged[10] = bits(6.0);
    EXPECT_EQ(core::TemaState::from_checkpoint(forged).error(), core::StateError::bad_checkpoint);
    forged = words;
    forged[8] = 0;
    forged[9] = zero;
    EXPECT_TRUE(core::TemaState::from_checkpoint(forged));
    forged.pop_back();
    EXPECT_EQ(core::TemaState::from_checkpoint(forged).error(), core::StateError::bad_checkpoint);
}

class TemaResumed : public ::testing::TestWithParam<Mix> {};

// Resumed over any cutting of the series, through checkpoints, the outputs are one
// run's bits, and a preview of each run writes the same and moves nothing.
TEST_P(TemaResumed, InAnyRuns) {
    SeriesSource source(GetParam(), 0x7e3a);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            const std::vector<double> batch = core_tema(period, data);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::TemaState state(period);
                std::vector<double> out(n, untouched());
                std::vector<double> previewed(n, untouched());
                feed(runs, [&](std::size_t start, std::size_t length) {
                    state.preview(input(data, start, length), output(previewed, start, length));
                    state.advance(input(data, start, length), output(out, start, length));
                    state = through_checkpoint(state);
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period);
                EXPECT_TRUE(same_bits(batch, out));
                EXPECT_TRUE(same_bits(batch, previewed));
                EXPECT_EQ(state.bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tema, TemaResumed, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
