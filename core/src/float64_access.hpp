// Element access and IEEE-754 predicates shared by the kernels.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "marundex/core.hpp"

namespace marundex::core::detail {

// The NaN stored at every position that has no value: the quiet NaN, sign clear.
inline constexpr double quiet_nan = std::bit_cast<double>(std::uint64_t{0x7ff8'0000'0000'0000});

inline constexpr std::uint64_t exponent_mask = 0x7ff0'0000'0000'0000;

// Runs may start at any byte address. memcpy keeps every access well-defined
// there and still compiles to a single unaligned move.
inline double load(const void* run, std::size_t index) noexcept {
    double value;
    std::memcpy(&value, static_cast<const std::byte*>(run) + index * sizeof(double), sizeof value);
    return value;
}

inline void store(void* run, std::size_t index, double value) noexcept {
    std::memcpy(static_cast<std::byte*>(run) + index * sizeof(double), &value, sizeof value);
}

inline void fill_nan(OutputRun out, std::size_t from, std::size_t to) noexcept {
    for (std::size_t i = from; i < to; ++i) {
        store(out.data, i, quiet_nan);
    }
}

inline void fill_nan(OutputRun out) noexcept {
    fill_nan(out, 0, out.length);
}

// Whether the two runs share any byte. An output that shares none with the inputs
// can skip the pre-fill of positions that the kernel writes anyway: no read can
// see the difference. Overlapping runs keep the full pre-fill, because there the
// reads do see what was stored before them.
inline bool overlap(InputRun in, OutputRun out) noexcept {
    const auto in_start = reinterpret_cast<std::uintptr_t>(in.data);
    const auto out_start = reinterpret_cast<std::uintptr_t>(out.data);
    return in.length != 0 && out.length != 0 &&
           in_start < out_start + out.length * sizeof(double) &&
           out_start < in_start + in.length * sizeof(double);
}

// Whether two runs of one element each share any byte: their addresses are less
// than an element apart. The test of a live feed's one bar a call.
inline bool overlap_one(const void* a, const void* b) noexcept {
    const std::uintptr_t apart =
        reinterpret_cast<std::uintptr_t>(a) - reinterpret_cast<std::uintptr_t>(b);
    return apart + (sizeof(double) - 1) < 2 * sizeof(double) - 1;
}

// Finite means the exponent bits are not all ones, tested on the bits so that no
// compiler setting can fold the test away.
inline bool is_finite(double x) noexcept {
    return (std::bit_cast<std::uint64_t>(x) & exponent_mask) != exponent_mask;
}

// A floating-point comparison (unordered with itself) keeps a running value
// in its floating-point register: a test on the bits would move it through an
// integer register on every step of a recurrence. The core is always compiled
// without fast-math, which could fold the comparison away.
inline bool is_nan(double x) noexcept {
    return std::isnan(x);
}

// a + b, evaluated with a as the first operand. The sum of two NaN is one of them,
// chosen by the operand order of the machine's addition (the first on x86-64 and
// aarch64), and a compiler may swap the operands of a plain + as it likes: then the
// NaN that a sum carries would depend on the code around it, and a bar taken in one
// loop of a kernel could differ from the same bar taken in another. Every sum that
// may meet two NaN goes through here.
inline double plus(double a, double b) noexcept {
#if defined(__x86_64__) && defined(__AVX__)
    asm("vaddsd %2, %1, %0" : "=x"(a) : "x"(a), "x"(b));
#elif defined(__x86_64__)
    asm("addsd %1, %0" : "+x"(a) : "x"(b));
#elif defined(__aarch64__)
    asm("fadd %d0, %d0, %d1" : "+w"(a) : "w"(b));
#else
    a = a + b;
#endif
    return a;
}

// x as it is, in a register of its own. A compiler may pair two sums that a
// recurrence carries in one vector register, and when one of them feeds the
// other's step, that puts a shuffle on the chain from bar to bar; a value that
// comes out of an empty asm cannot be paired.
inline double unpaired(double x) noexcept {
#if defined(__x86_64__)
    asm("" : "+x"(x));
#elif defined(__aarch64__)
    asm("" : "+w"(x));
#endif
    return x;
}

// maxNum of IEEE 754-2008: a NaN operand is ignored (of two NaN, b is the result),
// and of +0 and -0 the result is +0. The definition as written; the true range
// takes a cheaper selection where SSE2 is there (true_range.hpp).
inline double max_num(double a, double b) noexcept {
    const auto bits_a = std::bit_cast<std::uint64_t>(a);
    const auto bits_b = std::bit_cast<std::uint64_t>(b);
    std::uint64_t result = a > b ? bits_a : bits_b;
    result = a == b ? (bits_a & bits_b) : result;
    result = is_nan(b) ? bits_a : result;
    result = is_nan(a) ? bits_b : result;
    return std::bit_cast<double>(result);
}

// A period enters the arithmetic as the nearest double of the unsigned integer.
inline double period_as_double(std::uint64_t period) noexcept {
    return static_cast<double>(period);
}

}  // namespace marundex::core::detail
