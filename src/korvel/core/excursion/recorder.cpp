// The recorder's entry points: start of a run, row marks, entries and exits.
#include "excursion/recorder.h"

#include "common/array_checks.h"
#include "common/pyref.h"
#include "excursion/analysis_glue.h"
#include "excursion/record_objects.h"
#include "excursion/recorder_state.h"
#include "excursion/slot_arrays.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace korvel::recorder {

namespace {

bool check_table(PyArrayObject* table, const char* name) {
    if (!table) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                     "numpy.ndarray", "NULL");
        return false;
    }
    auto* obj = reinterpret_cast<PyObject*>(table);
    return check_is_ndarray(obj, name) && check_array_layout(table, ElementKind::Float64, 2);
}

bool empty_list(PyObject* list) { return PyList_SetSlice(list, 0, PY_SSIZE_T_MAX, nullptr) == 0; }

bool to_int(int64_t value, const char* what, int& out) {
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s %lld does not fit a C int", what, static_cast<long long>(value));
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

// Appends one trade record to the three lists: [sid, entry row, record_row]
// to trades, the entry position to trade_positions and the statistics up to
// analysed_row to excursion. The first two are appended before the analysis
// runs, so when it fails `excursion` ends up one record short. A trade that
// `ends` without a transaction is split at a rebalance: its record is valued
// at the row's trade price (an open trade's is not).
bool record_trade(int sid, int record_row, int analysed_row, bool ends, int exit_transaction,
                  std::optional<double> exit_fill = std::nullopt) {
    // The slot arrays are published by address, so caller code run by any
    // allocation below (a collection) could replace them. Everything is read
    // from the arrays checked here, held for the whole call, and the slot
    // values are copied out before the first allocation.
    const PyRef entry_ref = PyRef::borrow(reinterpret_cast<PyObject*>(entry));
    const PyRef position_ref = PyRef::borrow(reinterpret_cast<PyObject*>(position));
    const PyRef flag_ref = PyRef::borrow(reinterpret_cast<PyObject*>(entry_trasnaction));
    char* entry_at = slot_element(entry, SlotKind::Int64, sid, false);
    if (!entry_at) return false;
    char* position_at = slot_element(position, SlotKind::Float64, sid, false);
    if (!position_at) return false;
    char* flag_at = slot_element(entry_trasnaction, SlotKind::Int64, sid, false);
    if (!flag_at) return false;
    auto* entry_array = reinterpret_cast<PyArrayObject*>(entry_ref.get());
    auto* position_array = reinterpret_cast<PyArrayObject*>(position_ref.get());
    int64_t entry_row64 = 0;
    double held = 0.0;
    int64_t flag64 = 0;
    std::memcpy(&entry_row64, entry_at, sizeof entry_row64);
    std::memcpy(&held, position_at, sizeof held);
    std::memcpy(&flag64, flag_at, sizeof flag64);

    PyRef record(PyList_New(3));
    if (!record) return false;
    PyRef sid_obj(record_int(sid));
    if (!sid_obj) return false;
    PyRef entry_obj(record_int64_scalar(entry_row64, PyArray_DESCR(entry_array), entry_ref.get()));
    if (!entry_obj) return false;
    PyRef row_obj(record_int(record_row));
    if (!row_obj) return false;
    PyList_SET_ITEM(record.get(), 0, sid_obj.release());
    PyList_SET_ITEM(record.get(), 1, entry_obj.release());
    PyList_SET_ITEM(record.get(), 2, row_obj.release());
    if (PyList_Append(trades, record.get()) < 0) return false;

    PyRef position_obj(record_float64_scalar(held, PyArray_DESCR(position_array), position_ref.get()));
    if (!position_obj) return false;
    if (PyList_Append(trade_positions, position_obj.get()) < 0) return false;

    int entry_row = 0;
    int entry_flag = 0;
    if (!to_int(entry_row64, "entry row", entry_row) || !to_int(flag64, "entry transaction flag", entry_flag)) {
        return false;
    }
    // A slot never entered holds position 0.0 and is analysed as a short.
    const bool revalue_split = ends && exit_transaction == 0;
    PyRef stats(excursion_analysis(sid, entry_row, analysed_row, held > 0.0, entry_flag, exit_transaction, exit_fill,
                                   revalue_split));
    if (!stats) return false;
    return PyList_Append(excursion, stats.get()) == 0;
}

}  // namespace

void start_analysis(PyArrayObject* price_table, PyArrayObject* close_table, std::map<int, int> column_map, int n_slots,
                    double fee, double tax, int window_rows, int step) {
    // Everything that can fail runs before the first change, so a rejected
    // call leaves the previous run's state intact.
    if (!check_table(price_table, "price") || !check_table(close_table, "close")) return;
    if (n_slots < 0) {
        PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
        return;
    }
    if (window_rows < 0 || step < 0) {
        PyErr_Format(PyExc_ValueError, "excursion window and window step must not be negative (got %d and %d)",
                     window_rows, step);
        return;
    }
    std::vector<int> flat_columns;
    try {
        flat_columns.assign(static_cast<size_t>(n_slots), 0);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return;
    }
    for (const auto& [slot, col] : column_map) {
        if (slot >= 0 && slot < n_slots) flat_columns[static_cast<size_t>(slot)] = col;
    }
    PyRef new_entry(new_slot_array(n_slots, SlotKind::Int64));
    if (!new_entry) return;
    PyRef new_position(new_slot_array(n_slots, SlotKind::Float64));
    if (!new_position) return;
    PyRef new_flags(new_slot_array(n_slots, SlotKind::Int64));
    if (!new_flags) return;

    Py_INCREF(price_table);
    replace_array(price, reinterpret_cast<PyObject*>(price_table));
    Py_INCREF(close_table);
    replace_array(close, reinterpret_cast<PyObject*>(close_table));
    pos2price.swap(column_map);
    price_col_of_slot.swap(flat_columns);
    window = window_rows;
    window_step = step;
    // Emptied in place: the engine and the Python layer hold these objects.
    if (!empty_list(trades) || !empty_list(trade_positions) || !empty_list(excursion)) return;
    replace_array(entry, new_entry.release());
    replace_array(position, new_position.release());
    replace_array(entry_trasnaction, new_flags.release());
    fee_ratio = fee;
    tax_ratio = tax;
}

void record_date(int row) { date = row; }

void record_entry(int sid, double weight, int entry_transaction) {
    // All three slots are resolved before any is written, so a bad sid
    // changes nothing.
    char* entry_at = slot_element(entry, SlotKind::Int64, sid, true);
    if (!entry_at) return;
    char* position_at = slot_element(position, SlotKind::Float64, sid, true);
    if (!position_at) return;
    char* flag_at = slot_element(entry_trasnaction, SlotKind::Int64, sid, true);
    if (!flag_at) return;
    const int64_t row = date;
    const int64_t flag = entry_transaction;
    std::memcpy(entry_at, &row, sizeof row);
    std::memcpy(position_at, &weight, sizeof weight);
    std::memcpy(flag_at, &flag, sizeof flag);
}

void record_exit(int sid, int exit_transaction) { record_trade(sid, date, date, true, exit_transaction); }

void record_exit_at(int sid, int exit_transaction, double fill_price) {
    record_trade(sid, date, date, true, exit_transaction, fill_price);
}

PyObject* end_analysis(std::map<int, double>& book) {
    for (const auto& [sid, held] : book) {
        if (held == 0.0) continue;  // NaN compares unequal: still held
        if (!record_trade(sid, -1, date, false, 0)) return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace korvel::recorder
