// Attribute names the module looks up, created and interned once per process.
#pragma once

#include "python_api.hpp"

namespace marundex::runtime {

enum class InternedName { dunder_name, dunder_all, io, string_io, getvalue, add_note };

// Borrowed; lives until the process ends.
PyObject* interned(InternedName name) noexcept;

}  // namespace marundex::runtime
