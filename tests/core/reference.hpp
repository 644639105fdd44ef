// Slow, plainly written restatements of the four kernels, used as the expected
// results of the core tests. They are written from the definitions of the
// indicators alone and share no code with core/src: the seed search of the EMA
// re-scans every window literally, maxNum spells out its NaN and zero cases with
// the standard library's classification, and every element lives in a model of
// memory so that runs which alias each other behave as they do in the kernels.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace marundex::reference {

// The NaN stored at every position that has no value.
inline constexpr std::uint64_t no_value_bits = 0x7ff8'0000'0000'0000;

// One float64 element. `open_payload` marks a NaN whose bits the arithmetic does
// not pin down: when two NaNs of different bits meet, the hardware keeps the one
// in the first operand register, and the compiler is free to swap the operands of
// a commutative operation; a signalling NaN may or may not be quieted, since the
// compiler may drop an addition of -0.0 that would quiet it. The tests accept any
// NaN where the payload is open, and demand the exact bits everywhere else.
struct Value {
    double v;
    bool open_payload = false;
};

inline bool is_signalling_nan(double x) {
    const std::uint64_t b = std::bit_cast<std::uint64_t>(x);
    return std::isnan(x) && (b & 0x0008'0000'0000'0000) == 0;
}

inline Value arithmetic_result(double result, Value a, Value b) {
    if (!std::isnan(result)) {
        return {result};
    }
    const bool both_nan = std::isnan(a.v) && std::isnan(b.v);
    const bool payloads_differ =
        both_nan && std::bit_cast<std::uint64_t>(a.v) != std::bit_cast<std::uint64_t>(b.v);
    const bool open = a.open_payload || b.open_payload || payloads_differ ||
                      is_signalling_nan(a.v) || is_signalling_nan(b.v);
    return {result, open};
}

inline Value operator+(Value a, Value b) {
    return arithmetic_result(a.v + b.v, a, b);
}
inline Value operator-(Value a, Value b) {
    return arithmetic_result(a.v - b.v, a, b);
}
inline Value operator*(Value a, Value b) {
    return arithmetic_result(a.v * b.v, a, b);
}
inline Value operator/(Value a, Value b) {
    return arithmetic_result(a.v / b.v, a, b);
}

inline Value absolute(Value x) {
    return {std::fabs(x.v), x.open_payload};
}

inline bool is_nan(Value x) {
    return std::isnan(x.v);
}

inline bool is_finite(Value x) {
    return !std::isnan(x.v) && !std::isinf(x.v);
}

inline Value no_value() {
    return {std::bit_cast<double>(no_value_bits)};
}

// maxNum of IEEE 754-2008. Of two NaNs the result is a NaN, which one is not said.
inline Value max_num(Value a, Value b) {
    if (is_nan(a) && is_nan(b)) {
        const bool same = std::bit_cast<std::uint64_t>(a.v) == std::bit_cast<std::uint64_t>(b.v);
        return {b.v, a.open_payload || b.open_payload || !same};
    }
    if (is_nan(a)) {
        return b;
    }
    if (is_nan(b)) {
        return a;
    }
    if (a.v == 0.0 && b.v == 0.0) {
        const bool both_negative = std::signbit(a.v) && std::signbit(b.v);
        return {both_negative ? -0.0 : 0.0};
    }
    return a.v < b.v ? b : a;
}

// A period as the nearest double: the high and low halves convert exactly, and
// their sum is the one rounding.
inline Value nearest_double(std::uint64_t period) {
    const double high = static_cast<double>(static_cast<std::uint32_t>(period >> 32U));
    const double low = static_cast<double>(static_cast<std::uint32_t>(period));
    return {high * 4294967296.0 + low};
}

// Memory as the reference sees it. A run is a window of it; several runs may share
// one memory and overlap.
using Memory = std::vector<Value>;

inline Memory to_memory(const std::vector<double>& values) {
    Memory memory;
    memory.reserve(values.size());
    for (const double x : values) {
        memory.push_back({x});
    }
    return memory;
}

struct Run {
    Memory* memory;
    std::size_t offset;
    std::size_t length;

    // Bounds-checked both against the run and against the memory, so that a
    // reference that strays fails loudly instead of agreeing with a kernel by luck.
    [[nodiscard]] Value& operator[](std::size_t i) const {
        if (i >= length) {
            throw std::out_of_range("reference run index");
        }
        return memory->at(offset + i);
    }
};

inline Run whole(Memory& memory) {
    return {&memory, 0, memory.size()};
}

inline void fill_no_value(Run out) {
    for (std::size_t i = 0; i < out.length; ++i) {
        out[i] = no_value();
    }
}

inline void sma(std::uint64_t period, Run data, Run out) {
    fill_no_value(out);
    const std::size_t n = data.length;
    if (period == 0 || period > n) {
        return;
    }
    Value sum{-0.0};
    for (std::size_t k = 0; k < period; ++k) {
        sum = sum + data[k];
    }
    const Value inv = Value{1.0} / nearest_double(period);
    out[period - 1] = inv * sum;
    for (std::size_t i = period; i < n; ++i) {
        sum = sum + (data[i] - data[i - period]);
        out[i] = inv * sum;
    }
}

inline void ema(std::uint64_t period, Run data, Run out) {
    fill_no_value(out);
    const std::size_t n = data.length;
    if (period == 0 || period > n) {
        return;
    }
    const auto window_is_finite = [&](std::size_t s) {
        for (std::size_t k = s; k < s + period; ++k) {
            if (!is_finite(data[k])) {
                return false;
            }
        }
        return true;
    };
    std::size_t s = 0;
    while (!window_is_finite(s)) {
        ++s;
        if (s + period > n) {
            return;
        }
    }
    const Value p = nearest_double(period);
    Value sum{-0.0};
    for (std::size_t k = s; k < s + period; ++k) {
        sum = sum + data[k];
    }
    Value average = sum / p;
    out[s + period - 1] = average;
    const Value alpha = Value{2.0} / (p + Value{1.0});
    const Value beta = Value{1.0} - alpha;
    for (std::size_t i = s + period; i < n; ++i) {
        if (is_finite(data[i])) {
            average = beta * average + alpha * data[i];
            out[i] = average;
        }
    }
}

// The index at which the signal line may start, or none when
// slow + signal - 2 does not fit in 64 bits: then the line never starts.
inline std::optional<std::uint64_t> signal_start(std::uint64_t slow, std::uint64_t signal) {
    __extension__ using Wide = unsigned __int128;
    const Wide start = Wide{slow} + Wide{signal} - 2;
    if (start > Wide{UINT64_MAX}) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(start);
}

// Requires 0 < fast < slow and signal > 0, and outputs at least as long as the data.
inline void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
                 Run data, Run macd_out, Run signal_out, Run hist_out) {
    if (fast_period == 0 || fast_period >= slow_period || signal_period == 0) {
        throw std::invalid_argument("reference macd periods");
    }
    const Value f = nearest_double(fast_period);
    const Value s = nearest_double(slow_period);
    const Value g = nearest_double(signal_period);
    const Value alpha_fast = Value{2.0} / (f + Value{1.0});
    const Value alpha_slow = Value{2.0} / (s + Value{1.0});
    const Value alpha_signal = Value{2.0} / (g + Value{1.0});
    const Value beta_fast = Value{1.0} - alpha_fast;
    const Value beta_slow = Value{1.0} - alpha_slow;
    const Value beta_signal = Value{1.0} - alpha_signal;
    const std::optional<std::uint64_t> t = signal_start(slow_period, signal_period);

    const auto window_mean = [&](std::size_t last, std::uint64_t period, Value divisor) {
        Value sum{-0.0};
        for (std::uint64_t k = 0; k < period; ++k) {
            sum = sum + data[last - k];
        }
        return sum / divisor;
    };

    Value fast = no_value();
    Value slow = no_value();
    Value line_signal = no_value();
    for (std::size_t i = 0; i < data.length; ++i) {
        const Value x = data[i];
        if (is_nan(x) || i < slow_period - 1) {
            macd_out[i] = no_value();
            signal_out[i] = no_value();
            hist_out[i] = no_value();
            continue;
        }
        if (is_nan(fast)) {
            fast = window_mean(i, fast_period, f);
            slow = window_mean(i, slow_period, s);
        } else {
            fast = beta_fast * fast + alpha_fast * x;
            slow = beta_slow * slow + alpha_slow * x;
        }
        const Value m = fast - slow;
        macd_out[i] = m;
        if (is_nan(line_signal)) {
            if (t.has_value() && i >= *t) {
                line_signal = m;
            }
        } else {
            line_signal = beta_signal * line_signal + alpha_signal * m;
        }
        signal_out[i] = line_signal;
        hist_out[i] = is_nan(line_signal) ? no_value() : m - line_signal;
    }
}

// `high`, `low` and `close` share one length; when 0 < period < n the output must
// be at least that long.
inline void atr(std::uint64_t period, Run high, Run low, Run close, Run out) {
    fill_no_value(out);
    const std::size_t n = high.length;
    if (period == 0 || period >= n) {
        return;
    }
    const auto true_range = [&](std::size_t i) {
        const Value spread = high[i] - low[i];
        const Value up = absolute(high[i] - close[i - 1]);
        const Value down = absolute(low[i] - close[i - 1]);
        return max_num(max_num(spread, up), down);
    };
    const Value p = nearest_double(period);
    const Value alpha = Value{1.0} / p;
    Value sum{+0.0};
    for (std::size_t i = 1; i <= period; ++i) {
        sum = sum + true_range(i);
    }
    Value average = sum / p;
    out[period] = average;
    for (std::size_t i = period + 1; i < n; ++i) {
        Value d = true_range(i) - average;
        d = alpha * d;
        average = average + d;
        out[i] = average;
    }
}

}  // namespace marundex::reference
