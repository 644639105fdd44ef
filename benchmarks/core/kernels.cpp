// Cost per element of each kernel on random-walk prices, at sizes that sit in
// the first-level cache, in the last-level cache and in main memory.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "marundex/core.hpp"

namespace {

using marundex::core::InputRun;
using marundex::core::OutputRun;

struct Prices {
    std::vector<double> high;
    std::vector<double> low;
    std::vector<double> close;
};

// Bars of a geometric random walk, the shape of real price series: no NaN and no
// infinities, so every kernel takes its ordinary path throughout.
Prices random_walk(std::size_t n) {
    std::mt19937_64 rng(0x6d617275);
    std::normal_distribution<double> step(0.0, 0.01);
    std::uniform_real_distribution<double> range(0.0, 0.005);
    Prices p{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)};
    double price = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        price *= std::exp(step(rng));
        p.close[i] = price;
        p.high[i] = price * (1.0 + range(rng));
        p.low[i] = price * (1.0 - range(rng));
    }
    return p;
}

InputRun input(const std::vector<double>& v) {
    return {v.data(), v.size()};
}

OutputRun output(std::vector<double>& v) {
    return {v.data(), v.size()};
}

// Items are elements of the input series. The counter is the inverted rate of n
// elements per iteration: seconds per element, printed with its SI prefix
// ("1.8ns"), and in seconds in the JSON output.
void report(benchmark::State& state, std::size_t n) {
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
    state.counters["per_element"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

void bm_sma(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const Prices p = random_walk(n);
    std::vector<double> out(n);
    for (auto _ : state) {
        marundex::core::sma(20, input(p.close), output(out));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, n);
}

void bm_ema(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const Prices p = random_walk(n);
    std::vector<double> out(n);
    for (auto _ : state) {
        marundex::core::ema(20, input(p.close), output(out));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, n);
}

void bm_macd(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const Prices p = random_walk(n);
    std::vector<double> line(n);
    std::vector<double> signal(n);
    std::vector<double> hist(n);
    for (auto _ : state) {
        marundex::core::macd(12, 26, 9, input(p.close), output(line), output(signal), output(hist));
        benchmark::DoNotOptimize(line.data());
        benchmark::DoNotOptimize(signal.data());
        benchmark::DoNotOptimize(hist.data());
        benchmark::ClobberMemory();
    }
    report(state, n);
}

void bm_atr(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const Prices p = random_walk(n);
    std::vector<double> out(n);
    for (auto _ : state) {
        marundex::core::atr(14, input(p.high), input(p.low), input(p.close), output(out));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, n);
}

constexpr std::int64_t small = 1'000;
constexpr std::int64_t medium = 100'000;
constexpr std::int64_t large = 10'000'000;

BENCHMARK(bm_sma)->Arg(small)->Arg(medium)->Arg(large);
BENCHMARK(bm_ema)->Arg(small)->Arg(medium)->Arg(large);
BENCHMARK(bm_macd)->Arg(small)->Arg(medium)->Arg(large);
BENCHMARK(bm_atr)->Arg(small)->Arg(medium)->Arg(large);

}  // namespace

BENCHMARK_MAIN();
