// marundex-core: technical-analysis kernels over runs of IEEE-754 binary64 values.
//
// The kernels know nothing of Python. They allocate nothing and cannot fail once
// their preconditions hold. Every result is defined bit for bit: the order of every
// floating-point operation is part of each kernel's contract, and the library is
// compiled without fused multiply-add and without fast-math so that it stays so.
//
// Runs are given as an address and a count of float64 elements. The address need
// not be aligned to 8 bytes (arrays over byte buffers at odd offsets reach here),
// and an output run may be the very same memory as an input run: each kernel
// states what that yields.
//
// This header is installed for C++ programs and holds declarations only. Keep it
// so: code defined here would be compiled with the including program's flags
// (-ffast-math, FMA contraction), while the kernels in the static library keep
// the flags they were built with.
#pragma once

#include <cstddef>
#include <cstdint>

namespace marundex::core {

// A read-only run of `length` consecutive float64 values starting at `data`.
struct InputRun {
    const void* data;
    std::size_t length;
};

// A run of `length` consecutive float64 values that a kernel writes.
struct OutputRun {
    void* data;
    std::size_t length;
};

// Simple moving average over a running sum. Requires out.length == data.length.
// A period of 0, or one longer than the series, leaves `out` NaN throughout.
void sma(std::uint64_t period, InputRun data, OutputRun out) noexcept;

// Exponential moving average seeded by the mean of the first all-finite window.
// Non-finite inputs after the seed give NaN at their own position only.
// Requires out.length == data.length.
void ema(std::uint64_t period, InputRun data, OutputRun out) noexcept;

// MACD line, signal line and histogram. Requires fast, slow and signal > 0 and
// fast < slow (the caller checks), and each output at least as long as `data`.
void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
          InputRun data, OutputRun macd_out, OutputRun signal_out, OutputRun hist_out) noexcept;

// Average true range with Wilder smoothing. `high`, `low` and `close` have one common
// length n; `out` has its own length m and is filled with NaN throughout. When
// 0 < period < n the kernel writes positions up to n - 1, so it then requires m >= n.
void atr(std::uint64_t period, InputRun high, InputRun low, InputRun close, OutputRun out) noexcept;

}  // namespace marundex::core
