// Runs that share memory, and runs at addresses that are not multiples of 8.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "marundex/core.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace marundex::test {
namespace {

// ---------------------------------------------------------------------------
// Aliasing: every run is a window of one shared buffer. The kernel works on the
// buffer, the reference on a model of the same buffer, and the whole buffer must
// agree afterwards, the parts no run covers included.

struct Place {
    std::size_t offset;
    std::size_t length;
};

core::InputRun input_at(std::vector<double>& buffer, Place p) {
    return {buffer.data() + p.offset, p.length};
}

core::OutputRun output_at(std::vector<double>& buffer, Place p) {
    return {buffer.data() + p.offset, p.length};
}

reference::Run run_at(reference::Memory& memory, Place p) {
    return {&memory, p.offset, p.length};
}

std::vector<double> shared_buffer(std::size_t size, std::uint64_t salt) {
    const Mix mix{"Aliasing", 0xa11a5, 0.03, 0.03, 0.02, 0.02, 0.02};
    SeriesSource source(mix, salt);
    return source.series(size);
}

// Offsets of an output relative to its input: the same run, shifted either way
// so that the two overlap in part.
const std::vector<std::ptrdiff_t> shifts = {0, 1, -1, 2, -2, 3, -3};

struct Pair {
    Place data;
    Place out;
    std::size_t size;
};

Pair overlapping(std::size_t n, std::ptrdiff_t shift) {
    const auto magnitude = static_cast<std::size_t>(shift < 0 ? -shift : shift);
    const std::size_t data_at = shift < 0 ? magnitude : 0;
    const std::size_t out_at = shift < 0 ? 0 : magnitude;
    return {{data_at, n}, {out_at, n}, n + magnitude};
}

TEST(Aliasing, SmaAndEmaInPlaceEndNan) {
    for (const std::size_t n : {1U, 2U, 7U, 30U}) {
        for (const std::uint64_t period : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{n}}) {
            std::vector<double> a = shared_buffer(n, n);
            core::sma(period, input_at(a, {0, n}), output_at(a, {0, n}));
            std::vector<double> b = shared_buffer(n, n);
            core::ema(period, input_at(b, {0, n}), output_at(b, {0, n}));
            for (std::size_t i = 0; i < n; ++i) {
                EXPECT_EQ(bits(a[i]), no_value_bits) << "sma, n " << n << " at " << i;
                EXPECT_EQ(bits(b[i]), no_value_bits) << "ema, n " << n << " at " << i;
            }
        }
    }
}

class MovingAverageAliasing : public ::testing::TestWithParam<std::ptrdiff_t> {};

TEST_P(MovingAverageAliasing, AgreesWithReference) {
    const std::ptrdiff_t shift = GetParam();
    for (const std::size_t n : {1U, 4U, 9U, 40U}) {
        for (const std::uint64_t period : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3},
                                           std::uint64_t{n - 1}, std::uint64_t{n}}) {
            const Pair layout = overlapping(n, shift);
            const std::vector<double> initial = shared_buffer(layout.size, n * 31 + period);
            SCOPED_TRACE(::testing::Message()
                         << "shift " << shift << ", n " << n << ", period " << period);

            std::vector<double> got = initial;
            core::sma(period, input_at(got, layout.data), output_at(got, layout.out));
            reference::Memory expected = reference::to_memory(initial);
            reference::sma(period, run_at(expected, layout.data), run_at(expected, layout.out));
            EXPECT_TRUE(same_elements(expected, got)) << "sma";

            got = initial;
            core::ema(period, input_at(got, layout.data), output_at(got, layout.out));
            expected = reference::to_memory(initial);
            reference::ema(period, run_at(expected, layout.data), run_at(expected, layout.out));
            EXPECT_TRUE(same_elements(expected, got)) << "ema";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shifts, MovingAverageAliasing, ::testing::ValuesIn(shifts));

// Where each MACD output sits relative to the data: on it, shifted by a little,
// or in a region of its own.
enum class Where : std::uint8_t { on_data, after_data, before_data, far_after_data, alone };

std::size_t place(Where where, std::size_t data_at, std::size_t alone_at) {
    switch (where) {
        case Where::on_data:
            return data_at;
        case Where::after_data:
            return data_at + 1;
        case Where::before_data:
            return data_at - 1;
        case Where::far_after_data:
            return data_at + 3;
        case Where::alone:
            return alone_at;
    }
    return alone_at;
}

class MacdAliasing : public ::testing::TestWithParam<int> {};

TEST_P(MacdAliasing, AgreesWithReference) {
    // The parameter enumerates one placement of the three outputs.
    const int code = GetParam();
    const Where macd_where = static_cast<Where>(code % 5);
    const Where signal_where = static_cast<Where>((code / 5) % 5);
    const Where hist_where = static_cast<Where>(code / 25);
    const struct {
        std::uint64_t fast, slow, signal;
    } period_triples[] = {{1, 2, 1}, {2, 3, 2}, {2, 5, 3}, {3, 8, 4}};
    for (const std::size_t n : {3U, 12U, 40U}) {
        for (const auto& p : period_triples) {
            const std::size_t block = n + 8;
            const std::size_t data_at = 4;
            const Place data{data_at, n};
            const Place macd_out{place(macd_where, data_at, block + 4), n};
            const Place signal_out{place(signal_where, data_at, 2 * block + 4), n};
            const Place hist_out{place(hist_where, data_at, 3 * block + 4), n};
            const std::vector<double> initial = shared_buffer(4 * block, n + p.slow);
            SCOPED_TRACE(::testing::Message() << "placement " << code << ", n " << n << ", periods "
                                              << p.fast << "/" << p.slow << "/" << p.signal);

            std::vector<double> got = initial;
            core::macd(p.fast, p.slow, p.signal, input_at(got, data), output_at(got, macd_out),
                       output_at(got, signal_out), output_at(got, hist_out));
            reference::Memory expected = reference::to_memory(initial);
            reference::macd(p.fast, p.slow, p.signal, run_at(expected, data),
                            run_at(expected, macd_out), run_at(expected, signal_out),
                            run_at(expected, hist_out));
            EXPECT_TRUE(same_elements(expected, got));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Placements, MacdAliasing, ::testing::Range(0, 125));

struct AtrLayout {
    const char* name;
    // Offsets in a buffer of blocks of n + 8 elements, as (block, shift) pairs.
    int high_block, low_block, close_block, out_block;
    int out_shift;
    std::size_t extra_output;
};

class AtrAliasing : public ::testing::TestWithParam<AtrLayout> {};

TEST_P(AtrAliasing, AgreesWithReference) {
    const AtrLayout& l = GetParam();
    for (const std::size_t n : {2U, 5U, 16U, 41U}) {
        for (const std::uint64_t period :
             {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{n - 1}}) {
            const std::size_t block = n + 8;
            const auto at = [block](int b, int shift) {
                const auto start = static_cast<std::ptrdiff_t>(static_cast<std::size_t>(b) * block);
                return static_cast<std::size_t>(start + 4 + shift);
            };
            const Place high{at(l.high_block, 0), n};
            const Place low{at(l.low_block, 0), n};
            const Place close{at(l.close_block, 0), n};
            const Place out{at(l.out_block, l.out_shift), n + l.extra_output};
            const std::vector<double> initial = shared_buffer(5 * block, n * 7 + period);
            SCOPED_TRACE(::testing::Message() << "n " << n << ", period " << period);

            std::vector<double> got = initial;
            core::atr(period, input_at(got, high), input_at(got, low), input_at(got, close),
                      output_at(got, out));
            reference::Memory expected = reference::to_memory(initial);
            reference::atr(period, run_at(expected, high), run_at(expected, low),
                           run_at(expected, close), run_at(expected, out));
            EXPECT_TRUE(same_elements(expected, got));
        }
    }
}

const std::vector<AtrLayout> atr_layouts = {
    {"Separate", 0, 1, 2, 3, 0, 0},
    {"SeparateLongOutput", 0, 1, 2, 3, 0, 3},
    {"OutputIsHigh", 0, 1, 2, 0, 0, 0},
    {"OutputIsLow", 0, 1, 2, 1, 0, 0},
    {"OutputIsClose", 0, 1, 2, 2, 0, 0},
    {"OneSeriesForAllInputs", 0, 0, 0, 3, 0, 0},
    {"OneSeriesForEverything", 0, 0, 0, 0, 0, 0},
    {"HighAndLowShared", 0, 0, 1, 2, 0, 0},
    {"OutputOneAfterHigh", 0, 1, 2, 0, 1, 0},
    {"OutputOneBeforeClose", 0, 1, 2, 2, -1, 0},
    {"OutputTwoAfterLow", 0, 1, 2, 1, 2, 0},
    {"LongOutputOverHigh", 0, 1, 2, 0, 0, 3},
};

INSTANTIATE_TEST_SUITE_P(Layouts, AtrAliasing, ::testing::ValuesIn(atr_layouts),
                         case_name<AtrLayout>);

// With the output also passed as the highs, the highs read as NaN after the
// pre-fill, and each true range is |low[i] - close[i - 1]|: 0.5, 0.5, then 2.
TEST(Aliasing, AtrOutputAsHighByHand) {
    std::vector<double> high_and_out = {7.0, 7.0, 7.0, 7.0};
    const std::vector<double> low = {1.0, 2.0, 3.0, 4.0};
    const std::vector<double> close = {1.5, 2.5, 2.0, 5.0};
    core::atr(2, input(high_and_out), input(low), input(close), output(high_and_out));
    EXPECT_TRUE(same_bits({no_value(), no_value(), 0.5, 1.25}, high_and_out));
}

// ---------------------------------------------------------------------------
// Unaligned runs: every run starts at an odd byte address inside one byte
// buffer, and the results must be the bits of the same call on aligned vectors.
// Every element moves in and out by memcpy, so that the test itself stays
// well-defined at those addresses.

class ByteBuffer {
  public:
    // Runs of the given lengths, run k starting `offsets[k]` bytes past a multiple
    // of 8, with a gap between runs.
    ByteBuffer(const std::vector<std::size_t>& lengths, const std::vector<std::size_t>& offsets) {
        std::size_t at = 0;
        for (std::size_t k = 0; k < lengths.size(); ++k) {
            starts_.push_back(at + offsets[k]);
            at += (lengths[k] + 2) * sizeof(double);
        }
        storage_.assign(at + sizeof(double), std::byte{0x5a});
        // The vector's storage comes from operator new, aligned to at least 8.
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(storage_.data()) % alignof(double), 0U);
    }

    void* run(std::size_t k) { return storage_.data() + starts_[k]; }

    void write(std::size_t k, const std::vector<double>& values) {
        if (!values.empty()) {
            std::memcpy(run(k), values.data(), values.size() * sizeof(double));
        }
    }

    std::vector<double> read(std::size_t k, std::size_t count) {
        std::vector<double> values(count);
        if (count != 0) {
            std::memcpy(values.data(), run(k), count * sizeof(double));
        }
        return values;
    }

  private:
    std::vector<std::byte> storage_;
    std::vector<std::size_t> starts_;
};

const std::vector<std::size_t> odd_offsets = {1, 3, 5, 7};

struct OffsetPair {
    std::size_t input;
    std::size_t output;
};

std::vector<OffsetPair> offset_pairs() {
    std::vector<OffsetPair> out;
    for (const std::size_t a : odd_offsets) {
        for (const std::size_t b : odd_offsets) {
            out.push_back({a, b});
        }
    }
    return out;
}

std::size_t next_odd(std::size_t offset, std::size_t step) {
    return odd_offsets[(offset / 2 + step) % odd_offsets.size()];
}

class Unaligned : public ::testing::TestWithParam<OffsetPair> {};

TEST_P(Unaligned, AllKernelsMatchAlignedRuns) {
    const OffsetPair o = GetParam();
    const Mix mix{"Unaligned", 0x0dd, 0.05, 0.05, 0.05, 0.05, 0.05};
    SeriesSource source(mix, o.input * 8 + o.output);
    for (const std::size_t n : {0U, 1U, 2U, 3U, 17U, 64U, 199U}) {
        SCOPED_TRACE(::testing::Message() << "n " << n);
        const std::vector<double> data = source.series(n);
        const std::vector<double> blank(n, untouched());
        const std::uint64_t period = n < 5 ? 2 : 5;

        {
            ByteBuffer buffer({n, n}, {o.input, o.output});
            buffer.write(0, data);
            buffer.write(1, blank);
            core::sma(period, {buffer.run(0), n}, {buffer.run(1), n});
            EXPECT_TRUE(same_bits(core_sma(period, data), buffer.read(1, n))) << "sma";
            EXPECT_TRUE(same_bits(data, buffer.read(0, n))) << "sma input";
        }
        {
            ByteBuffer buffer({n, n}, {o.input, o.output});
            buffer.write(0, data);
            buffer.write(1, blank);
            core::ema(period, {buffer.run(0), n}, {buffer.run(1), n});
            EXPECT_TRUE(same_bits(core_ema(period, data), buffer.read(1, n))) << "ema";
        }
        {
            ByteBuffer buffer({n, n, n, n},
                              {o.input, o.output, next_odd(o.output, 1), next_odd(o.output, 2)});
            buffer.write(0, data);
            for (std::size_t k = 1; k <= 3; ++k) {
                buffer.write(k, blank);
            }
            core::macd(2, 5, 3, {buffer.run(0), n}, {buffer.run(1), n}, {buffer.run(2), n},
                       {buffer.run(3), n});
            const MacdLines aligned = core_macd(2, 5, 3, data);
            EXPECT_TRUE(same_bits(aligned.macd, buffer.read(1, n))) << "macd line";
            EXPECT_TRUE(same_bits(aligned.signal, buffer.read(2, n))) << "signal line";
            EXPECT_TRUE(same_bits(aligned.hist, buffer.read(3, n))) << "histogram";
        }
        {
            Bars bars;
            source.bars(n, bars.high, bars.low, bars.close);
            const std::size_t m = n + 2;
            ByteBuffer buffer({n, n, n, m},
                              {o.input, next_odd(o.input, 1), next_odd(o.input, 2), o.output});
            buffer.write(0, bars.high);
            buffer.write(1, bars.low);
            buffer.write(2, bars.close);
            buffer.write(3, std::vector<double>(m, untouched()));
            core::atr(period, {buffer.run(0), n}, {buffer.run(1), n}, {buffer.run(2), n},
                      {buffer.run(3), m});
            EXPECT_TRUE(same_bits(core_atr(period, bars, m), buffer.read(3, m))) << "atr";
        }
        {
            // In place at an odd address: the output also serves as the highs.
            Bars bars;
            source.bars(n, bars.high, bars.low, bars.close);
            ByteBuffer buffer({n, n, n}, {o.output, o.input, next_odd(o.input, 3)});
            buffer.write(0, bars.high);
            buffer.write(1, bars.low);
            buffer.write(2, bars.close);
            core::atr(period, {buffer.run(0), n}, {buffer.run(1), n}, {buffer.run(2), n},
                      {buffer.run(0), n});
            std::vector<double> aligned = bars.high;
            core::atr(period, input(aligned), input(bars.low), input(bars.close), output(aligned));
            EXPECT_TRUE(same_bits(aligned, buffer.read(0, n))) << "atr in place";
        }
    }
}

std::string offsets_name(const ::testing::TestParamInfo<OffsetPair>& instance) {
    return "Input" + std::to_string(instance.param.input) + "Output" +
           std::to_string(instance.param.output);
}

INSTANTIATE_TEST_SUITE_P(OddOffsets, Unaligned, ::testing::ValuesIn(offset_pairs()), offsets_name);

}  // namespace
}  // namespace marundex::test
