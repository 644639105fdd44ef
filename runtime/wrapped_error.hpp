// Failures of the module's own machinery, reported with the error that caused them.
#pragma once

#include "error.hpp"

namespace marundex::runtime {

// RuntimeError "<context>: <cause's type name>: <cause's message>", whose __cause__
// is the original exception.
PyErr runtime_error_caused_by(const char* context, PyErr cause) noexcept;

}  // namespace marundex::runtime
