// The text of a Python object as it appears inside the module's messages.
#pragma once

#include <optional>
#include <string>

#include "python_api.hpp"

namespace marundex::runtime {

// str(object) as UTF-8. Never fails: an object whose str() raises reads as
// "<unprintable TYPE object>", and lone surrogates become U+FFFD.
std::string object_text(PyObject* object);

// repr(object) as UTF-8, falling back to object_text when repr() raises.
std::string object_repr(PyObject* object);

// The UTF-8 of `text`, a new reference to a str or null when the call that was to
// make it failed; takes over the reference. On any failure the pending exception
// is discarded and the result is empty.
std::optional<std::string> utf8_of_new(PyObject* text);

// The type's __name__ (or, `qualified`, its __qualname__), or
// "<failed to extract type name>".
std::string type_name_text(PyTypeObject* type, bool qualified);

}  // namespace marundex::runtime
