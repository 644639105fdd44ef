#include "internal_failure.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "interned.hpp"
#include "lock_depth.hpp"
#include "object_text.hpp"
#include "references.hpp"

namespace marundex::runtime {

namespace {

// The sources' path below the project root, so the diagnostic names the file as
// the repository does.
std::string_view source_path(const std::source_location& where) {
    const std::string_view path = where.file_name();
    for (const std::string_view root : {"/runtime/", "/module/", "/core/"}) {
        if (const auto at = path.rfind(root); at != std::string_view::npos) {
            return path.substr(at + 1);
        }
    }
    return path;
}

[[noreturn]] void report_and_abort(const char* message, const std::string& description,
                                   const std::source_location& where) {
    // Written to the process's own stream, not sys.stderr: Python code must not
    // run, and may not be able to, on the way out.
    std::fprintf(stderr, "marundex: internal failure at %.*s:%u: %s%s\n",
                 static_cast<int>(source_path(where).size()), source_path(where).data(),
                 static_cast<unsigned>(where.line()), message, description.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string formatted_traceback(PyObject* traceback) {
    const OwnedRef io(PyImport_Import(interned(InternedName::io)));
    if (io) {
        const OwnedRef string_io_class(
            PyObject_GetAttr(io.get(), interned(InternedName::string_io)));
        if (string_io_class) {
            const OwnedRef buffer(PyObject_CallNoArgs(string_io_class.get()));
            if (buffer && PyTraceBack_Print(traceback, buffer.get()) == 0) {
                const OwnedRef text(
                    PyObject_CallMethodNoArgs(buffer.get(), interned(InternedName::getvalue)));
                if (text) {
                    return object_text(text.get());
                }
            }
        }
    }
    PyErr_WriteUnraisable(traceback);
    return "<unformattable " + object_repr(traceback) + ">";
}

std::string describe(PyErr& error) {
    PyObject* exception = error.exception();
    std::string text = ": type: " + object_repr(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    text += ", value: " + object_repr(exception);
    const OwnedRef traceback(PyException_GetTraceback(exception));
    if (traceback) {
        text += ", traceback:\n" + formatted_traceback(traceback.get());
    } else {
        text += ", no traceback";
    }
    return text;
}

}  // namespace

void internal_failure(const char* message, std::source_location where) noexcept {
    report_and_abort(message, "", where);
}

void internal_failure(const char* message, PyErr error, std::source_location where) noexcept {
    std::string description;
    try {
        // The description calls into the interpreter, so it needs the lock even
        // when the failure arose in a section that had released it.
        const bool needs_lock = lock_depth <= 0;
        PyGILState_STATE state{};
        if (needs_lock) {
            state = PyGILState_Ensure();
            ++lock_depth;
        }
        description = describe(error);
        if (needs_lock) {
            --lock_depth;
            PyGILState_Release(state);
        }
    } catch (...) {
        description = ": <description failed>";
    }
    report_and_abort(message, description, where);
}

void python_api_call_failed(std::source_location where) noexcept {
    PyErr_Print();
    report_and_abort("Python API call failed", "", where);
}

}  // namespace marundex::runtime
