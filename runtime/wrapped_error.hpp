// Failures of the module's own machinery, reported with the error that caused them.
#pragma once

#include <string>

#include "error.hpp"

namespace marundex::runtime {

// RuntimeError "<context>: <cause's type name>: <cause's message>", whose __cause__
// is the original exception.
PyErr runtime_error_caused_by(const char* context, PyErr cause) noexcept;

// `exception_class` with the message "argument '<parameter>': <detail>".
PyErr parameter_error(PyObject* exception_class, const char* parameter,
                      const std::string& detail) noexcept;

}  // namespace marundex::runtime
