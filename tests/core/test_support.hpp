// What the core tests share: bit-level comparison against the reference, random
// series with the awkward values of IEEE-754 mixed in, and calls of the kernels
// on plain vectors.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "marundex/core.hpp"
#include "reference.hpp"

namespace marundex::test {

using reference::no_value_bits;

inline constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

// Written into every output before a kernel runs, so that a position the kernel
// should have written and did not stands out. No kernel computes it.
inline constexpr std::uint64_t untouched_bits = 0x7ff4'dead'beef'cafe;

inline std::uint64_t bits(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

inline double from_bits(std::uint64_t b) {
    return std::bit_cast<double>(b);
}

inline double no_value() {
    return from_bits(no_value_bits);
}

inline double untouched() {
    return from_bits(untouched_bits);
}

inline std::string describe(double x) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "0x%016llx (%.17g)",
                  static_cast<unsigned long long>(bits(x)), x);
    return text.data();
}

// Element by element: the same bits, or, where the reference leaves a NaN's
// payload open, any NaN.
inline ::testing::AssertionResult same_elements(std::span<const reference::Value> expected,
                                                std::span<const double> actual) {
    if (expected.size() != actual.size()) {
        return ::testing::AssertionFailure()
               << "lengths differ: expected " << expected.size() << ", got " << actual.size();
    }
    int reported = 0;
    auto failure = ::testing::AssertionFailure();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const reference::Value e = expected[i];
        const bool ok = e.open_payload ? std::isnan(actual[i]) : bits(e.v) == bits(actual[i]);
        if (!ok) {
            if (reported < 8) {
                failure << "\n  [" << i << "] expected "
                        << (e.open_payload ? "any NaN" : describe(e.v)) << ", got "
                        << describe(actual[i]);
            }
            ++reported;
        }
    }
    if (reported == 0) {
        return ::testing::AssertionSuccess();
    }
    return failure << "\n  " << reported << " of " << expected.size() << " elements differ";
}

// One element of a table written by hand: exact bits, or any NaN where the
// arithmetic makes a NaN out of infinities (its sign and payload are the machine's).
struct Expected {
    // Implicit, so that tables can list plain literals.
    Expected(double x) : value(x) {}

    static Expected any_nan() {
        Expected e(no_value());
        e.open = true;
        return e;
    }

    double value;
    bool open = false;
};

inline ::testing::AssertionResult same_bits(const std::vector<Expected>& expected,
                                            std::span<const double> actual) {
    std::vector<reference::Value> values;
    values.reserve(expected.size());
    for (const Expected& e : expected) {
        values.push_back({e.value, e.open});
    }
    return same_elements(values, actual);
}

// Exact bits throughout, for results of the kernels themselves.
inline ::testing::AssertionResult same_bits(std::span<const double> expected,
                                            std::span<const double> actual) {
    return same_bits(std::vector<Expected>(expected.begin(), expected.end()), actual);
}

// ---------------------------------------------------------------------------
// Random series.

// How often each kind of awkward value replaces an ordinary one.
struct Mix {
    const char* name;
    std::uint64_t seed;
    double nan;
    double infinity;
    double huge;
    double tiny;
    double zero;
};

// Names the instances of a parameterized test after the `name` of their case.
template <class Case>
std::string case_name(const ::testing::TestParamInfo<Case>& instance) {
    return instance.param.name;
}

inline const std::vector<Mix>& mixes() {
    static const std::vector<Mix> table = {
        {"Ordinary", 0x1001, 0.0, 0.0, 0.0, 0.0, 0.0},
        {"SparseOddities", 0x1002, 0.01, 0.01, 0.01, 0.01, 0.01},
        {"RareNan", 0x1003, 0.03, 0.0, 0.0, 0.0, 0.0},
        {"MostlyNan", 0x1004, 0.6, 0.0, 0.0, 0.0, 0.05},
        {"Infinities", 0x1005, 0.0, 0.08, 0.0, 0.0, 0.0},
        {"Magnitudes", 0x1006, 0.0, 0.0, 0.2, 0.2, 0.0},
        {"SignedZeros", 0x1007, 0.0, 0.0, 0.0, 0.05, 0.6},
        {"DenseOddities", 0x1008, 0.1, 0.1, 0.1, 0.1, 0.1},
        {"Chaos", 0x1009, 0.25, 0.25, 0.15, 0.15, 0.15},
    };
    return table;
}

class SeriesSource {
  public:
    SeriesSource(const Mix& mix, std::uint64_t salt) : mix_(mix), rng_(mix.seed ^ salt) {}

    std::mt19937_64& rng() { return rng_; }

    std::size_t below(std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng_);
    }

    // A price-like random walk with awkward values mixed in.
    std::vector<double> series(std::size_t n) {
        std::vector<double> out(n);
        double price = 100.0;
        for (double& x : out) {
            price += std::normal_distribution<double>(0.0, 1.0)(rng_);
            x = maybe_awkward(price);
        }
        return out;
    }

    // Bars around a random walk: high above low as a rule, now and then the other
    // way round, with awkward values mixed into each of the three series.
    void bars(std::size_t n, std::vector<double>& high, std::vector<double>& low,
              std::vector<double>& close) {
        high.resize(n);
        low.resize(n);
        close.resize(n);
        double price = 100.0;
        for (std::size_t i = 0; i < n; ++i) {
            price += std::normal_distribution<double>(0.0, 1.0)(rng_);
            const double up = std::fabs(std::normal_distribution<double>(0.0, 0.5)(rng_));
            const double down = std::fabs(std::normal_distribution<double>(0.0, 0.5)(rng_));
            const bool inverted = below(20) == 0;
            high[i] = maybe_awkward(inverted ? price - down : price + up);
            low[i] = maybe_awkward(inverted ? price + up : price - down);
            close[i] = maybe_awkward(price);
        }
    }

    // One awkward value in place of `ordinary`, or `ordinary` itself.
    double maybe_awkward(double ordinary) {
        double u = unit();
        if ((u -= mix_.nan) < 0.0) {
            return pick({no_value(), from_bits(0xfff8'0000'0000'0000),
                         from_bits(0x7ff8'0000'0000'1234), from_bits(0xfff8'0000'0000'0042),
                         from_bits(0x7ff0'0000'0000'0001)});
        }
        if ((u -= mix_.infinity) < 0.0) {
            return pick({inf(), -inf()});
        }
        if ((u -= mix_.huge) < 0.0) {
            return pick({1e300, -1e300, 1.7e308, -1.7e308, 3e307});
        }
        if ((u -= mix_.tiny) < 0.0) {
            const double subnormal =
                std::numeric_limits<double>::denorm_min() * static_cast<double>(1 + below(1000));
            return pick(
                {1e-300, -1e-300, subnormal, -subnormal, std::numeric_limits<double>::min()});
        }
        if ((u -= mix_.zero) < 0.0) {
            return pick({0.0, -0.0});
        }
        return ordinary;
    }

  private:
    static double inf() { return std::numeric_limits<double>::infinity(); }

    double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_); }

    double pick(std::initializer_list<double> choices) {
        return *(choices.begin() + static_cast<std::ptrdiff_t>(below(choices.size())));
    }

    Mix mix_;
    std::mt19937_64 rng_;
};

// Lengths from 0 to about 200: every short one, then random longer ones.
inline std::vector<std::size_t> lengths(SeriesSource& source) {
    std::vector<std::size_t> out;
    for (std::size_t n = 0; n <= 24; ++n) {
        out.push_back(n);
    }
    for (int k = 0; k < 16; ++k) {
        out.push_back(25 + source.below(176));
    }
    return out;
}

// The periods worth trying over a series of length n: the boundaries around n,
// the degenerate ones, huge ones and a few random ones. n - 1 wraps for n = 0,
// which is just another huge period.
inline std::vector<std::uint64_t> periods(SeriesSource& source, std::size_t n) {
    std::vector<std::uint64_t> out = {0, 1, 2, n - 1, n, n + 1, max_u64, std::uint64_t{1} << 63};
    for (int k = 0; k < 3; ++k) {
        out.push_back(1 + source.below(n + 1));
    }
    return out;
}

// Ways of cutting a series of n bars into runs for a resumable kernel: the whole
// series at once, bar by bar, empty runs around it, and random runs, short and
// long, with empty ones among them.
inline std::vector<std::vector<std::size_t>> cuttings(SeriesSource& source, std::size_t n) {
    std::vector<std::vector<std::size_t>> out = {{n}, std::vector<std::size_t>(n, 1), {0, n, 0}};
    for (const std::size_t longest : {std::size_t{3}, std::size_t{40}}) {
        std::vector<std::size_t> runs;
        for (std::size_t left = n; left > 0;) {
            const std::size_t run = source.below(std::min(left, longest) + 1);
            runs.push_back(run);
            left -= run;
        }
        out.push_back(runs);
    }
    return out;
}

// A state as its checkpoint gives it back.
template <class State>
State through_checkpoint(const State& state) {
    std::vector<std::uint64_t> words(state.checkpoint_size());
    state.write_checkpoint(words);
    auto restored = State::from_checkpoint(words);
    EXPECT_TRUE(restored) << "a checkpoint of a live state is refused";
    return std::move(*restored);
}

// Calls take(start, length) for each run in turn.
template <class Take>
void feed(const std::vector<std::size_t>& runs, Take&& take) {
    std::size_t start = 0;
    for (const std::size_t length : runs) {
        take(start, length);
        start += length;
    }
}

// ---------------------------------------------------------------------------
// The kernels on vectors.

inline core::InputRun input(const std::vector<double>& v) {
    return {v.data(), v.size()};
}

inline core::OutputRun output(std::vector<double>& v) {
    return {v.data(), v.size()};
}

// Bars [start, start + length) of a vector.
inline core::InputRun input(const std::vector<double>& v, std::size_t start, std::size_t length) {
    return {v.data() + start, length};
}

inline core::OutputRun output(std::vector<double>& v, std::size_t start, std::size_t length) {
    return {v.data() + start, length};
}

inline std::vector<double> core_sma(std::uint64_t period, const std::vector<double>& data) {
    std::vector<double> out(data.size(), untouched());
    core::sma(period, input(data), output(out));
    return out;
}

inline std::vector<double> core_ema(std::uint64_t period, const std::vector<double>& data) {
    std::vector<double> out(data.size(), untouched());
    core::ema(period, input(data), output(out));
    return out;
}

struct MacdLines {
    std::vector<double> macd;
    std::vector<double> signal;
    std::vector<double> hist;
};

inline MacdLines core_macd(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal,
                           const std::vector<double>& data) {
    MacdLines lines{std::vector<double>(data.size(), untouched()),
                    std::vector<double>(data.size(), untouched()),
                    std::vector<double>(data.size(), untouched())};
    core::macd(fast, slow, signal, input(data), output(lines.macd), output(lines.signal),
               output(lines.hist));
    return lines;
}

struct Bars {
    std::vector<double> high;
    std::vector<double> low;
    std::vector<double> close;
};

inline std::vector<double> core_atr(std::uint64_t period, const Bars& bars, std::size_t m) {
    std::vector<double> out(m, untouched());
    core::atr(period, input(bars.high), input(bars.low), input(bars.close), output(out));
    return out;
}

// The reference on fresh, separate memories.
inline reference::Memory reference_sma(std::uint64_t period, const std::vector<double>& data) {
    reference::Memory in = reference::to_memory(data);
    reference::Memory out(data.size(), reference::Value{untouched()});
    reference::sma(period, reference::whole(in), reference::whole(out));
    return out;
}

inline reference::Memory reference_ema(std::uint64_t period, const std::vector<double>& data) {
    reference::Memory in = reference::to_memory(data);
    reference::Memory out(data.size(), reference::Value{untouched()});
    reference::ema(period, reference::whole(in), reference::whole(out));
    return out;
}

struct ReferenceMacd {
    reference::Memory macd;
    reference::Memory signal;
    reference::Memory hist;
};

inline ReferenceMacd reference_macd(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal,
                                    const std::vector<double>& data) {
    reference::Memory in = reference::to_memory(data);
    const reference::Memory blank(data.size(), reference::Value{untouched()});
    ReferenceMacd lines{blank, blank, blank};
    reference::macd(fast, slow, signal, reference::whole(in), reference::whole(lines.macd),
                    reference::whole(lines.signal), reference::whole(lines.hist));
    return lines;
}

inline reference::Memory reference_atr(std::uint64_t period, const Bars& bars, std::size_t m) {
    reference::Memory high = reference::to_memory(bars.high);
    reference::Memory low = reference::to_memory(bars.low);
    reference::Memory close = reference::to_memory(bars.close);
    reference::Memory out(m, reference::Value{untouched()});
    reference::atr(period, reference::whole(high), reference::whole(low), reference::whole(close),
                   reference::whole(out));
    return out;
}

}  // namespace marundex::test
