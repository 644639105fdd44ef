// The CPython C API as the runtime uses it, on every interpreter the module supports.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace marundex::runtime::compat {

// 3.12 introduced the single-object form of the pending exception; on 3.11 it is
// rebuilt from the (type, value, traceback) triple, normalised so that the value
// is always an exception instance carrying its traceback.
#if PY_VERSION_HEX >= 0x030C0000
inline PyObject* get_raised_exception() {
    return PyErr_GetRaisedException();
}
inline void set_raised_exception(PyObject* exception) {
    PyErr_SetRaisedException(exception);
}
#else
inline PyObject* get_raised_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

inline void set_raised_exception(PyObject* exception) {
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}
#endif

}  // namespace marundex::runtime::compat
