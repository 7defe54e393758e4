// Binds the numeric analysis to the recorder state and the interpreter:
// reads the settings, allocates the result, turns a Status into an exception.
#include "excursion/analysis_glue.h"

#include "common/array_checks.h"
#include "common/pyref.h"
#include "excursion/analysis_errors.h"
#include "excursion/excursion_analysis.h"
#include "excursion/record_objects.h"
#include "excursion/recorder_state.h"

#include <new>

namespace korvel::recorder {

namespace {

using analysis::Status;

// Reused by every trade of every run; only grows.
analysis::Snapshots snapshot_buffer;

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
                             int exit_transaction, std::optional<double> exit_fill, bool revalue_split) {
    const analysis::Settings settings{window, window_step, Costs{fee_ratio, tax_ratio}};
    analysis::Trade trade{0,         entry_row,    exit_row, is_long, entry_transaction, exit_transaction,
                          exit_fill, revalue_split};
    if (analysis::check_settings(settings) != Status::Ok) {
        analysis::raise_status(Status::NegativeSetting, entry_row, 0, settings);
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
        analysis::raise_status(status, entry_row, tables.price.rows, settings);
        return nullptr;
    }

    PyRef result(new_statistics_array(size));
    if (!result) return nullptr;
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    status = analysis::write_snapshots(snapshot_buffer, out, size);
    if (status != Status::Ok) {
        analysis::raise_status(status, entry_row, tables.price.rows, settings);
        return nullptr;
    }
    return result.release();
}

}  // namespace korvel::recorder
