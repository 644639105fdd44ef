// The bookkeeping around every call into the module, and the section in which a
// computation runs with the interpreter lock released.
#pragma once

#include <cstdint>
#include <utility>

#include "error.hpp"
#include "internal_failure.hpp"
#include "lock_depth.hpp"
#include "python_api.hpp"
#include "references.hpp"

namespace marundex::runtime {

class CallFrame {
  public:
    CallFrame() noexcept;
    ~CallFrame() { --depth_; }
    CallFrame(const CallFrame&) = delete;
    CallFrame& operator=(const CallFrame&) = delete;
    CallFrame(CallFrame&&) = delete;
    CallFrame& operator=(CallFrame&&) = delete;

    // The result object (a new reference), or NULL with the error raised.
    static PyObject* finish(Result<PyObject*> outcome) noexcept;
    // None, or NULL with the error raised.
    static PyObject* finish(Result<void> outcome) noexcept;

  private:
    // This thread's lock_depth, located once per frame (see call_frame.cpp).
    std::int64_t& depth_;
};

// Runs an entry point's body inside a frame. The body returns its outcome with
// every borrow and reference already given back; only then is an error raised.
template <typename Body>
PyObject* run_in_call_frame(Body&& body) noexcept {
    const CallFrame frame;
    try {
        return CallFrame::finish(std::forward<Body>(body)());
    } catch (...) {
        // Only an exhausted allocator throws here; there is no Python-level report.
        internal_failure("a C++ exception reached the call frame");
    }
}

// The computation must touch no Python object and call no CPython function. The
// lock is released even for short runs: other threads then progress during every
// kernel, at the price of one release and re-acquisition per call.
template <typename Computation>
void without_interpreter_lock(Computation&& computation) noexcept {
    const std::int64_t saved = std::exchange(lock_depth, 0);
    PyThreadState* thread_state = PyEval_SaveThread();
    std::forward<Computation>(computation)();
    lock_depth = saved;
    PyEval_RestoreThread(thread_state);
    flush_pending_releases();
}

}  // namespace marundex::runtime
