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
const double tiny = std::numeric_limits<double>::denorm_min();

struct SmaCase {
    const char* name;
    std::uint64_t period;
    std::vector<double> data;
    std::vector<Expected> expected;
};

class SmaByHand : public ::testing::TestWithParam<SmaCase> {};

TEST_P(SmaByHand, MatchesBitForBit) {
    const SmaCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, core_sma(c.period, c.data)));
}

const std::vector<SmaCase> sma_cases = {
    // The average is the product with the rounded reciprocal: the divisions 7 / 3
    // and 14 / 3 would give 2.3333333333333335 and 4.666666666666667.
    {"WorkedPeriod3", 3, {1.0, 2.0, 4.0, 8.0}, {nan, nan, 2.333333333333333, 4.666666666666666}},
    {"PeriodEqualsLength", 3, {1.0, 2.0, 4.0}, {nan, nan, 2.333333333333333}},
    {"PeriodZero", 0, {1.0, 2.0, 3.0}, {nan, nan, nan}},
    {"PeriodAboveLength", 4, {1.0, 2.0, 3.0}, {nan, nan, nan}},
    {"HugePeriod", std::numeric_limits<std::uint64_t>::max(), {1.0, 2.0}, {nan, nan}},
    {"EmptyPeriodZero", 0, {}, {}},
    {"EmptyPeriodOne", 1, {}, {}},
    // The running sum is carried: 1 + (1e17 - 1) rounds to 1e17, and taking the
    // 1e17 back out leaves 0, not the 1 at that position.
    {"PeriodOneCarriesTheSum", 1, {1.0, 1e17, 1.0}, {1.0, 1e17, 0.0}},
    // A NaN stays in the sum after it has left the window.
    {"NanPoisonsTheRest", 2, {1.0, nan, 3.0, 4.0, 5.0}, {nan, nan, nan, nan, nan}},
    // An infinity gives infinite averages while in the window, NaN once it leaves.
    {"InfinityLeavingTheWindow",
     2,
     {1.0, inf, 3.0, 4.0, 5.0},
     {nan, inf, inf, Expected::any_nan(), Expected::any_nan()}},
    // The sum starts at -0.0, so a window of negative zeros averages to -0.0; the
    // next step adds (-0) - (-0) = +0 and the sign is gone.
    {"NegativeZeroWindow", 2, {-0.0, -0.0, -0.0}, {nan, -0.0, 0.0}},
    {"Subnormals", 2, {tiny, tiny, -tiny}, {nan, tiny, 0.0}},
};

INSTANTIATE_TEST_SUITE_P(Sma, SmaByHand, ::testing::ValuesIn(sma_cases), case_name<SmaCase>);

TEST(Sma, EmptyRunsWithoutStorage) {
    // Length 0 may come with no address at all.
    core::sma(3, {nullptr, 0}, {nullptr, 0});
}

// Small integers with a power-of-two period keep every sum and product exact, so
// each average must equal the exact window mean, computed here in integers.
TEST(Sma, ExactWhereRoundingCannotHappen) {
    std::mt19937_64 rng(0x5a5a);
    std::uniform_int_distribution<int> value(-1000, 1000);
    for (const std::uint64_t period : {1U, 2U, 4U, 8U, 32U, 64U}) {
        std::vector<double> data(150);
        std::vector<std::int64_t> integers(data.size());
        for (std::size_t i = 0; i < data.size(); ++i) {
            integers[i] = value(rng);
            data[i] = static_cast<double>(integers[i]);
        }
        const std::vector<double> out = core_sma(period, data);
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (i + 1 < period) {
                EXPECT_EQ(bits(out[i]), no_value_bits) << "period " << period << " at " << i;
                continue;
            }
            std::int64_t sum = 0;
            for (std::size_t k = i + 1 - period; k <= i; ++k) {
                sum += integers[k];
            }
            const double mean = static_cast<double>(sum) / static_cast<double>(period);
            EXPECT_EQ(out[i], mean) << "period " << period << " at " << i;
        }
    }
}

class SmaAgainstReference : public ::testing::TestWithParam<Mix> {};

TEST_P(SmaAgainstReference, RandomSeries) {
    SeriesSource source(GetParam(), 0x534d41);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            EXPECT_TRUE(same_elements(reference_sma(period, data), core_sma(period, data)))
                << "n " << n << ", period " << period;
        }
    }
}

// Resumed over any cutting of the series, the outputs are the batch kernel's bits;
// a preview of each run writes the same and moves nothing, and a copy taken between
// runs carries on as the original would.
TEST_P(SmaAgainstReference, ResumedInAnyRuns) {
    SeriesSource source(GetParam(), 0x534d4152);
    for (const std::size_t n : lengths(source)) {
        const std::vector<double> data = source.series(n);
        for (const std::uint64_t period : periods(source, n)) {
            auto made = core::SmaState::create(period);
            if (period > core::max_window) {
                EXPECT_EQ(made.error(), core::StateError::window_too_long) << "period " << period;
                continue;
            }
            ASSERT_TRUE(made) << "period " << period;
            const std::vector<double> batch = core_sma(period, data);
            for (const std::vector<std::size_t>& runs : cuttings(source, n)) {
                auto state = made->copy();
                ASSERT_TRUE(state);
                std::vector<double> out(n, untouched());
                std::vector<double> previewed(n, untouched());
                feed(runs, [&](std::size_t start, std::size_t length) {
                    state->preview(input(data, start, length), output(previewed, start, length));
                    state->advance(input(data, start, length), output(out, start, length));
                    state = through_checkpoint(*state).copy();
                    ASSERT_TRUE(state);
                });
                SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period << ", "
                                                  << runs.size() << " runs");
                EXPECT_TRUE(same_bits(batch, out));
                EXPECT_TRUE(same_bits(batch, previewed));
                EXPECT_EQ(state->bars(), n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sma, SmaAgainstReference, ::testing::ValuesIn(mixes()), case_name<Mix>);

// Words that no state writes: another length, a slot out of the window, a window
// not yet full whose next slot is not right after its bars.
TEST(SmaState, RefusedCheckpoints) {
    const std::vector<std::vector<std::uint64_t>> refused = {
        {}, {3, 0, 0, 0, 0, 0}, {3, 5, 0, 3, 0, 0, 0}, {3, 1, 0, 2, 0, 0, 0}, {max_u64, 0, 0, 0}};
    for (const std::vector<std::uint64_t>& words : refused) {
        EXPECT_EQ(core::SmaState::from_checkpoint(words).error(), core::StateError::bad_checkpoint);
    }
    EXPECT_TRUE(core::SmaState::from_checkpoint({{3, 5, 0, 2, 0, 0, 0}}));
}

// The longest window is a bound, not a period that is refused with it.
TEST(SmaState, LongestWindow) {
    EXPECT_TRUE(core::SmaState::create(core::max_window));
    EXPECT_EQ(core::SmaState::create(core::max_window + 1).error(),
              core::StateError::window_too_long);
}

}  // namespace
}  // namespace marundex::test
