#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvel::portsim {

// run_figures(equity, dates, first, risk_free, row_traded, row_financing, row_long, row_short, entry, exit,
// columns, weight, statistics, unpriced_entry, fees, taxes, slippage, borrow, impact, exit_reason, reasons,
// missing, offsets) -> (figures in RUN_FIGURES' order, trades per exit reason code).
PyObject* py_run_figures(PyObject* self, PyObject* args);

// RUN_FIGURES: the names of run_figures' figures, in order.
PyObject* run_figure_names();

}  // namespace korvel::portsim
