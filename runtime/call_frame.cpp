#include "call_frame.hpp"

namespace marundex::runtime {

namespace {

// In a shared object every access to a thread-local variable is a call into the
// dynamic loader, which the compiler repeats rather than keep the address: a frame
// asks once, through a call that it cannot repeat.
[[gnu::noinline]] std::int64_t& this_thread_lock_depth() noexcept {
    return lock_depth;
}

}  // namespace

CallFrame::CallFrame() noexcept : depth_(this_thread_lock_depth()) {
    const std::int64_t depth = depth_;
    if (depth < 0) {
        internal_failure(depth == -1
                             ? "Access to the GIL is prohibited while a __traverse__ implmentation "
                               "is running."
                             : "Access to the GIL is currently prohibited.");
    }
    depth_ = depth + 1;
    flush_pending_releases();
}

PyObject* CallFrame::finish(Result<PyObject*> outcome) noexcept {
    if (outcome) {
        return *outcome;
    }
    std::move(outcome.error()).raise();
    return nullptr;
}

PyObject* CallFrame::finish(Result<void> outcome) noexcept {
    if (outcome) {
        return Py_NewRef(Py_None);
    }
    std::move(outcome.error()).raise();
    return nullptr;
}

}  // namespace marundex::runtime
