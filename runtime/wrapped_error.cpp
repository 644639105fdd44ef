#include "wrapped_error.hpp"

#include <string>

#include "internal_failure.hpp"
#include "object_text.hpp"
#include "references.hpp"

namespace marundex::runtime {

namespace {

std::string type_name(PyObject* exception) {
    const OwnedRef name(PyType_GetName(Py_TYPE(exception)));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return {utf8, static_cast<std::size_t>(size)};
        }
    }
    (void)PyErr::take();
    return "<failed to extract type name>";
}

}  // namespace

PyErr runtime_error_caused_by(const char* context, PyErr cause) noexcept {
    try {
        PyObject* original = cause.exception();
        std::string text = context;
        text += ": " + type_name(original) + ": " + object_text(original);
        PyErr wrapped = PyErr::with_owned_text(PyExc_RuntimeError, std::move(text));
        PyException_SetCause(wrapped.exception(), Py_NewRef(original));
        return wrapped;
    } catch (...) {
        internal_failure("could not compose an error message");
    }
}

}  // namespace marundex::runtime
