// The lines of the stochastic oscillators, which STOCH, STOCHF and STOCHRSI take:
// the fast %K of a window's extremes and a close, and the means after it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "float64_access.hpp"
#include "true_range.hpp"

namespace marundex::core::detail {

// ((close - ll) / (hh - ll)) * 100, each operation rounded on its own; 0 where the
// high and the low are equal, as TA-Lib gives there.
inline double fast_k(double highest, double lowest, double close) noexcept {
    const double range = highest - lowest;
    if (range == 0.0) {
        return 0.0;
    }
    return ((close - lowest) / range) * 100.0;
}

template <std::size_t Means>
std::uint64_t ring_words(const std::array<std::uint64_t, Means + 1>& periods) noexcept {
    std::uint64_t words = 0;
    for (std::size_t m = 1; m <= Means; ++m) {
        words += periods[m];
    }
    return words;
}

// The first bar with a value of each line: the fast %K's window full, `offset` bars
// after the first bar of what it is taken over, then each mean's window of the line
// before.
template <std::size_t Means>
std::array<std::uint64_t, Means + 1> starts_of(const std::array<std::uint64_t, Means + 1>& periods,
                                               std::uint64_t offset) noexcept {
    std::array<std::uint64_t, Means + 1> starts{};
    starts[0] = offset + periods[0] - 1;
    for (std::size_t m = 1; m <= Means; ++m) {
        starts[m] = starts[m - 1] + (periods[m] - 1);
    }
    return starts;
}

// The lines of a run after `bars` bars. Line m is worked in the output
// (m + Means + 1) % 2, so that the last two end in the first and second outputs and
// each mean reads the line before from the other one; the rings give the values
// before the run. A live run keeps each line's last values in its ring once the
// next line has read them. The first output, whichever line it holds, starts where
// the last line does.
template <std::size_t Means, class Extremes>
void run_lines(const std::array<std::uint64_t, Means + 1>& periods, std::uint64_t offset,
               std::uint64_t bars, const Extremes& take_extremes, double* rings, bool live,
               const Bars& in, std::array<OutputRun, 2> outs) noexcept {
    const std::size_t n = in.high.length;
    const std::array<std::uint64_t, Means + 1> starts = starts_of<Means>(periods, offset);
    // The fast %K.
    void* const k_out = outs[(Means + 1) % 2].data;
    for (std::size_t i = 0; i < n; ++i) {
        const double close = load(in.close.data, i);
        double k = quiet_nan;
        double hh = 0.0;
        double ll = 0.0;
        if (take_extremes(i, hh, ll) && is_finite(close)) {
            k = fast_k(hh, ll, close);
        }
        store(k_out, i, k);
    }
    // Each mean, of the line before: its values summed from the oldest, then divided.
    double* ring = rings;
    for (std::size_t m = 1; m <= Means; ++m) {
        const std::uint64_t p = periods[m];
        const double divisor = detail::period_as_double(p);
        const void* before = outs[(m + Means) % 2].data;
        void* here = outs[(m + Means + 1) % 2].data;
        const auto value = [&](std::uint64_t bar) noexcept {
            return bar >= bars ? load(before, static_cast<std::size_t>(bar - bars)) : ring[bar % p];
        };
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t bar = bars + i;
            if (bar < starts[m]) {
                store(here, i, quiet_nan);
                continue;
            }
            double sum = value(bar + 1 - p);
            for (std::uint64_t j = bar + 2 - p; j <= bar; ++j) {
                sum = sum + value(j);
            }
            store(here, i, sum / divisor);
        }
        if (live) {
            const std::uint64_t from = n > p ? bars + n - p : bars;
            for (std::uint64_t bar = from; bar < bars + n; ++bar) {
                ring[bar % p] = load(before, static_cast<std::size_t>(bar - bars));
            }
        }
        ring += p;
    }
    for (std::size_t i = 0; i < n && bars + i < starts[Means]; ++i) {
        store(outs[0].data, i, quiet_nan);
    }
}

}  // namespace marundex::core::detail
