// Early return of a failed step, so that an entry point reads as its list of steps.
#pragma once

#include <utility>

#include "error.hpp"

// Evaluates `expression` (a Result); on failure returns its error from the enclosing
// function, otherwise binds the Result to `name`. `name` is a declarator, which
// cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define MARUNDEX_TRY(name, expression)                                \
    auto name = (expression);                                         \
    if (!name) {                                                      \
        return ::marundex::runtime::failure(std::move(name.error())); \
    }
// NOLINTEND(bugprone-macro-parentheses)
