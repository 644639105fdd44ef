// Broken invariants and exhausted resources: they have no Python-level report, so
// the process ends with a diagnostic on its standard error stream.
#pragma once

#include <source_location>

#include "error.hpp"

namespace marundex::runtime {

[[noreturn]] void internal_failure(
    const char* message, std::source_location where = std::source_location::current()) noexcept;

// The same, with a description of `error` (type, value, traceback) after the message.
[[noreturn]] void internal_failure(
    const char* message, PyErr error,
    std::source_location where = std::source_location::current()) noexcept;

// A failed CPython call whose pending error cannot be reported otherwise.
[[noreturn]] void python_api_call_failed(
    std::source_location where = std::source_location::current()) noexcept;

}  // namespace marundex::runtime
