// The bars the core benchmarks run on.
#pragma once

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

namespace marundex::bench {

struct Prices {
    std::vector<double> high;
    std::vector<double> low;
    std::vector<double> close;
};

// Bars of a geometric random walk, the shape of real price series: no NaN and no
// infinities, so every kernel takes its ordinary path throughout.
inline Prices random_walk(std::size_t n) {
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

}  // namespace marundex::bench
