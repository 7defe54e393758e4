// Binds the numeric analysis to the recorder state and the interpreter:
// reads the settings, allocates the result, turns a Status into an exception.
#include "excursion/analysis_glue.h"

#include "common/array_checks.h"
#include "common/pyref.h"
#include "excursion/excursion_analysis.h"
#include "excursion/record_objects.h"
#include "excursion/recorder_state.h"

#include <new>

namespace korvel::recorder {

namespace {

using analysis::Status;

// Reused by every trade of every run; only grows.
analysis::Snapshots snapshot_buffer;

void raise_status(Status status, const analysis::Trade& trade, Py_ssize_t table_rows) {
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
                         "entry row %d lies more than one row past the end of the price table (%zd rows)",
                         trade.entry_row, table_rows);
            return;
        case Status::NegativeSetting:
            PyErr_Format(PyExc_ValueError, "excursion window and window step must not be negative (got %d and %d)",
                         window, window_step);
            return;
        case Status::OutOfMemory: PyErr_NoMemory(); return;
    }
    PyErr_SetString(PyExc_SystemError, "excursion analysis failed without a reason");
}

bool lookup_column(int sid, int& col) {
    if (sid >= 0 && static_cast<size_t>(sid) < price_col_of_slot.size()) {
        col = price_col_of_slot[static_cast<size_t>(sid)];
        return true;
    }
    try {
        col = pos2price[sid];  // inserts sid -> 0 when missing
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

}  // namespace

PyObject* excursion_analysis(int sid, int entry_row, int exit_row, bool is_long, int entry_transaction,
                             int exit_transaction, std::optional<double> exit_fill) {
    const analysis::Settings settings{window, window_step, fee_ratio, tax_ratio};
    analysis::Trade trade{0, entry_row, exit_row, is_long, entry_transaction, exit_transaction, exit_fill};
    if (analysis::check_settings(settings) != Status::Ok) {
        raise_status(Status::NegativeSetting, trade, 0);
        return nullptr;
    }
    if (!lookup_column(sid, trade.col)) return nullptr;
    // The tables were checked when the run started; checking again is cheap
    // and keeps a reshaped table from being read with the wrong layout.
    if (!check_array_layout(price, ElementKind::Float64, 2) || !check_array_layout(close, ElementKind::Float64, 2)) {
        return nullptr;
    }
    const analysis::Tables tables{view_2d<double>(price), view_2d<double>(close)};

    Status status = analysis::trace_trade(tables, settings, trade, snapshot_buffer);
    int64_t size = 0;
    if (status == Status::Ok) status = analysis::result_size(settings, size);
    if (status != Status::Ok) {
        raise_status(status, trade, tables.price.rows);
        return nullptr;
    }

    PyRef result(new_statistics_array(size));
    if (!result) return nullptr;
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    status = analysis::write_snapshots(snapshot_buffer, out, size);
    if (status != Status::Ok) {
        raise_status(status, trade, tables.price.rows);
        return nullptr;
    }
    return result.release();
}

}  // namespace korvel::recorder
