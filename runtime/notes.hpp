// The notes that errors carry (PEP 678) to say what was expected and how to fix it.
// Every text a note can hold is composed here, and only when its error is made.
#pragma once

#include <string>

#include "numpy_api.hpp"
#include "python_api.hpp"

namespace marundex::runtime::notes {

// Inputs are only read, so a converted copy serves; outputs must be the caller's
// own arrays, since a copy would receive the results instead.
enum class ArrayRole { input, output };

// For an argument that failed the array test: what it is, and how to make one that passes.
std::string conversion(PyObject* object, const char* parameter, ArrayRole role) noexcept;

// For an input that is not a float64 array: how to convert a series of its kind
// (NumPy, a list or tuple, pandas, polars, pyarrow), and that marundex_ta takes it
// as it is; empty for any other kind.
std::string series_conversion(PyObject* object) noexcept;

// For an array refused as not contiguous: the stride found, and the fix.
std::string contiguity(const char* parameter, const SeriesView& view, ArrayRole role) noexcept;

// For an output refused as read-only.
std::string read_only(const char* parameter) noexcept;

// For an output refused because it shares memory with an input or another output.
std::string shared_memory() noexcept;

// For a period out of the unsigned 64-bit range.
std::string period_range(const char* parameter) noexcept;

}  // namespace marundex::runtime::notes
