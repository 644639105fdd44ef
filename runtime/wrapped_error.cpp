#include "wrapped_error.hpp"

#include <string>

#include "internal_failure.hpp"
#include "object_text.hpp"
#include "references.hpp"

namespace marundex::runtime {

PyErr runtime_error_caused_by(const char* context, PyErr cause) noexcept {
    try {
        PyObject* original = cause.exception();
        std::string text = context;
        text += ": " + type_name_text(Py_TYPE(original), false) + ": " + object_text(original);
        PyErr wrapped = PyErr::with_owned_text(PyExc_RuntimeError, std::move(text));
        PyException_SetCause(wrapped.exception(), Py_NewRef(original));
        return wrapped;
    } catch (...) {
        internal_failure("could not compose an error message");
    }
}

PyErr parameter_error(PyObject* exception_class, const char* parameter,
                      const std::string& detail) noexcept {
    try {
        return PyErr::with_owned_text(exception_class,
                                      std::string("argument '") + parameter + "': " + detail);
    } catch (...) {
        internal_failure("could not compose an error message");
    }
}

}  // namespace marundex::runtime
