#include "object_text.hpp"

#include "error.hpp"
#include "references.hpp"

namespace marundex::runtime {

namespace {

std::string unprintable(PyObject* object) {
    if (std::optional<std::string> name = utf8_of_new(PyType_GetName(Py_TYPE(object)))) {
        return "<unprintable " + *name + " object>";
    }
    return "<unprintable object>";
}

// UTF-8 of a str, with each lone surrogate shown as replacement characters: the
// string is encoded with the surrogates kept and decoded leniently, so every
// maximal ill-formed byte sequence becomes one U+FFFD.
std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        return {utf8, static_cast<std::size_t>(size)};
    }
    (void)PyErr::take();
    const OwnedRef bytes(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (bytes) {
        const OwnedRef lenient(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                    PyBytes_GET_SIZE(bytes.get()), "replace"));
        if (lenient) {
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(lenient.get(), &size)) {
                return {utf8, static_cast<std::size_t>(size)};
            }
        }
    }
    (void)PyErr::take();
    return "<unprintable object>";
}

}  // namespace

std::optional<std::string> utf8_of_new(PyObject* text) {
    const OwnedRef owned(text);
    if (owned) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(owned.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    (void)PyErr::take();
    return std::nullopt;
}

std::string type_name_text(PyTypeObject* type, bool qualified) {
    return utf8_of_new(qualified ? PyType_GetQualName(type) : PyType_GetName(type))
        .value_or("<failed to extract type name>");
}

std::string object_text(PyObject* object) {
    const OwnedRef text(PyObject_Str(object));
    if (!text) {
        // The failure of str() is reported the way the interpreter reports errors
        // that nobody can catch, and the message goes on without it.
        if (std::optional<PyErr> failed = PyErr::take()) {
            std::move(*failed).raise();
        }
        PyErr_WriteUnraisable(object);
        return unprintable(object);
    }
    return utf8_of(text.get());
}

std::string object_repr(PyObject* object) {
    const OwnedRef text(PyObject_Repr(object));
    if (!text) {
        (void)PyErr::take();
        return object_text(object);
    }
    return utf8_of(text.get());
}

}  // namespace marundex::runtime
