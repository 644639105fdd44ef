// The IEEE-754 predicates, maxNum and the true range the kernels stand on, checked
// directly. The sign of a zero true range never reaches an ATR output (its sum
// starts at +0), so maxNum's choice of +0 over -0 can only be seen here. The
// reference's maxNum is held to the same table, since the kernel tests trust it.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "float64_access.hpp"
#include "reference.hpp"
#include "test_support.hpp"
#include "true_range.hpp"

namespace marundex::test {
namespace {

const double inf = std::numeric_limits<double>::infinity();
const double tiny = std::numeric_limits<double>::denorm_min();
const double quiet = no_value();
const double negative_quiet = from_bits(0xfff8'0000'0000'0000);
const double payload = from_bits(0x7ff8'0000'0000'0abc);
const double signalling = from_bits(0x7ff0'0000'0000'0001);

struct MaxNumCase {
    const char* name;
    double a;
    double b;
    Expected expected;
};

const std::vector<MaxNumCase> max_num_cases = {
    {"Greater", 1.0, 2.0, 2.0},
    {"GreaterFirst", 2.0, 1.0, 2.0},
    {"Negatives", -1.0, -2.0, -1.0},
    {"Infinities", -inf, inf, inf},
    {"NanFirstDropsOut", quiet, 3.0, 3.0},
    {"NanSecondDropsOut", 3.0, quiet, 3.0},
    {"NanAgainstMinusInfinity", quiet, -inf, -inf},
    {"NegativeNanDropsOut", negative_quiet, -5.0, -5.0},
    {"PayloadNanDropsOut", 4.0, payload, 4.0},
    {"SignallingNanDropsOut", signalling, 0.25, 0.25},
    {"NanAgainstNegativeZero", quiet, -0.0, -0.0},
    {"PositiveZeroOverNegative", 0.0, -0.0, 0.0},
    {"NegativeZeroUnderPositive", -0.0, 0.0, 0.0},
    {"BothNegativeZero", -0.0, -0.0, -0.0},
    {"BothPositiveZero", 0.0, 0.0, 0.0},
    {"SubnormalOverNegativeZero", -0.0, tiny, tiny},
    {"NegativeSubnormalUnderZero", -tiny, -0.0, -0.0},
    {"BothNan", quiet, payload, Expected::any_nan()},
    {"SameNanTwice", quiet, quiet, quiet},
};

class MaxNum : public ::testing::TestWithParam<MaxNumCase> {};

TEST_P(MaxNum, Kernels) {
    const MaxNumCase& c = GetParam();
    EXPECT_TRUE(same_bits({c.expected}, std::vector<double>{core::detail::max_num(c.a, c.b)}));
}

TEST_P(MaxNum, Reference) {
    const MaxNumCase& c = GetParam();
    const reference::Value r = reference::max_num({c.a}, {c.b});
    EXPECT_TRUE(same_bits({c.expected}, std::vector<double>{r.v}));
    EXPECT_EQ(r.open_payload, c.expected.open);
}

INSTANTIATE_TEST_SUITE_P(Float64, MaxNum, ::testing::ValuesIn(max_num_cases),
                         case_name<MaxNumCase>);

// The true range's selection skips the general maxNum where its operands cannot
// need it; on every combination of awkward values it must give the definition's
// bits: high below low, a -0 spread, NaN or infinite candidates, all three NaN.
TEST(Float64, TrueRangeIsTheDefinition) {
    const double huge = std::numeric_limits<double>::max();
    const double normal = std::numeric_limits<double>::min();
    const std::vector<double> values = {quiet, negative_quiet, payload, signalling, inf,   -inf,
                                        0.0,   -0.0,           tiny,    -tiny,      1.0,   -1.0,
                                        2.5,   -7.0,           huge,    -huge,      normal};
    std::vector<reference::Value> expected;
    std::vector<double> got;
    for (const double high : values) {
        for (const double low : values) {
            for (const double close : values) {
                const reference::Value h{high};
                const reference::Value l{low};
                const reference::Value c{close};
                expected.push_back(
                    reference::max_num(reference::max_num(h - l, reference::absolute(h - c)),
                                       reference::absolute(l - c)));
                got.push_back(core::detail::true_range(high, low, close));
            }
        }
    }
    EXPECT_TRUE(same_elements(expected, got));
}

struct Classification {
    const char* name;
    double x;
    bool finite;
    bool nan;
};

const std::vector<Classification> classifications = {
    {"Zero", 0.0, true, false},
    {"NegativeZero", -0.0, true, false},
    {"One", 1.0, true, false},
    {"Subnormal", tiny, true, false},
    {"NegativeSubnormal", -tiny, true, false},
    {"Largest", std::numeric_limits<double>::max(), true, false},
    {"NegativeLargest", -std::numeric_limits<double>::max(), true, false},
    {"Infinity", inf, false, false},
    {"NegativeInfinity", -inf, false, false},
    {"QuietNan", quiet, false, true},
    {"NegativeQuietNan", negative_quiet, false, true},
    {"PayloadNan", payload, false, true},
    {"SignallingNan", signalling, false, true},
    {"LargestPayloadNan", from_bits(0xffff'ffff'ffff'ffff), false, true},
};

class Classify : public ::testing::TestWithParam<Classification> {};

TEST_P(Classify, FiniteAndNan) {
    const Classification& c = GetParam();
    EXPECT_EQ(core::detail::is_finite(c.x), c.finite);
    EXPECT_EQ(core::detail::is_nan(c.x), c.nan);
    EXPECT_EQ(reference::is_finite({c.x}), c.finite);
    EXPECT_EQ(reference::is_nan({c.x}), c.nan);
}

INSTANTIATE_TEST_SUITE_P(Float64, Classify, ::testing::ValuesIn(classifications),
                         case_name<Classification>);

// The reference's conversion of a period is built differently from a plain cast;
// both must give the nearest double, ties to even.
TEST(Float64, NearestDoubleOfPeriods) {
    const struct {
        std::uint64_t period;
        double nearest;
    } cases[] = {
        {0, 0.0},
        {1, 1.0},
        {26, 26.0},
        {(std::uint64_t{1} << 53) + 1, 9007199254740992.0},        // tie, to even below
        {(std::uint64_t{1} << 53) + 3, 9007199254740996.0},        // tie, to even above
        {(std::uint64_t{1} << 53) + 5, 9007199254740996.0},        // tie, to even below
        {(std::uint64_t{1} << 63) + 1025, 9223372036854777856.0},  // above the tie
        {std::numeric_limits<std::uint64_t>::max(), 18446744073709551616.0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bits(reference::nearest_double(c.period).v), bits(c.nearest)) << c.period;
        EXPECT_EQ(bits(core::detail::period_as_double(c.period)), bits(c.nearest)) << c.period;
    }
}

}  // namespace
}  // namespace marundex::test
