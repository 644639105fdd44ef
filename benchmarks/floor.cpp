// The limits of marundex's kernels on this machine, timed inside C++ so that a
// measurement holds no call overhead. Built like the core (-O3 -ffp-contract=off,
// no fast-math) into a small shared library that the benchmark driver calls
// through ctypes. Three measures per function:
//
// - chain: the dependency chain alone. Everything that is not on the chain of
//   rounded operations from one element to the next is computed before the clock
//   starts (SMA's differences, EMA's alpha × x, ATR's true ranges, the position of
//   the seeds); the timed loop runs the defined recurrence from there and stores
//   every result, so its outputs are marundex's and are checked equal bit for bit.
//   It takes the benchmark's data: finite throughout, so that no position is a gap.
// - memory: the traffic of reading the inputs and writing the outputs once, as a
//   plain streaming loop over the same bytes (a copy; ATR's three inputs summed).
// - plain: the recurrences as plain loops written straight from the definitions,
//   as a kernel would be without any care for the machine. Its outputs are checked
//   equal bit for bit too.
//
// The floor of a function is the larger of chain and memory: no kernel computing
// these exact results can be faster than either.
#include <emmintrin.h>
#include <time.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

constexpr double nan_value = std::bit_cast<double>(std::uint64_t{0x7ff8'0000'0000'0000});
constexpr std::uint64_t exponent_mask = 0x7ff0'0000'0000'0000;
constexpr std::uint64_t sma_period = 20;
constexpr std::uint64_t ema_period = 20;
constexpr std::uint64_t fast_period = 12;
constexpr std::uint64_t slow_period = 26;
constexpr std::uint64_t signal_period = 9;
constexpr std::uint64_t atr_period = 14;

bool finite(double x) {
    return (std::bit_cast<std::uint64_t>(x) & exponent_mask) != exponent_mask;
}

// A plain comparison: it keeps the value in its floating-point register, where a
// test on the bits would move it through an integer register on a dependency chain.
bool nan(double x) {
    return x != x;
}

// maxNum of IEEE 754-2008 without branches: the SSE maximum (b for unordered or
// equal pairs), the zero pair's a & b, then a where only b is NaN.
double max_num(double a, double b) {
    const __m128d va = _mm_set_sd(a);
    const __m128d vb = _mm_set_sd(b);
    __m128d r = _mm_max_sd(va, vb);
    r = _mm_and_pd(r, _mm_or_pd(_mm_and_pd(va, vb), _mm_cmpneq_sd(va, vb)));
    const __m128d take_a = _mm_and_pd(_mm_cmpunord_sd(vb, vb), _mm_cmpord_sd(va, va));
    return _mm_cvtsd_f64(_mm_or_pd(_mm_and_pd(take_a, va), _mm_andnot_pd(take_a, r)));
}

double true_range(const double* h, const double* l, const double* c, std::size_t i) {
    const double pc = c[i - 1];
    return max_num(max_num(h[i] - l[i], __builtin_fabs(h[i] - pc)), __builtin_fabs(l[i] - pc));
}

// alpha = 2 / (period + 1) and beta = 1 - alpha of an exponential average.
struct Smoothing {
    double alpha;
    double beta;

    explicit Smoothing(std::uint64_t period)
        : alpha(2.0 / (static_cast<double>(period) + 1.0)), beta(1.0 - alpha) {}
};

void fill(double* out, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        out[i] = nan_value;
    }
}

struct Series {
    const double* high;
    const double* low;
    const double* close;
    double* out1;
    double* out2;
    double* out3;
    std::size_t n;
};

// The SMA's running sum: the first window summed, then step(i) added for each
// later position (data[i] - data[i - period], or that difference precomputed).
template <typename Step>
void running_mean(const Series& s, const double* first_window, Step step) {
    const std::uint64_t period = sma_period;
    if (period > s.n) {
        fill(s.out1, 0, s.n);
        return;
    }
    fill(s.out1, 0, period - 1);
    double sum = -0.0;
    for (std::size_t k = 0; k < period; ++k) {
        sum = sum + first_window[k];
    }
    const double inv = 1.0 / static_cast<double>(period);
    s.out1[period - 1] = inv * sum;
    for (std::size_t i = period; i < s.n; ++i) {
        sum = sum + step(i);
        s.out1[i] = inv * sum;
    }
}

// The ATR's smoothing of true_range(i): the mean of the first ones, then
// difference, product with 1/period, sum.
template <typename TrueRange>
void wilder_average(const Series& s, TrueRange true_range_at) {
    const std::uint64_t period = atr_period;
    const std::size_t n = s.n;
    if (period >= n) {
        fill(s.out1, 0, n);
        return;
    }
    fill(s.out1, 0, period);
    const double p = static_cast<double>(period);
    const double alpha = 1.0 / p;
    double sum = +0.0;
    for (std::size_t i = 1; i <= period; ++i) {
        sum = sum + true_range_at(i);
    }
    double average = sum / p;
    s.out1[period] = average;
    for (std::size_t i = period + 1; i < n; ++i) {
        double d = true_range_at(i) - average;
        d = alpha * d;
        average = average + d;
        s.out1[i] = average;
    }
}

// ----------------------------------------------------------------------------- plain loops

namespace plain {

__attribute__((noinline)) void sma(const Series& s) {
    const double* x = s.close;
    running_mean(s, x, [x](std::size_t i) { return x[i] - x[i - sma_period]; });
}

__attribute__((noinline)) void ema(const Series& s) {
    const std::uint64_t period = ema_period;
    const double* x = s.close;
    const std::size_t n = s.n;
    std::size_t start = 0;
    std::size_t next = 0;
    while (start + period <= n && next != start + period) {
        if (finite(x[next])) {
            ++next;
        } else {
            start = next + 1;
            next = start;
        }
    }
    if (start + period > n) {
        fill(s.out1, 0, n);
        return;
    }
    fill(s.out1, 0, start + period - 1);
    const double p = static_cast<double>(period);
    double sum = -0.0;
    for (std::size_t k = start; k < start + period; ++k) {
        sum = sum + x[k];
    }
    double average = sum / p;
    s.out1[start + period - 1] = average;
    const Smoothing smoothing(period);
    for (std::size_t i = start + period; i < n; ++i) {
        if (finite(x[i])) {
            average = smoothing.beta * average + smoothing.alpha * x[i];
            s.out1[i] = average;
        } else {
            s.out1[i] = nan_value;
        }
    }
}

double trailing_mean(const double* x, std::size_t last, std::uint64_t period) {
    double sum = -0.0;
    for (std::size_t k = 0; k < period; ++k) {
        sum = sum + x[last - k];
    }
    return sum / static_cast<double>(period);
}

__attribute__((noinline)) void macd(const Series& s) {
    const Smoothing fast(fast_period);
    const Smoothing slow(slow_period);
    const Smoothing signal(signal_period);
    const std::uint64_t signal_from = slow_period - 2 + signal_period;
    const double* x = s.close;
    double f = nan_value;
    double sl = nan_value;
    double g = nan_value;
    for (std::size_t i = 0; i < s.n; ++i) {
        const double v = x[i];
        if (nan(v) || i < slow_period - 1) {
            s.out1[i] = nan_value;
            s.out2[i] = nan_value;
            s.out3[i] = nan_value;
            continue;
        }
        if (nan(f)) {
            f = trailing_mean(x, i, fast_period);
            sl = trailing_mean(x, i, slow_period);
        } else {
            f = fast.beta * f + fast.alpha * v;
            sl = slow.beta * sl + slow.alpha * v;
        }
        const double m = f - sl;
        s.out1[i] = m;
        if (!nan(g)) {
            g = signal.beta * g + signal.alpha * m;
        } else if (i >= signal_from) {
            g = m;
        }
        s.out2[i] = g;
        s.out3[i] = nan(g) ? nan_value : m - g;
    }
}

__attribute__((noinline)) void atr(const Series& s) {
    wilder_average(s, [&s](std::size_t i) { return true_range(s.high, s.low, s.close, i); });
}

}  // namespace plain

// ----------------------------------------------------------------------------- chains

// What each chain takes precomputed, made before the clock starts.
struct Prepared {
    // SMA: data[k] for k < period, then data[k] - data[k - period].
    std::vector<double> sma_steps;
    // EMA: alpha × data[k].
    std::vector<double> ema_terms;
    // MACD: the two seeds at slow_period - 1.
    double fast_seed = nan_value;
    double slow_seed = nan_value;
    // ATR: the true ranges, from bar 1.
    std::vector<double> true_ranges;
};

Prepared prepare(int which, const Series& s) {
    Prepared p;
    const std::size_t n = s.n;
    const double* x = s.close;
    if (which == 0) {
        p.sma_steps.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            p.sma_steps[k] = k < sma_period ? x[k] : x[k] - x[k - sma_period];
        }
    } else if (which == 1) {
        const double ema_alpha = Smoothing(ema_period).alpha;
        p.ema_terms.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            p.ema_terms[k] = ema_alpha * x[k];
        }
    } else if (which == 2) {
        if (n >= slow_period) {
            p.fast_seed = plain::trailing_mean(x, slow_period - 1, fast_period);
            p.slow_seed = plain::trailing_mean(x, slow_period - 1, slow_period);
        }
    } else {
        p.true_ranges.resize(n);
        for (std::size_t i = 1; i < n; ++i) {
            p.true_ranges[i] = true_range(s.high, s.low, s.close, i);
        }
    }
    return p;
}

namespace chain {

// The running sum and its product with the reciprocal of the period.
__attribute__((noinline)) void sma(const Series& s, const Prepared& p) {
    const double* step = p.sma_steps.data();
    running_mean(s, step, [step](std::size_t i) { return step[i]; });
}

// The seed, then beta × average + (alpha × x, precomputed).
__attribute__((noinline)) void ema(const Series& s, const Prepared& p) {
    const std::uint64_t period = ema_period;
    const double* x = s.close;
    if (period > s.n) {
        fill(s.out1, 0, s.n);
        return;
    }
    fill(s.out1, 0, period - 1);
    const double pd = static_cast<double>(period);
    double sum = -0.0;
    for (std::size_t k = 0; k < period; ++k) {
        sum = sum + x[k];
    }
    double average = sum / pd;
    s.out1[period - 1] = average;
    const double beta = Smoothing(period).beta;
    const double* term = p.ema_terms.data();
    for (std::size_t i = period; i < s.n; ++i) {
        average = beta * average + term[i];
        s.out1[i] = average;
    }
}

// The three recurrences from their precomputed seeds, with the signal's start
// known: warm-up, line alone, then line, signal and histogram.
__attribute__((noinline)) void macd(const Series& s, const Prepared& p) {
    const Smoothing fast(fast_period);
    const Smoothing slow(slow_period);
    const Smoothing signal(signal_period);
    const std::size_t n = s.n;
    const std::size_t first = slow_period - 1;
    const std::size_t signal_from = slow_period - 2 + signal_period;
    const double* x = s.close;
    const std::size_t warm = first < n ? first : n;
    fill(s.out1, 0, warm);
    fill(s.out2, 0, warm);
    fill(s.out3, 0, warm);
    if (first >= n) {
        return;
    }
    double f = p.fast_seed;
    double sl = p.slow_seed;
    double m = f - sl;
    s.out1[first] = m;
    s.out2[first] = nan_value;
    s.out3[first] = nan_value;
    const std::size_t line_end = signal_from < n ? signal_from : n;
    for (std::size_t i = first + 1; i < line_end; ++i) {
        f = fast.beta * f + fast.alpha * x[i];
        sl = slow.beta * sl + slow.alpha * x[i];
        m = f - sl;
        s.out1[i] = m;
        s.out2[i] = nan_value;
        s.out3[i] = nan_value;
    }
    if (signal_from >= n) {
        return;
    }
    if (signal_from > first) {
        f = fast.beta * f + fast.alpha * x[signal_from];
        sl = slow.beta * sl + slow.alpha * x[signal_from];
        m = f - sl;
    }
    double g = m;
    s.out1[signal_from] = m;
    s.out2[signal_from] = g;
    s.out3[signal_from] = m - g;
    for (std::size_t i = signal_from + 1; i < n; ++i) {
        f = fast.beta * f + fast.alpha * x[i];
        sl = slow.beta * sl + slow.alpha * x[i];
        m = f - sl;
        g = signal.beta * g + signal.alpha * m;
        s.out1[i] = m;
        s.out2[i] = g;
        s.out3[i] = m - g;
    }
}

// The same smoothing of the true ranges, precomputed.
__attribute__((noinline)) void atr(const Series& s, const Prepared& p) {
    const double* tr = p.true_ranges.data();
    wilder_average(s, [tr](std::size_t i) { return tr[i]; });
}

}  // namespace chain

// ----------------------------------------------------------------------------- memory

namespace memory {

// One stream in, one out: SMA and EMA.
__attribute__((noinline)) void one_to_one(const Series& s) {
    for (std::size_t i = 0; i < s.n; ++i) {
        s.out1[i] = s.close[i];
    }
}

// One stream in, three out: MACD.
__attribute__((noinline)) void one_to_three(const Series& s) {
    for (std::size_t i = 0; i < s.n; ++i) {
        const double v = s.close[i];
        s.out1[i] = v;
        s.out2[i] = v;
        s.out3[i] = v;
    }
}

// Three streams in, one out: ATR.
__attribute__((noinline)) void three_to_one(const Series& s) {
    for (std::size_t i = 0; i < s.n; ++i) {
        s.out1[i] = s.high[i] + s.low[i] + s.close[i];
    }
}

}  // namespace memory

double now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

enum Kind : int { kind_chain = 0, kind_memory = 1, kind_plain = 2 };

using Measure = void (*)(const Series&, const Prepared&);

template <void (*measure)(const Series&)>
void unprepared(const Series& s, const Prepared& /*unused*/) {
    measure(s);
}

// By kind, then by function: SMA, EMA, MACD, ATR.
constexpr std::array<std::array<Measure, 4>, 3> measures{{
    {chain::sma, chain::ema, chain::macd, chain::atr},
    {unprepared<memory::one_to_one>, unprepared<memory::one_to_one>,
     unprepared<memory::one_to_three>, unprepared<memory::three_to_one>},
    {unprepared<plain::sma>, unprepared<plain::ema>, unprepared<plain::macd>,
     unprepared<plain::atr>},
}};

}  // namespace

// Runs measure `kind` (0 chain, 1 memory, 2 plain loop) of function `which`
// (0 SMA 20, 1 EMA 20, 2 MACD 12/26/9, 3 ATR 14) `batches` times `calls` times over
// the same data, and stores each batch's time per call in ns[]. The chain's
// precomputation happens before the first batch, outside the clock.
extern "C" __attribute__((visibility("default"))) void floor_run(
    int which, int kind, const double* high, const double* low, const double* close, double* out1,
    double* out2, double* out3, std::size_t n, int batches, long calls, double* ns) {
    const Series s{high, low, close, out1, out2, out3, n};
    const Prepared p = kind == kind_chain ? prepare(which, s) : Prepared{};
    const Measure measure =
        measures.at(static_cast<std::size_t>(kind)).at(static_cast<std::size_t>(which));
    for (int b = 0; b < batches; ++b) {
        const double t0 = now_ns();
        for (long k = 0; k < calls; ++k) {
            measure(s, p);
            // Each call's stores must happen; the next call may not be merged with it.
            asm volatile("" ::: "memory");
        }
        ns[b] = (now_ns() - t0) / static_cast<double>(calls);
    }
}
