// The cost of resuming: each indicator's state fed a series in runs of 1, 16, 256
// and 2,520 bars, against the batch kernel over the same bars, in ns per bar.
//
//   marundex_resume_benchmark [--rounds N] [--bars N] [--markdown FILE]
//
// Every round times every configuration once, in turn, so that noise on the machine
// falls on all of them alike; the table gives the median of the rounds and, beside
// it, the lowest and highest. A configuration repeats its whole series, each time
// from a fresh state, until it has lasted 2 ms. Before timing, the outputs of every
// configuration are checked equal to the batch kernel's, bit for bit.
#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "marundex/core.hpp"
#include "prices.hpp"

namespace {

using marundex::core::InputRun;
using marundex::core::OutputRun;

using marundex::bench::Prices;
using marundex::bench::random_walk;

InputRun in(const std::vector<double>& v, std::size_t start, std::size_t length) {
    return {v.data() + start, length};
}

OutputRun out(std::vector<double>& v, std::size_t start, std::size_t length) {
    return {v.data() + start, length};
}

// One indicator: the batch kernel over the whole series, and a fresh state fed the
// series in runs of `chunk` bars (the last run shorter where it does not divide).
struct Indicator {
    const char* name;
    std::function<void()> batch;
    std::function<void(std::size_t chunk)> resumed;
    // The outputs the two write, compared after each.
    std::vector<std::vector<double>*> outputs;
};

template <class Advance>
void in_runs(std::size_t n, std::size_t chunk, Advance&& advance) {
    for (std::size_t start = 0; start < n; start += chunk) {
        advance(start, std::min(chunk, n - start));
    }
}

// Fails the program: a benchmark must never time code that computes other bits.
[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "resume benchmark: %s\n", why.c_str());
    std::exit(1);
}

template <class T>
T made(std::expected<T, marundex::core::StateError> state) {
    if (!state) {
        fail("a state could not be made");
    }
    return std::move(*state);
}

std::vector<Indicator> indicators(const Prices& p, std::vector<std::vector<double>>& o) {
    const std::size_t n = p.close.size();
    o.assign(4, std::vector<double>(n));
    std::vector<double>& line = o[0];
    std::vector<double>& signal = o[1];
    std::vector<double>& hist = o[2];
    std::vector<double>& single = o[3];
    std::vector<Indicator> list;
    list.push_back(
        {"SMA 20",
         [&p, &single, n] { marundex::core::sma(20, in(p.close, 0, n), out(single, 0, n)); },
         [&p, &single, n](std::size_t chunk) {
             auto state = made(marundex::core::SmaState::create(20));
             in_runs(n, chunk, [&](std::size_t s, std::size_t k) {
                 state.advance(in(p.close, s, k), out(single, s, k));
             });
         },
         {&single}});
    list.push_back(
        {"EMA 20",
         [&p, &single, n] { marundex::core::ema(20, in(p.close, 0, n), out(single, 0, n)); },
         [&p, &single, n](std::size_t chunk) {
             marundex::core::EmaState state(20);
             in_runs(n, chunk, [&](std::size_t s, std::size_t k) {
                 state.advance(in(p.close, s, k), out(single, s, k));
             });
         },
         {&single}});
    list.push_back({"MACD 12/26/9",
                    [&p, &line, &signal, &hist, n] {
                        marundex::core::macd(12, 26, 9, in(p.close, 0, n), out(line, 0, n),
                                             out(signal, 0, n), out(hist, 0, n));
                    },
                    [&p, &line, &signal, &hist, n](std::size_t chunk) {
                        auto state = made(marundex::core::MacdState::create(12, 26, 9));
                        in_runs(n, chunk, [&](std::size_t s, std::size_t k) {
                            state.advance(in(p.close, s, k), out(line, s, k), out(signal, s, k),
                                          out(hist, s, k));
                        });
                    },
                    {&line, &signal, &hist}});
    list.push_back({"ATR 14",
                    [&p, &single, n] {
                        marundex::core::atr(14, in(p.high, 0, n), in(p.low, 0, n),
                                            in(p.close, 0, n), out(single, 0, n));
                    },
                    [&p, &single, n](std::size_t chunk) {
                        marundex::core::AtrState state(14);
                        in_runs(n, chunk, [&](std::size_t s, std::size_t k) {
                            state.advance(in(p.high, s, k), in(p.low, s, k), in(p.close, s, k),
                                          out(single, s, k));
                        });
                    },
                    {&single}});
    return list;
}

std::vector<std::uint64_t> bits_of(const std::vector<std::vector<double>*>& outputs) {
    std::vector<std::uint64_t> all;
    for (const std::vector<double>* v : outputs) {
        for (const double x : *v) {
            all.push_back(std::bit_cast<std::uint64_t>(x));
        }
    }
    return all;
}

// Nanoseconds per bar of `work` over n bars, repeated until it has lasted 2 ms.
double time_per_bar(const std::function<void()>& work, std::size_t n) {
    using clock = std::chrono::steady_clock;
    std::size_t repeats = 0;
    const auto start = clock::now();
    auto elapsed = clock::duration::zero();
    do {
        work();
        ++repeats;
        elapsed = clock::now() - start;
    } while (elapsed < std::chrono::milliseconds(2));
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
           static_cast<double>(repeats * n);
}

struct Spread {
    double median;
    double low;
    double high;
};

Spread spread_of(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.front(), samples.back()};
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 15;
    std::size_t bars = 2520 * 8;
    const char* markdown = nullptr;
    for (int a = 1; a + 1 < argc; a += 2) {
        const std::string_view flag = argv[a];
        if (flag == "--rounds") {
            rounds = std::atoi(argv[a + 1]);
        } else if (flag == "--bars") {
            bars = static_cast<std::size_t>(std::atoll(argv[a + 1]));
        } else if (flag == "--markdown") {
            markdown = argv[a + 1];
        } else {
            fail("unknown argument " + std::string(flag));
        }
    }
    const std::vector<std::size_t> chunks = {1, 16, 256, 2520};
    const Prices prices = random_walk(bars);
    std::vector<std::vector<double>> outputs;
    const std::vector<Indicator> list = indicators(prices, outputs);

    for (const Indicator& indicator : list) {
        indicator.batch();
        const std::vector<std::uint64_t> expected = bits_of(indicator.outputs);
        for (const std::size_t chunk : chunks) {
            for (std::vector<double>* v : indicator.outputs) {
                std::fill(v->begin(), v->end(), 0.0);
            }
            indicator.resumed(chunk);
            if (bits_of(indicator.outputs) != expected) {
                fail(std::string(indicator.name) + " in runs of " + std::to_string(chunk) +
                     " bars differs from the batch kernel");
            }
        }
    }

    // samples[indicator][0] is the batch kernel, [1 + c] the runs of chunks[c].
    std::vector<std::vector<std::vector<double>>> samples(
        list.size(), std::vector<std::vector<double>>(1 + chunks.size()));
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < list.size(); ++k) {
            samples[k][0].push_back(time_per_bar(list[k].batch, bars));
            for (std::size_t c = 0; c < chunks.size(); ++c) {
                samples[k][1 + c].push_back(
                    time_per_bar([&] { list[k].resumed(chunks[c]); }, bars));
            }
        }
    }

    std::string table =
        "| indicator | batch ns/bar | runs of | ns/bar, median | lowest–highest | × batch |\n"
        "|---|---|---|---|---|---|\n";
    for (std::size_t k = 0; k < list.size(); ++k) {
        const Spread batch = spread_of(samples[k][0]);
        for (std::size_t c = 0; c < chunks.size(); ++c) {
            const Spread s = spread_of(samples[k][1 + c]);
            std::array<char, 256> row{};
            std::snprintf(row.data(), row.size(), "| %s | %.3f | %zu | %.3f | %.3f–%.3f | %.2f |\n",
                          list[k].name, batch.median, chunks[c], s.median, s.low, s.high,
                          s.median / batch.median);
            table += row.data();
        }
    }
    std::fputs(table.c_str(), stdout);
    if (markdown != nullptr) {
        std::FILE* file = std::fopen(markdown, "w");
        if (file == nullptr) {
            fail(std::string("cannot write ") + markdown);
        }
        std::fprintf(file,
                     "Each state fed %zu bars of a random walk in runs of the given length, "
                     "from a fresh state, against the batch kernel over the same bars; "
                     "median of %d interleaved rounds.\n\n",
                     bars, rounds);
        std::fputs(table.c_str(), file);
        std::fclose(file);
    }
    return 0;
}
