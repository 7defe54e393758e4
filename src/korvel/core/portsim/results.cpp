// Closing a run: the open trades go to the recorder, and the operations
// record says what is held, what the newest weight row asks for, and what to
// do on the next trading day.
#include <cmath>
#include <map>
#include <vector>

#include "common/pyref.h"
#include "portsim/module_state.h"
#include "portsim/recorder_binding.h"
#include "portsim/row_steps.h"
#include "portsim/run_state.h"
#include "portsim/trade_ledger.h"

namespace korvel::portsim {

namespace {

int set_int_key(PyObject* dict, int key, PyObject* value_owned) {
    PyRef value(value_owned);
    PyRef k(PyLong_FromLong(key));
    if (!value || !k) return -1;
    return PyDict_SetItem(dict, k.get(), value.get());
}

int set_float_key(PyObject* dict, int key, double value) { return set_int_key(dict, key, PyFloat_FromDouble(value)); }

PyObject* operations_entry(const char* key) { return PyDict_GetItemString(g_stock_operations, key); }

// Divides every weight of the dict by `total` when it exceeds 1.
int divide_weights(PyObject* weights, const std::vector<std::pair<int, double>>& items, double total) {
    const double divisor = total > 1.0 ? total : 1.0;
    for (const auto& item : items) {
        if (set_float_key(weights, item.first, item.second / divisor) < 0) return -1;
    }
    return 0;
}

int weights_of_last_applied_row(const BacktestInputs& in, RunState& run, PyObject* weights) {
    if (run.held_at_rebalance.empty()) return 0;
    View1D<double> row;
    if (!in.pos_values.row(run.last_pos_row, row)) return -1;
    std::vector<std::pair<int, double>> items;
    double weight_total = 0.0;
    for (const int sid : run.held_at_rebalance) {
        double w = 0.0;
        if (!row.get(sid, w)) return -1;
        // A holding closed since the rebalance is listed with 0, but its
        // weight still counts in the total.
        items.emplace_back(sid, run.positions.holds(sid) ? w : 0.0);
        weight_total = weight_total + w;
    }
    return divide_weights(weights, items, weight_total);
}

// Columns whose instrument was stopped out (or is about to be) are not
// bought by the next rebalance when stop_trading_next_period holds.
std::vector<unsigned char> stopped_out_columns(const RunState& run, Py_ssize_t width) {
    std::vector<unsigned char> stopped(static_cast<size_t>(width), 0);
    for (const auto* exits : {&run.executed_exits, &run.pending_exits}) {
        for (const int signal : *exits) {
            const int sid = exit_sid(signal);
            if (sid < width) stopped[sid] = 1;
        }
    }
    return stopped;
}

int weights_of_due_row(const BacktestInputs& in, RunState& run, PyObject* next_weights) {
    View1D<double> row;
    if (!in.pos_values.row(run.pos_row, row)) return -1;
    const std::vector<unsigned char> stopped = stopped_out_columns(run, row.size);
    std::vector<std::pair<int, double>> items;
    double next_weight_total = 0.0;
    for (Py_ssize_t sid = 0; sid < row.size; ++sid) {
        const double v = row.at_unchecked(sid);
        const int stop_trading = stop_trading_next_period(in);
        if (stop_trading < 0) return -1;
        // The total counts only what the next rebalance would trade, so the
        // reported weights are the ones it will use.
        if (stop_trading && stopped[sid]) continue;
        next_weight_total = next_weight_total + std::fabs(v);
        if (v != 0.0) items.emplace_back(static_cast<int>(sid), v);
    }
    return divide_weights(next_weights, items, next_weight_total);
}

int normalize_entry(const char* key, double position_limit) {
    PyRef normalize(lookup_module_global(g_names.normalize_weight));
    if (!normalize) return -1;
    PyObject* weights = operations_entry(key);
    if (!weights) {
        PyErr_Format(PyExc_KeyError, "'%s'", key);
        return -1;
    }
    PyRef limit(PyFloat_FromDouble(position_limit));
    if (!limit) return -1;
    PyRef normalized(PyObject_CallFunctionObjArgs(normalize.get(), weights, limit.get(), nullptr));
    if (!normalized) return -1;
    return PyDict_SetItemString(g_stock_operations, key, normalized.get());
}

int set_action(PyObject* actions, int sid, const char* word) {
    return set_int_key(actions, sid, PyUnicode_InternFromString(word));
}

int rebalance_actions(const BacktestInputs& in, RunState& run, PyObject* actions) {
    View1D<double> row;
    if (!in.pos_values.row(run.pos_row, row)) return -1;
    for (Py_ssize_t sid = 0; sid < row.size; ++sid) {
        const double v = row.at_unchecked(sid);
        const int column = static_cast<int>(sid);
        const double h = run.positions.holds(column) ? run.positions.value(column) : 0.0;
        const char* word = nullptr;
        if (h == 0.0 && v != 0.0) word = "enter";
        else if (h != 0.0 && v == 0.0) word = "exit";
        else if (h != 0.0 && v != 0.0) word = "hold";
        if (word && set_action(actions, static_cast<int>(sid), word) < 0) return -1;
    }
    return 0;
}

// Whether the reported next weights hold `sid` with a non-zero weight.
int next_weights_hold(int sid) {
    PyObject* next_weights = operations_entry("next_weights");
    if (!next_weights) return 0;
    PyRef key(PyLong_FromLong(sid));
    if (!key) return -1;
    const int present = PySequence_Contains(next_weights, key.get());
    if (present <= 0) return present;
    PyRef weight(PyObject_GetItem(next_weights, key.get()));
    if (!weight) return -1;
    PyRef zero(PyLong_FromLong(0));
    if (!zero) return -1;
    return PyObject_RichCompareBool(weight.get(), zero.get(), Py_NE);
}

int pending_exit_actions(const BacktestInputs& in, RunState& run, PyObject* actions) {
    for (const int signal : run.pending_exits) {
        const int sid = exit_sid(signal);
        const bool take_profit = signal > 0;
        const int stop_trading = stop_trading_next_period(in);
        if (stop_trading < 0) return -1;
        const char* word = nullptr;
        if (stop_trading) {
            word = take_profit ? "tp" : "sl";
        } else {
            int64_t due_date = 0;
            if (!in.pos_index.get(run.pos_row, due_date)) return -1;
            if (run.last_date > due_date) {
                word = take_profit ? "tp" : "sl";
            } else {
                const int holds = next_weights_hold(sid);
                if (holds < 0) return -1;
                if (holds) word = take_profit ? "tp_enter" : "sl_enter";
            }
        }
        if (word && set_action(actions, sid, word) < 0) return -1;
    }
    return 0;
}

int executed_exit_actions(const BacktestInputs& in, RunState& run, PyObject* actions) {
    for (const int signal : run.executed_exits) {
        const int sid = exit_sid(signal);
        const int stop_trading = stop_trading_next_period(in);
        if (stop_trading < 0) return -1;
        bool write = stop_trading != 0;
        if (!write) {
            PyRef key(PyLong_FromLong(sid));
            if (!key) return -1;
            const int known = PyDict_Contains(actions, key.get());
            if (known < 0) return -1;
            write = !known;
        }
        if (write && set_action(actions, sid, signal > 0 ? "tp_" : "sl_") < 0) return -1;
    }
    return 0;
}

int new_operations_record() {
    PyRef record(PyDict_New());
    if (!record) return -1;
    for (const char* key : {"actions", "weights", "next_weights"}) {
        PyRef empty(PyDict_New());
        if (!empty || PyDict_SetItemString(record.get(), key, empty.get()) < 0) return -1;
    }
    PyObject* previous = g_stock_operations;
    g_stock_operations = record.release();
    Py_XDECREF(previous);
    return 0;
}

}  // namespace

int finish_run(const BacktestInputs& in, RunState& run) {
    if (!g_recording.finish(g_recording.self, run.positions)) return -1;
    if (new_operations_record() < 0) return -1;
    // Hold the dicts while filling them: normalize_weight may replace entries.
    PyRef weights = PyRef::borrow(operations_entry("weights"));
    PyRef next_weights = PyRef::borrow(operations_entry("next_weights"));
    if (weights_of_last_applied_row(in, run, weights.get()) < 0) return -1;
    if (weights_of_due_row(in, run, next_weights.get()) < 0) return -1;
    PyRef weight_time(PyLong_FromSsize_t(run.last_pos_row));
    PyRef next_weight_time(PyLong_FromSsize_t(run.pos_row));
    if (!weight_time || !next_weight_time ||
        PyDict_SetItemString(g_stock_operations, "weight_time", weight_time.get()) < 0 ||
        PyDict_SetItemString(g_stock_operations, "next_weight_time", next_weight_time.get()) < 0) {
        return -1;
    }
    if (normalize_entry("weights", in.rules.position_limit) < 0 ||
        normalize_entry("next_weights", in.rules.position_limit) < 0) {
        return -1;
    }
    PyRef actions = PyRef::borrow(operations_entry("actions"));
    if (!actions || !PyDict_Check(actions.get())) {
        PyErr_SetString(PyExc_RuntimeError, "the operations record lost its \"actions\" dict during the run");
        return -1;
    }
    if (run.rebalance_due && rebalance_actions(in, run, actions.get()) < 0) return -1;
    if (pending_exit_actions(in, run, actions.get()) < 0) return -1;
    if (executed_exit_actions(in, run, actions.get()) < 0) return -1;
    return 0;
}

}  // namespace korvel::portsim
