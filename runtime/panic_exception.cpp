#include "panic_exception.hpp"

#include <cstdio>
#include <cstdlib>

#include "error.hpp"
#include "internal_failure.hpp"
#include "write_once.hpp"

namespace marundex::runtime {

namespace {

constexpr const char* doc =
    "\n"
    "The exception raised when native code of an extension module fails while it is\n"
    "being called from Python.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException, so that it normally\n"
    "propagates through the whole stack and makes the interpreter exit.\n";

WriteOnce<PyObject*> cell;

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (PyObject* const* stored = cell.get()) {
        return *stored;
    }
    PyObject* created =
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", doc, PyExc_BaseException, nullptr);
    if (created == nullptr) {
        // Taken directly: PyErr::take would ask for this very class again.
        PyObject* pending = compat::get_raised_exception();
        internal_failure("Failed to initialize new exception type.",
                         pending != nullptr ? PyErr::from_exception(pending)
                                            : PyErr::with_fixed_text(
                                                  PyExc_SystemError,
                                                  "attempted to fetch exception but none was set"));
    }
    return cell.publish(created, [](PyObject* loser) { Py_DecRef(loser); });
}

void resume_panic(PyObject* exception) noexcept {
    std::fputs(
        "--- marundex is resuming an internal failure after fetching a PanicException from "
        "Python ---\n",
        stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    compat::set_raised_exception(exception);
    PyErr_PrintEx(0);
    std::abort();
}

}  // namespace marundex::runtime
