// Live equals backtest, through the installed package: each indicator's state is
// backfilled with a history, then fed the bars after it one at a time, then in
// runs of random length (empty ones too), and every output is checked against one
// batch call over the whole series, bit for bit. Exits non-zero on any difference.
//
// Like worked_values.cpp, this file is compiled with -ffast-math on purpose: every
// rounded operation happens inside the library, and the outputs are compared as
// bit patterns, which no compiler setting can fold away.
#include <marundex/core.hpp>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using marundex::core::InputRun;
using marundex::core::OutputRun;

constexpr std::size_t history = 2520;
constexpr std::size_t bar_by_bar = 500;
constexpr std::size_t in_runs = 1000;
constexpr std::size_t total = history + bar_by_bar + in_runs;

// The quiet NaN, from its bits: a gap in the feed.
const double gap = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});

InputRun in(const std::vector<double>& v, std::size_t start, std::size_t length) {
    return {v.data() + start, length};
}

OutputRun out(std::vector<double>& v, std::size_t start, std::size_t length) {
    return {v.data() + start, length};
}

// The bars as a feed delivers them: the history at once, then one at a time, then in
// runs of 0 to 40 bars. Calls feed(start, length) for each delivery.
template <class Feed>
void deliver(std::mt19937_64& rng, Feed&& feed) {
    feed(0, history);
    for (std::size_t i = history; i < history + bar_by_bar; ++i) {
        feed(i, 1);
    }
    std::uniform_int_distribution<std::size_t> length(0, 40);
    for (std::size_t start = history + bar_by_bar; start < total;) {
        const std::size_t k = std::min(length(rng), total - start);
        feed(start, k);
        start += k;
    }
}

int differences(const char* name, const std::vector<double>& batch,
                const std::vector<double>& live) {
    int differ = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(batch[i]) != std::bit_cast<std::uint64_t>(live[i])) {
            if (differ < 5) {
                std::printf("%s[%zu]: batch 0x%016llx, live 0x%016llx\n", name, i,
                            static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(batch[i])),
                            static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(live[i])));
            }
            ++differ;
        }
    }
    std::printf("%-12s %zu bars: %s\n", name, batch.size(),
                differ == 0 ? "live equals batch, bit for bit" : "DIFFERS");
    return differ;
}

}  // namespace

int main() {
    // A random walk of bars, and its closes with a few gaps, which the exponential
    // averages step over (a gap would end a simple moving average for good).
    std::mt19937_64 rng(20261209);
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_real_distribution<double> spread(0.0, 1.0);
    std::vector<double> high(total), low(total), close(total), gapped(total);
    double price = 100.0;
    for (std::size_t i = 0; i < total; ++i) {
        price += step(rng);
        close[i] = price;
        gapped[i] = i % 397 == 396 ? gap : price;
        high[i] = price + spread(rng);
        low[i] = price - spread(rng);
    }

    auto sma_state = marundex::core::SmaState::create(20);
    auto macd_state = marundex::core::MacdState::create(12, 26, 9);
    if (!sma_state || !macd_state) {
        std::puts("a state could not be made");
        return 1;
    }
    marundex::core::EmaState ema_state(20);
    marundex::core::AtrState atr_state(14);

    std::vector<double> sma_live(total), ema_live(total), atr_live(total);
    std::vector<double> line_live(total), signal_live(total), hist_live(total);
    deliver(rng, [&](std::size_t s, std::size_t k) {
        sma_state->advance(in(close, s, k), out(sma_live, s, k));
        ema_state.advance(in(gapped, s, k), out(ema_live, s, k));
        macd_state->advance(in(gapped, s, k), out(line_live, s, k), out(signal_live, s, k),
                            out(hist_live, s, k));
        atr_state.advance(in(high, s, k), in(low, s, k), in(close, s, k), out(atr_live, s, k));
    });

    std::vector<double> sma(total), ema(total), atr(total), line(total), signal(total), hist(total);
    marundex::core::sma(20, in(close, 0, total), out(sma, 0, total));
    marundex::core::ema(20, in(gapped, 0, total), out(ema, 0, total));
    marundex::core::macd(12, 26, 9, in(gapped, 0, total), out(line, 0, total),
                         out(signal, 0, total), out(hist, 0, total));
    marundex::core::atr(14, in(high, 0, total), in(low, 0, total), in(close, 0, total),
                        out(atr, 0, total));

    const int differ =
        differences("sma(20)", sma, sma_live) + differences("ema(20)", ema, ema_live) +
        differences("macd line", line, line_live) +
        differences("macd signal", signal, signal_live) +
        differences("macd hist", hist, hist_live) + differences("atr(14)", atr, atr_live);
    return differ == 0 ? 0 : 1;
}
