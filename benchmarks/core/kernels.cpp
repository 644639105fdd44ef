// Cost per element of each kernel on random-walk prices, at sizes that sit in
// the first-level cache, in the last-level cache and in main memory.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "marundex/core.hpp"
#include "prices.hpp"

namespace {

using marundex::core::InputRun;
using marundex::core::OutputRun;

using marundex::bench::Prices;
using marundex::bench::random_walk;

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
