#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvel::portsim {

// backtest_(price_values, ..., delisting_bars=None) -> equity array.
PyObject* py_backtest(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace korvel::portsim
