// The indicator functions' own checks, each reported as a ValueError with a fixed text.
#pragma once

#include "error.hpp"
#include "numpy_api.hpp"

namespace marundex::runtime {

inline PyErr value_error(const char* text) noexcept {
    return PyErr::with_fixed_text(PyExc_ValueError, text);
}

// An output that would be written must accept writes; an empty one is never written.
inline bool rejects_writes(PyObject* output, const SeriesView& view) noexcept {
    return view.length > 0 && !is_writeable(output);
}

}  // namespace marundex::runtime
