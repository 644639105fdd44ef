// The indicator functions' own checks, each reported as a ValueError with a fixed
// text; the refusals a newcomer meets first carry a note that says how to fix them.
#pragma once

#include "error.hpp"
#include "notes.hpp"
#include "numpy_api.hpp"

namespace marundex::runtime {

inline PyErr value_error(StaticText text) noexcept {
    return PyErr::with_fixed_text(PyExc_ValueError, text);
}

// An output that would be written must accept writes; an empty one is never written.
inline bool rejects_writes(PyObject* output, const SeriesView& view) noexcept {
    return view.length > 0 && !is_writeable(output);
}

inline PyErr not_contiguous_error(StaticText text, const char* parameter, const SeriesView& view,
                                  notes::ArrayRole role) noexcept {
    return value_error(text).with_note(notes::contiguity(parameter, view, role));
}

inline PyErr read_only_error(StaticText text, const char* parameter) noexcept {
    return value_error(text).with_note(notes::read_only(parameter));
}

inline PyErr shared_memory_error(StaticText text) noexcept {
    return value_error(text).with_note(notes::shared_memory());
}

}  // namespace marundex::runtime
