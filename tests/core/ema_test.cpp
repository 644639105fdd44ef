#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "marundex/core.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

const double nan = no_value();
const double inf = std::numeric_limits<double>::infinity();

struct EmaCase {
    const char* name;
    std::uint64_t period;
    std::vector<double> data;
    std::vector<Expected> expected;
};

class EmaByHand : public ::testing::TestWithParam<EmaCase> {};

TEST_P(EmaByHand, MatchesBitForBit) {
    const EmaCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_ema(c.period, c.data)));
}

const std::vector<EmaCase> ema_cases = {
    // The seed is the true division 7 / 3, then alpha = 0.5: 0.5 * seed + 0.5 * 8.
    {"WorkedPeriod3", 3, {1.0, 2.0, 4.0, 8.0}, {nan, nan, 2.3333333333333335, 5.166666666666667}},
    {"PeriodEqualsLength", 3, {1.0, 2.0, 4.0}, {nan, nan, 2.3333333333333335}},
    {"PeriodEqualsLengthWithInfinity", 3, {1.0, inf, 2.0}, {nan, nan, nan}},
    {"PeriodZero", 0, {1.0, 2.0, 3.0}, {nan, nan, nan}},
    {"PeriodAboveLength", 4, {1.0, 2.0, 3.0}, {nan, nan, nan}},
    {"HugePeriod", std::numeric_limits<std::uint64_t>::max(), {1.0, 2.0}, {nan, nan}},
    {"EmptyPeriodZero", 0, {}, {}},
    {"EmptyPeriodOne", 1, {}, {}},
    // Alpha 1, beta 0: the first finite value seeds, each later finite value is
    // 0 * ema + 1 * x, and non-finite inputs are NaN at their own position.
    {"PeriodOne", 1, {nan, 2.0, inf, 5.0, -inf, 7.5}, {nan, 2.0, nan, 5.0, nan, 7.5}},
    // 0 * 5 is +0, and +0 + (-0) is +0: a negative zero after a positive average
    // comes out positive...
    {"PeriodOneNegativeZeroAfterPositive", 1, {5.0, -0.0}, {5.0, 0.0}},
    // ...while after a negative average 0 * (-3) is -0 and the sign survives.
    {"PeriodOneNegativeZeroAfterNegative", 1, {-3.0, -0.0}, {-3.0, -0.0}},
    {"NegativeZeroWindow", 3, {-0.0, -0.0, -0.0}, {nan, nan, -0.0}},
    // The windows [1, NaN] and [NaN, 2] hold non-finite values; the seed is the
    // mean of [2, 4], the infinity is NaN in place, and 7 moves the average on:
    // (1 - 2/3) * 3 + (2/3) * 7.
    {"SeedAfterNonFinite",
     2,
     {1.0, nan, 2.0, 4.0, inf, 7.0},
     {nan, nan, nan, 3.0, nan, 5.666666666666666}},
    {"OnlyTheLastWindowIsFinite", 2, {nan, 1.0, 2.0}, {nan, nan, 1.5}},
    {"NoFiniteWindow", 2, {1.0, nan, 2.0, inf, 3.0}, {nan, nan, nan, nan, nan}},
    // Finite inputs whose sum overflows: the seed is infinite, and stays so.
    {"SeedOverflows", 2, {1.7e308, 1.7e308, 1.0}, {nan, inf, inf}},
};

INSTANTIATE_TEST_SUITE_P(Ema, EmaByHand, ::testing::ValuesIn(ema_cases), case_name<EmaCase>);

TEST(Ema, EmptyRunsWithoutStorage) {
    core::ema(3, {nullptr, 0}, {nullptr, 0});
}

// A non-finite value after the seed changes nothing but its own position: the
// series with it removed gives the same averages around it.
TEST(Ema, NonFiniteAfterTheSeedIsAGap) {
    const Mix plain{"Plain", 0xe3a, 0.0, 0.0, 0.0, 0.0, 0.0};
    SeriesSource source(plain, 1);
    const std::vector<double> gaps = {nan, -nan, inf, -inf, from_bits(0x7ff0'0000'0000'0001)};
    for (int round = 0; round < 200; ++round) {
        const std::size_t n = 2 + source.below(120);
        const std::uint64_t period = 1 + source.below(n - 1);
        const std::vector<double> clean = source.series(n);
        const std::vector<double> expected_clean = core_ema(period, clean);

        // Insert at a position after the seed, which for a finite series is at
        // period - 1.
        const std::size_t at = period + source.below(n - period + 1);
        std::vector<double> gapped = clean;
        gapped.insert(gapped.begin() + static_cast<std::ptrdiff_t>(at), gaps[source.below(5)]);

        std::vector<Expected> expected(expected_clean.begin(), expected_clean.end());
        expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(at), Expected(nan));
        EXPECT_TRUE(same_bits(expected, core_ema(period, gapped)))
            << "n " << n << ", period " << period << ", gap at " << at;
    }
}

class EmaAgainstReference : public ::testing::TestWithParam<Mix> {};

TEST_P(EmaAgainstReference, RandomSeries) {
    SeriesSource source(GetParam(), 0x454d41);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            EXPECT_TRUE(same_elements(reference_ema(period, data), core_ema(period, data)))
                << "n " << n << ", period " << period;
        }
    }
}

// Resumed over any cutting of the series, the outputs are the batch kernel's bits,
// and a preview of each run writes the same and moves nothing.
TEST_P(EmaAgainstReference, ResumedInAnyRuns) {
    SeriesSource source(GetParam(), 0x454d4152);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            const std::vector<double> batch = core_ema(period, data);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                core::EmaState state(period);
                std::vector<double> out(n, untouched());
                std::vector<double> previewed(n, untouched());
                feed(runs, [&](std::size_t start, std::size_t length) {
                    state.preview(input(data, start, length), output(previewed, start, length));
                    state.advance(input(data, start, length), output(out, start, length));
                    state = through_checkpoint(state);
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period << ", "
                                                  << runs.size() << " runs");
                EXPECT_TRUE(same_bits(batch, out));
                EXPECT_TRUE(same_bits(batch, previewed));
                EXPECT_EQ(state.bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ema, EmaAgainstReference, ::testing::ValuesIn(mixes()), case_name<Mix>);

}  // namespace
}  // namespace marundex::test
