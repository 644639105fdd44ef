// The text of a Python object as it appears inside the module's messages.
#pragma once

#include <string>

#include "python_api.hpp"

namespace marundex::runtime {

// str(object) as UTF-8. Never fails: an object whose str() raises reads as
// "<unprintable TYPE object>", and lone surrogates become U+FFFD.
std::string object_text(PyObject* object);

// repr(object) as UTF-8, falling back to object_text when repr() raises.
std::string object_repr(PyObject* object);

}  // namespace marundex::runtime
