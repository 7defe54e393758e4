// The exception each failure of the excursion analysis raises, for every
// module that runs the analysis.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/strided_view.h"
#include "excursion/excursion_analysis.h"

namespace korvel::analysis {

// Sets the exception of `status` (not Ok) for the trade entered on
// `entry_row`, analysed over tables of `table_rows` rows with `settings`.
inline void raise_status(Status status, int entry_row, Py_ssize_t table_rows, const Settings& settings) {
    switch (status) {
        case Status::Ok: break;
        case Status::FloatDivision: PyErr_SetString(PyExc_ZeroDivisionError, "float division"); return;
        case Status::IntegerDivision:
            PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
            return;
        case Status::RowOutOfBounds:
        case Status::SnapshotOutOfBounds: raise_buffer_index_error(0); return;
        case Status::ColumnOutOfBounds: raise_buffer_index_error(1); return;
        case Status::EntryPastEnd:
            PyErr_Format(PyExc_OverflowError,
                         "entry row %d lies more than one row past the end of the price table (%zd rows)", entry_row,
                         table_rows);
            return;
        case Status::NegativeSetting:
            PyErr_Format(PyExc_ValueError, "excursion window and window step must not be negative (got %d and %d)",
                         settings.window, settings.window_step);
            return;
        case Status::OutOfMemory: PyErr_NoMemory(); return;
    }
    PyErr_SetString(PyExc_SystemError, "excursion analysis failed without a reason");
}

}  // namespace korvel::analysis
