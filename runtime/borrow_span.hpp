// The memory that an array can reach, as the borrow registry records it.
#pragma once

#include <cstdint>

#include "borrow_key.hpp"
#include "python_api.hpp"

namespace marundex::runtime {

// The memory an array can reach, from its data pointer, dimensions and strides.
BorrowSpan borrow_span(PyObject* array, std::int64_t element_size) noexcept;

}  // namespace marundex::runtime
