#include "call_frame.hpp"

namespace marundex::runtime {

CallFrame::CallFrame() noexcept {
    const std::int64_t depth = lock_depth;
    if (depth < 0) {
        internal_failure(depth == -1
                             ? "Access to the GIL is prohibited while a __traverse__ implmentation "
                               "is running."
                             : "Access to the GIL is currently prohibited.");
    }
    lock_depth = depth + 1;
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
