// Matching the arguments of a fast call to a function's parameter list.
#pragma once

#include <cstddef>
#include <span>

#include "error.hpp"
#include "python_api.hpp"

namespace marundex::runtime {

struct KeywordOnlyParameter {
    const char* name;
    bool required;
};

// The static description of a function's parameters.
struct CallSignature {
    const char* function_name;
    std::span<const char* const> positional;
    std::span<const KeywordOnlyParameter> keyword_only;
    const char* class_name = nullptr;  // shown as "class.function()" when present
    std::size_t positional_only_count = 0;
    std::size_t required_positional_count = 0;
};

// Fills `slots` (positional parameters first, then keyword-only ones; all empty on
// entry) with borrowed references to the bound arguments, or fails with the
// TypeError that the interpreter's own functions would give. Allocates nothing
// unless it fails.
Result<void> bind_arguments(const CallSignature& signature, PyObject* const* args,
                            Py_ssize_t positional_count, PyObject* keyword_names,
                            std::span<PyObject*> slots) noexcept;

}  // namespace marundex::runtime
