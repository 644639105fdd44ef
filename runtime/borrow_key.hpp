// What the borrow registry records of an array, and what it answers: the object
// that owns the memory, the memory the array can reach, and when two such spans
// may share an element. Nothing here needs the interpreter.
#pragma once

#include <cstdint>

namespace marundex::runtime {

struct BorrowSpan {
    std::uintptr_t start;  // lowest byte address the array can touch
    std::uintptr_t end;    // one past the highest
    std::uintptr_t data;   // address of element 0
    std::int64_t stride_gcd;
    std::int64_t element_size;  // bytes of one element, which starts at data + k * stride_gcd

    friend bool operator==(const BorrowSpan&, const BorrowSpan&) = default;
};

struct BorrowKey {
    const void* base;
    BorrowSpan span;
};

// The answers of the registry's operations, as the capsule's table gives them.
inline constexpr std::int32_t borrow_granted = 0;
inline constexpr std::int32_t already_borrowed = -1;
inline constexpr std::int32_t not_writeable = -2;

// The magnitude of a stride, through unsigned arithmetic so that the most negative
// value has one too.
inline std::uint64_t stride_magnitude(std::int64_t value) noexcept {
    const auto bits = static_cast<std::uint64_t>(value);
    return value < 0 ? ~bits + 1 : bits;
}

// May the two spans share a byte? Errs only towards yes: spans whose elements can
// be made to overlap by whole steps of their common stride divisor are taken to
// share one.
bool spans_conflict(const BorrowSpan& candidate, const BorrowSpan& registered) noexcept;

}  // namespace marundex::runtime
