// The key under which a borrow of array memory is recorded, and when two keys
// may share an element.
#pragma once

#include <cstdint>

#include "python_api.hpp"

namespace marundex::runtime {

struct BorrowSpan {
    std::uintptr_t start;  // lowest byte address the array can touch
    std::uintptr_t end;    // one past the highest
    std::uintptr_t data;   // address of element 0
    std::int64_t stride_gcd;
    std::int64_t element_size;  // bytes of one element, which starts at data + k * stride_gcd

    friend bool operator==(const BorrowSpan&, const BorrowSpan&) = default;
};

// The memory an array can reach, from its data pointer, dimensions and strides.
BorrowSpan borrow_span(PyObject* array, std::int64_t element_size) noexcept;

// May the two spans share a byte? Errs only towards yes: spans whose elements can
// be made to overlap by whole steps of their common stride divisor are taken to
// share one.
bool spans_conflict(const BorrowSpan& candidate, const BorrowSpan& registered) noexcept;

}  // namespace marundex::runtime
