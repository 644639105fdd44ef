// The module's Python-callable functions, all with the fast calling convention.
#pragma once

#include "../runtime/python_api.hpp"

namespace marundex::module {

PyObject* indicator_sma(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* indicator_ema(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* indicator_macd(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;
PyObject* indicator_atr(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

}  // namespace marundex::module
