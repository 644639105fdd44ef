// The hardware floor for marundex's results: the same recurrences as plain loops,
// writing NaN only where a result has none (no pre-fill of the whole output), with
// the same arithmetic in the same order. Built like the core (-O3
// -ffp-contract=off, no fast-math) into a small shared library that the benchmark
// driver calls through ctypes; the timing happens in here, so a measurement holds
// no call overhead at all.
#include <emmintrin.h>
#include <time.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr double nan_value = std::bit_cast<double>(std::uint64_t{0x7ff8'0000'0000'0000});
constexpr std::uint64_t exponent_mask = 0x7ff0'0000'0000'0000;

bool finite(double x) {
    return (std::bit_cast<std::uint64_t>(x) & exponent_mask) != exponent_mask;
}

// A plain comparison: it keeps the value in its floating-point register, where a
// test on the bits would move it through an integer register on a dependency chain.
bool nan(double x) {
    return x != x;
}

// maxNum without branches, as the core has it: the SSE maximum (b for unordered or
// equal pairs), the zero pair's a & b, then a where only b is NaN.
double max_num(double a, double b) {
    const __m128d va = _mm_set_sd(a);
    const __m128d vb = _mm_set_sd(b);
    __m128d r = _mm_max_sd(va, vb);
    r = _mm_and_pd(r, _mm_or_pd(_mm_and_pd(va, vb), _mm_cmpneq_sd(va, vb)));
    const __m128d take_a = _mm_and_pd(_mm_cmpunord_sd(vb, vb), _mm_cmpord_sd(va, va));
    return _mm_cvtsd_f64(_mm_or_pd(_mm_and_pd(take_a, va), _mm_andnot_pd(take_a, r)));
}

void fill(double* out, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        out[i] = nan_value;
    }
}

__attribute__((noinline)) void sma(std::uint64_t period, const double* x, double* out,
                                   std::size_t n) {
    if (period == 0 || period > n) {
        fill(out, 0, n);
        return;
    }
    fill(out, 0, period - 1);
    double sum = -0.0;
    for (std::size_t k = 0; k < period; ++k) {
        sum = sum + x[k];
    }
    const double inv = 1.0 / static_cast<double>(period);
    out[period - 1] = inv * sum;
    for (std::size_t i = period; i < n; ++i) {
        sum = sum + (x[i] - x[i - period]);
        out[i] = inv * sum;
    }
}

__attribute__((noinline)) void ema(std::uint64_t period, const double* x, double* out,
                                   std::size_t n) {
    if (period == 0 || period > n) {
        fill(out, 0, n);
        return;
    }
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
        fill(out, 0, n);
        return;
    }
    fill(out, 0, start + period - 1);
    const double p = static_cast<double>(period);
    double sum = -0.0;
    for (std::size_t k = start; k < start + period; ++k) {
        sum = sum + x[k];
    }
    double average = sum / p;
    out[start + period - 1] = average;
    const double alpha = 2.0 / (p + 1.0);
    const double beta = 1.0 - alpha;
    for (std::size_t i = start + period; i < n; ++i) {
        if (finite(x[i])) {
            average = beta * average + alpha * x[i];
            out[i] = average;
        } else {
            out[i] = nan_value;
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

__attribute__((noinline)) void macd(std::uint64_t fast_period, std::uint64_t slow_period,
                                    std::uint64_t signal_period, const double* x, double* line_out,
                                    double* signal_out, double* hist_out, std::size_t n) {
    const double fa = 2.0 / (static_cast<double>(fast_period) + 1.0);
    const double fb = 1.0 - fa;
    const double sa = 2.0 / (static_cast<double>(slow_period) + 1.0);
    const double sb = 1.0 - sa;
    const double ga = 2.0 / (static_cast<double>(signal_period) + 1.0);
    const double gb = 1.0 - ga;
    const std::uint64_t signal_from = slow_period - 2 + signal_period;
    double f = nan_value;
    double s = nan_value;
    double g = nan_value;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        if (nan(v) || i < slow_period - 1) {
            line_out[i] = nan_value;
            signal_out[i] = nan_value;
            hist_out[i] = nan_value;
            continue;
        }
        if (nan(f)) {
            f = trailing_mean(x, i, fast_period);
            s = trailing_mean(x, i, slow_period);
        } else {
            f = fb * f + fa * v;
            s = sb * s + sa * v;
        }
        const double m = f - s;
        line_out[i] = m;
        if (!nan(g)) {
            g = gb * g + ga * m;
        } else if (i >= signal_from) {
            g = m;
        }
        signal_out[i] = g;
        hist_out[i] = nan(g) ? nan_value : m - g;
    }
}

double true_range(const double* h, const double* l, const double* c, std::size_t i) {
    const double pc = c[i - 1];
    return max_num(max_num(h[i] - l[i], __builtin_fabs(h[i] - pc)), __builtin_fabs(l[i] - pc));
}

__attribute__((noinline)) void atr(std::uint64_t period, const double* h, const double* l,
                                   const double* c, double* out, std::size_t n) {
    if (period == 0 || period >= n) {
        fill(out, 0, n);
        return;
    }
    fill(out, 0, period);
    const double p = static_cast<double>(period);
    const double alpha = 1.0 / p;
    double sum = +0.0;
    for (std::size_t i = 1; i <= period; ++i) {
        sum = sum + true_range(h, l, c, i);
    }
    double average = sum / p;
    out[period] = average;
    for (std::size_t i = period + 1; i < n; ++i) {
        double d = true_range(h, l, c, i) - average;
        d = alpha * d;
        average = average + d;
        out[i] = average;
    }
}

double now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

}  // namespace

// Runs kernel `which` (0 SMA 20, 1 EMA 20, 2 MACD 12/26/9, 3 ATR 14) `batches` times
// `calls` times over the same data, and stores each batch's time per call in ns[].
extern "C" __attribute__((visibility("default"))) void floor_run(
    int which, const double* high, const double* low, const double* close, double* out1,
    double* out2, double* out3, std::size_t n, int batches, long calls, double* ns) {
    for (int b = 0; b < batches; ++b) {
        const double t0 = now_ns();
        for (long k = 0; k < calls; ++k) {
            switch (which) {
                case 0:
                    sma(20, close, out1, n);
                    break;
                case 1:
                    ema(20, close, out1, n);
                    break;
                case 2:
                    macd(12, 26, 9, close, out1, out2, out3, n);
                    break;
                default:
                    atr(14, high, low, close, out1, n);
                    break;
            }
            // Each call's stores must happen; the next call may not be merged with it.
            asm volatile("" ::: "memory");
        }
        ns[b] = (now_ns() - t0) / static_cast<double>(calls);
    }
}
