// Wilder's smoothing, which RSI, NATR and DMI take: the EMA's step with
// alpha = 1 / period.
#pragma once

namespace marundex::core::detail {

// beta * average + alpha * x, beta = 1 - alpha: two separately rounded products,
// then their sum. Only the product with the average is on the chain from bar to
// bar, and an average that overflowed stays +inf rather than turning NaN.
inline double wilder_step(double alpha, double beta, double average, double x) noexcept {
    return beta * average + alpha * x;
}

}  // namespace marundex::core::detail
