// The recorder's native entry points, bound by the engine through the
// capsule table. Called with the interpreter lock held. The void functions
// report a failure by returning with a Python exception set; end_analysis
// returns null instead. None of them throws.
#pragma once

#include "common/numpy_api.h"

#include <map>

namespace korvel::recorder {

// Resets the recorder for a new run: stores the tables, the column map and
// the settings, empties the record lists in place and gives every one of the
// n_slots slots fresh zeroed arrays. `date` is left alone. On failure the
// previous state is kept unchanged.
void start_analysis(PyArrayObject* price_table, PyArrayObject* close_table, std::map<int, int> column_map, int n_slots,
                    double fee, double tax, int window_rows, int step);

// Marks the row being simulated.
void record_date(int row);

// Opens a trade on slot sid at the current row.
void record_entry(int sid, double weight, int entry_transaction);

// Closes the trade on slot sid at the current row and appends its record.
// Without exit transaction the holding goes on (a split at a rebalance): the
// record is still valued at the row's trade price, without exit costs.
void record_exit(int sid, int exit_transaction);

// As record_exit, for an exit filled intraday at `fill_price` (a touched
// level or the open) rather than at the row's trade price: the exit is
// valued at the fill.
void record_exit_at(int sid, int exit_transaction, double fill_price);

// Records every trade still held in `book` (non-zero value), as of the
// current row and with exit row -1. Returns None.
PyObject* end_analysis(std::map<int, double>& book);

}  // namespace korvel::recorder
