// The PanicException class: the exception that marks a failure of native code
// raised back into Python. The module never raises it; finding it pending means
// that native code failed further up the stack, and the failure is resumed.
#pragma once

#include "python_api.hpp"

namespace marundex::runtime {

// Created at the first need and kept for the process. Borrowed.
PyObject* panic_exception_type() noexcept;

// Ends the process for a pending-exception object of the PanicException class.
[[noreturn]] void resume_panic(PyObject* exception) noexcept;

}  // namespace marundex::runtime
