// Host-callable functions that report on the latest run.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvel::portsim {

PyObject* py_get_stock_operations(PyObject* self, PyObject* unused);
PyObject* py_get_trade_stocks(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_ioft(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_normalize_weight(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace korvel::portsim
