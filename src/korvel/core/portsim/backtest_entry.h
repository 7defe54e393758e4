#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvel::portsim {

// backtest_(price_values, ..., delisting_bars=None) -> equity array.
PyObject* py_backtest(PyObject* self, PyObject* args, PyObject* kwargs);

// backtest_ledger(...) with backtest_'s parameters -> (equity, ledger,
// operations): the same run, its trades in a native ledger (trade_ledger.h).
PyObject* py_backtest_ledger(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace korvel::portsim
