// backtest_(...): argument checking and conversion, then one run.
//
// The checks run in a fixed order that callers can observe through which
// error comes first: conversions of the rule parameters (in parameter order),
// then "is it an ndarray" for the eleven arrays, then their dimensions and
// element types.
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "common/array_checks.h"
#include "common/numpy_api.h"
#include "portsim/backtest_entry.h"
#include "portsim/module_state.h"
#include "portsim/run_state.h"

namespace portsim {

namespace {

constexpr int kArrayCount = 11;
const char* const kArrayNames[kArrayCount] = {
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
    "price_columns", "pos_values", "pos_index", "pos_columns", "resample",
};
const korvel::ElementKind kArrayKinds[kArrayCount] = {
    korvel::ElementKind::Float64, korvel::ElementKind::Float64, korvel::ElementKind::Float64,
    korvel::ElementKind::Float64, korvel::ElementKind::Float64, korvel::ElementKind::Int64,
    korvel::ElementKind::Object,  korvel::ElementKind::Float64, korvel::ElementKind::Int64,
    korvel::ElementKind::Object,  korvel::ElementKind::Int64,
};
const int kArrayDims[kArrayCount] = {2, 2, 2, 2, 2, 1, 1, 2, 1, 1, 1};

bool to_double(PyObject* value, double& out) {
    if (!value) return true;  // omitted: keep the default
    out = PyFloat_AsDouble(value);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_truth(PyObject* value, bool& out) {
    if (!value) return true;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool to_int32(PyObject* value, int& out) {
    if (!value) return true;
    const long converted = PyLong_AsLong(value);
    if (converted == -1 && PyErr_Occurred()) return false;
    if (converted > INT_MAX || converted < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    out = static_cast<int>(converted);
    return true;
}

bool non_negative(int value, const char* name) {
    if (value >= 0) return true;
    PyErr_Format(PyExc_ValueError, "%s must be >= 0, got %d", name, value);
    return false;
}

// Pauses the cyclic garbage collector for the lifetime of the object and
// then restores the caller's setting, also when caller code run inside the
// run switched it.
struct CollectorPause {
    int was_enabled = PyGC_Disable();
    ~CollectorPause() {
        if (was_enabled) {
            PyGC_Enable();
        } else {
            PyGC_Disable();
        }
    }
};

// Releases the delisting schedule's buffer when the call ends.
struct BufferGuard {
    Py_buffer view = {};
    bool held = false;
    ~BufferGuard() {
        if (held) PyBuffer_Release(&view);
    }
};

// Any object exposing a 1-D buffer of int64 (read-only accepted).
bool acquire_delisting_bars(PyObject* obj, BufferGuard& guard, korvel::View1D<int64_t>& out) {
    if (PyObject_GetBuffer(obj, &guard.view, PyBUF_RECORDS_RO) < 0) return false;
    guard.held = true;
    const Py_buffer& v = guard.view;
    if (v.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1, v.ndim);
        return false;
    }
    const char* format = v.format ? v.format : "B";
    if (*format == '>' || *format == '!') {
        PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        return false;
    }
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    const bool is_int64 = (format[0] == 'l' || format[0] == 'q') && format[1] == '\0' && v.itemsize == 8;
    if (!is_int64) {
        // An ndarray is named by its element type, as the other arrays are: its
        // buffer spells the same type differently when the data is unaligned
        // (standard sizes: 'Q' instead of 'L').
        std::string got;
        if (PyArray_Check(obj)) {
            got = korvel::describe_element_type(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)));
        } else {
            const char* name = korvel::describe_type_char(format[0]);
            got = name ? name : "unparseable format string";
        }
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", "int64_t", "'",
                     got.c_str());
        return false;
    }
    out.data = static_cast<const char*>(v.buf);
    out.size = v.shape ? v.shape[0] : v.len / v.itemsize;
    out.stride = v.strides ? v.strides[0] : v.itemsize;
    return true;
}

}  // namespace

PyObject* py_backtest(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {
        "price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
        "price_columns", "pos_values", "pos_index", "pos_columns", "resample", "fee_ratio", "tax_ratio",
        "stop_loss", "take_profit", "trail_stop", "trail_stop_activation", "touched_exit", "position_limit",
        "retain_cost_when_rebalance", "stop_trading_next_period", "excursion_window", "excursion_window_step",
        "periodically_rebalance", "delisting_bars", nullptr,
    };
    PyObject* arrays[kArrayCount] = {};
    PyObject *fee = nullptr, *tax = nullptr, *stop_loss = nullptr, *take_profit = nullptr, *trail_stop = nullptr,
             *trail_activation = nullptr, *touched = nullptr, *position_limit = nullptr, *retain = nullptr,
             *stop_trading = nullptr, *window = nullptr, *window_step = nullptr, *periodic = nullptr,
             *delisting = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOOO|OOOOOOOOOOOOOO:backtest_",
                                     const_cast<char**>(keywords), &arrays[0], &arrays[1], &arrays[2], &arrays[3],
                                     &arrays[4], &arrays[5], &arrays[6], &arrays[7], &arrays[8], &arrays[9],
                                     &arrays[10], &fee, &tax, &stop_loss, &take_profit, &trail_stop,
                                     &trail_activation, &touched, &position_limit, &retain, &stop_trading, &window,
                                     &window_step, &periodic, &delisting)) {
        return nullptr;
    }

    BacktestInputs in;
    TradingRules& r = in.rules;
    r.take_profit = std::numeric_limits<double>::infinity();
    r.trail_stop = std::numeric_limits<double>::infinity();
    r.stop_trading_next_period = stop_trading ? stop_trading : Py_True;
    BufferGuard delisting_buffer;
    if (!to_double(fee, r.fee_ratio) || !to_double(tax, r.tax_ratio) || !to_double(stop_loss, r.stop_loss) ||
        !to_double(take_profit, r.take_profit) || !to_double(trail_stop, r.trail_stop) ||
        !to_double(trail_activation, r.trail_stop_activation) || !to_truth(touched, r.touched_exit) ||
        !to_double(position_limit, r.position_limit) || !to_truth(retain, r.retain_cost_when_rebalance) ||
        !to_int32(window, r.excursion_window) || !non_negative(r.excursion_window, "excursion_window") ||
        !to_int32(window_step, r.excursion_window_step) ||
        !non_negative(r.excursion_window_step, "excursion_window_step") ||
        !to_truth(periodic, r.periodically_rebalance)) {
        return nullptr;
    }
    if (delisting && delisting != Py_None) {
        if (!acquire_delisting_bars(delisting, delisting_buffer, in.delisting_bars)) return nullptr;
        in.has_delisting_bars = true;
    }
    for (int k = 0; k < kArrayCount; ++k) {
        if (!korvel::check_is_ndarray(arrays[k], kArrayNames[k])) return nullptr;
    }
    for (int k = 0; k < kArrayCount; ++k) {
        if (!korvel::check_array_layout(reinterpret_cast<PyArrayObject*>(arrays[k]), kArrayKinds[k], kArrayDims[k])) {
            return nullptr;
        }
    }
    auto as_array = [&](int k) { return reinterpret_cast<PyArrayObject*>(arrays[k]); };
    // Rows reach the trade recorder as 32-bit ints; a longer index would wrap
    // to negative rows (read from the end) and give wrong records.
    if (PyArray_DIM(as_array(5), 0) > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "price_index has %zd rows; at most %d price rows are supported",
                     static_cast<Py_ssize_t>(PyArray_DIM(as_array(5), 0)), INT_MAX);
        return nullptr;
    }
    in.price = korvel::view_2d<double>(as_array(0));
    in.close = korvel::view_2d<double>(as_array(1));
    in.high = korvel::view_2d<double>(as_array(2));
    in.low = korvel::view_2d<double>(as_array(3));
    in.open = korvel::view_2d<double>(as_array(4));
    in.price_index = korvel::view_1d<int64_t>(as_array(5));
    in.price_columns = korvel::view_1d<PyObject*>(as_array(6));
    in.pos_values = korvel::view_2d<double>(as_array(7));
    in.pos_index = korvel::view_1d<int64_t>(as_array(8));
    in.pos_columns = korvel::view_1d<PyObject*>(as_array(9));
    in.resample = korvel::view_1d<int64_t>(as_array(10));
    in.price_array = arrays[0];
    in.close_array = arrays[1];

    // The flags are published before anything else can fail, and keep their
    // values even when a later step does.
    if (PyDict_SetItem(g_module_dict, g_names.retain_cost_when_rebalance,
                       r.retain_cost_when_rebalance ? Py_True : Py_False) < 0 ||
        PyDict_SetItem(g_module_dict, g_names.resample, r.periodically_rebalance ? Py_True : Py_False) < 0) {
        return nullptr;
    }

    // Hold the caller's objects for the whole run, whatever the recorder does.
    PyRef keep_stop_trading = PyRef::borrow(r.stop_trading_next_period);
    // A run creates hundreds of thousands of small records and no reference
    // cycles; the cyclic collector would rescan the growing record lists over
    // and over. It is paused for the run and resumed as the caller had it.
    CollectorPause pause;
    // Code of the caller's ran since the last run: no flag read then holds.
    note_caller_code_may_have_run();
    RunState run;
    // The run's vectors and maps are sized by the caller's shapes (a
    // broadcast array can claim any size): an allocation that cannot be met
    // ends the run with MemoryError instead of escaping into the interpreter.
    try {
        if (set_up_run(in, run) < 0 || run_rows(in, run) < 0 || finish_run(in, run) < 0) return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::length_error&) {
        PyErr_NoMemory();
        return nullptr;
    }
    return run.equity.release();
}

}  // namespace portsim
