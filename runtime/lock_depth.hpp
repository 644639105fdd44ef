// How many module frames hold the interpreter lock on the current thread.
#pragma once

#include <cstdint>

namespace marundex::runtime {

// Positive: this thread holds the interpreter lock inside that many module frames.
// Zero: outside the module, or inside a section that has released the lock.
// Negative values would prohibit taking the lock; the module never stores one.
inline thread_local std::int64_t lock_depth = 0;

}  // namespace marundex::runtime
