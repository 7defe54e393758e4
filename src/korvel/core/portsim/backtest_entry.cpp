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
#include "portsim/recording.h"
#include "portsim/run_state.h"
#include "portsim/trade_ledger.h"

namespace korvel::portsim {

namespace {

// Conversions of the rules; each is called only for a value that was given.
bool to_double(PyObject* value, double& out, const char*) {
    out = PyFloat_AsDouble(value);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_truth(PyObject* value, bool& out, const char*) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool keep_object(PyObject* value, PyObject*& out, const char*) {
    out = value;
    return true;
}

bool to_int32(PyObject* value, int& out) {
    const long converted = PyLong_AsLong(value);
    if (converted == -1 && PyErr_Occurred()) return false;
    if (converted > INT_MAX || converted < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    out = static_cast<int>(converted);
    return true;
}

// One of a few words: `words[k]` becomes `choices[k]`.
template <typename T, size_t N>
bool to_choice(PyObject* value, T& out, const char* name, const char* const (&words)[N], const T (&choices)[N],
               const char* expected) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be %s, not %.100s", name, expected, Py_TYPE(value)->tp_name);
        return false;
    }
    for (size_t k = 0; k < N; ++k) {
        if (PyUnicode_CompareWithASCIIString(value, words[k]) == 0) {
            out = choices[k];
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, expected, value);
    return false;
}

bool to_trade_at(PyObject* value, TradeAt& out, const char* name) {
    static const char* const words[] = {"open", "close"};
    static const TradeAt choices[] = {TradeAt::Open, TradeAt::Close};
    return to_choice(value, out, name, words, choices, "'open' or 'close'");
}

bool to_trail_from(PyObject* value, TrailFrom& out, const char* name) {
    static const char* const words[] = {"entry", "peak"};
    static const TrailFrom choices[] = {TrailFrom::Entry, TrailFrom::Peak};
    return to_choice(value, out, name, words, choices, "'entry' or 'peak'");
}

// A 32-bit count of rows, 0 or more.
bool to_row_count(PyObject* value, int& out, const char* name) {
    if (!to_int32(value, out)) return false;
    if (out >= 0) return true;
    PyErr_Format(PyExc_ValueError, "%s must be >= 0, got %d", name, out);
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

// Any object exposing a 1-D buffer of int64 (read-only accepted).
bool to_delisting_bars(PyObject* obj, DelistingBars& out, const char*) {
    if (obj == Py_None) return true;
    if (PyObject_GetBuffer(obj, &out.buffer, PyBUF_RECORDS_RO) < 0) return false;
    out.held = true;
    const Py_buffer& v = out.buffer;
    if (v.ndim != 1) return raise_buffer_ndim_error(1, v.ndim);
    const char* format = v.format ? v.format : "B";
    if (*format == '>' || *format == '!') return raise_buffer_byte_order_error();
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    const bool is_int64 = (format[0] == 'l' || format[0] == 'q') && format[1] == '\0' && v.itemsize == 8;
    if (!is_int64) {
        // An ndarray is named by its element type, as the other arrays are: its
        // buffer spells the same type differently when the data is unaligned
        // (standard sizes: 'Q' instead of 'L').
        std::string got;
        if (PyArray_Check(obj)) {
            got = describe_element_type(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)));
        } else {
            const char* name = describe_type_char(format[0]);
            got = name ? name : "unparseable format string";
        }
        return raise_buffer_dtype_error(expected_element_name(ElementKind::Int64), got);
    }
    out.bars.data = static_cast<const char*>(v.buf);
    out.bars.size = v.shape ? v.shape[0] : v.len / v.itemsize;
    out.bars.stride = v.strides ? v.strides[0] : v.itemsize;
    return true;
}

// A rate table: None, or a float64 ndarray of `ndim` dimensions (its shape
// is checked against the run's once the arrays are).
bool to_rate_table(PyObject* value, RateTable& out, const char* name, int ndim) {
    if (value == Py_None) return true;
    if (!check_is_ndarray(value, name)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    if (!check_array_layout(array, ElementKind::Float64, ndim)) return false;
    out.array = PyRef::borrow(value);
    out.given = true;
    if (ndim == 2) {
        out.rates = view_2d<double>(array);
    } else {
        const View1D<double> column = view_1d<double>(array);
        out.rates.data = column.data;
        out.rates.rows = column.size;
        out.rates.cols = 1;
        out.rates.row_stride = column.stride;
        out.rates.col_stride = 0;
    }
    return true;
}

bool to_row_rates(PyObject* value, RateTable& out, const char* name) { return to_rate_table(value, out, name, 1); }

bool to_borrow_rates(PyObject* value, RateTable& out, const char* name) { return to_rate_table(value, out, name, 2); }

bool to_cell_table(PyObject* value, RateTable& out, const char* name) { return to_rate_table(value, out, name, 2); }

// The arguments as given, in parameter order; null for an omitted rule.
struct GivenArguments {
#define KORVEL_GIVEN(name, ...) PyObject* name = nullptr;
    KORVEL_BACKTEST_ARRAYS(KORVEL_GIVEN)
    KORVEL_BACKTEST_RULES(KORVEL_GIVEN)
    KORVEL_LEDGER_RULES(KORVEL_GIVEN)
#undef KORVEL_GIVEN
};

// The formats of PyArg_ParseTupleAndKeywords: backtest_'s parameters, and
// backtest_ledger's (those, then its own, keyword-only).
#define KORVEL_OBJECT(...) "O"
constexpr char kBacktestFormat[] =
    KORVEL_BACKTEST_ARRAYS(KORVEL_OBJECT) "|" KORVEL_BACKTEST_RULES(KORVEL_OBJECT) ":backtest_";
constexpr char kLedgerFormat[] = KORVEL_BACKTEST_ARRAYS(KORVEL_OBJECT) "|" KORVEL_BACKTEST_RULES(
    KORVEL_OBJECT) "$" KORVEL_LEDGER_RULES(KORVEL_OBJECT) ":backtest_ledger";
#undef KORVEL_OBJECT

bool parse_arguments(PyObject* args, PyObject* kwargs, bool ledger, GivenArguments& given) {
#define KORVEL_KEYWORD(name, ...) #name,
    static const char* keywords[] = {
        KORVEL_BACKTEST_ARRAYS(KORVEL_KEYWORD) KORVEL_BACKTEST_RULES(KORVEL_KEYWORD) nullptr,
    };
    static const char* ledger_keywords[] = {
        KORVEL_BACKTEST_ARRAYS(KORVEL_KEYWORD) KORVEL_BACKTEST_RULES(KORVEL_KEYWORD)
            KORVEL_LEDGER_RULES(KORVEL_KEYWORD) nullptr,
    };
#undef KORVEL_KEYWORD
    // The targets, one per parameter: ", &given.price_values, ...".
#define KORVEL_TARGET(name, ...) , &given.name
    if (!ledger) {
        // clang-format off
        return PyArg_ParseTupleAndKeywords(args, kwargs, kBacktestFormat, const_cast<char**>(keywords)
                                           KORVEL_BACKTEST_ARRAYS(KORVEL_TARGET)
                                           KORVEL_BACKTEST_RULES(KORVEL_TARGET)) != 0;
        // clang-format on
    }
    // clang-format off
    return PyArg_ParseTupleAndKeywords(args, kwargs, kLedgerFormat, const_cast<char**>(ledger_keywords)
                                       KORVEL_BACKTEST_ARRAYS(KORVEL_TARGET)
                                       KORVEL_BACKTEST_RULES(KORVEL_TARGET)
                                       KORVEL_LEDGER_RULES(KORVEL_TARGET)) != 0;
    // clang-format on
#undef KORVEL_TARGET
}

// The rules in parameter order; an omitted one keeps its default.
bool convert_rules(const GivenArguments& given, TradingRules& rules) {
#define KORVEL_CONVERT(name, type, value, shown, convert) \
    if (given.name && !convert(given.name, rules.name, #name)) return false;
    KORVEL_BACKTEST_RULES(KORVEL_CONVERT)
    KORVEL_LEDGER_RULES(KORVEL_CONVERT)
#undef KORVEL_CONVERT
    if (rules.trail_from == TrailFrom::Peak && !rules.own_trade_stops) {
        PyErr_SetString(PyExc_ValueError, "trail_from='peak' needs own_trade_stops=True");
        return false;
    }
    return true;
}

// The ledger's rules that the layer checks, checked again as the engine
// needs them: finite, in range, and the rate tables of the run's shape.
bool check_ledger_rules(const BacktestInputs& in) {
    const TradingRules& l = in.rules;
    if (!(l.max_gross > 0.0) || std::isinf(l.max_gross)) {
        PyErr_SetString(PyExc_ValueError, "max_gross must be a positive finite number");
        return false;
    }
    if (!(l.slippage >= 0.0 && l.slippage < 1.0)) {
        PyErr_SetString(PyExc_ValueError, "slippage must be in [0, 1)");
        return false;
    }
    if (!(l.band >= 0.0 && l.band_rel >= 0.0) || std::isinf(l.band) || std::isinf(l.band_rel)) {
        PyErr_SetString(PyExc_ValueError, "band and band_rel must be finite and 0 or more");
        return false;
    }
    const Py_ssize_t rows = in.price_index.size;
    for (const auto* table : {&l.cash_rates, &l.margin_rates}) {
        if (table->given && table->rates.rows != rows) {
            PyErr_Format(PyExc_ValueError, "a row rate table has %zd rows, the prices %zd", table->rates.rows, rows);
            return false;
        }
    }
    if (l.borrow_rates.given &&
        (l.borrow_rates.rates.rows != rows || l.borrow_rates.rates.cols != in.pos_columns.size)) {
        PyErr_Format(PyExc_ValueError, "borrow_rates is %zd x %zd, not price rows x weight columns (%zd x %zd)",
                     l.borrow_rates.rates.rows, l.borrow_rates.rates.cols, rows, in.pos_columns.size);
        return false;
    }
    const View2D<double>& lots = l.lot_values.rates;
    if (l.lot_values.given && (lots.rows != rows || lots.cols != in.pos_columns.size)) {
        PyErr_Format(PyExc_ValueError, "lot_values is %zd x %zd, not price rows x weight columns (%zd x %zd)",
                     lots.rows, lots.cols, rows, in.pos_columns.size);
        return false;
    }
    if (!(l.min_trade >= 0.0) || std::isinf(l.min_trade) || !(l.fee_min >= 0.0) || std::isinf(l.fee_min)) {
        PyErr_SetString(PyExc_ValueError, "min_trade and fee_min must be finite and 0 or more");
        return false;
    }
    const View2D<double>& volume = l.volume_values.rates;
    if (l.volume_values.given && (volume.rows != rows || volume.cols != in.price.cols)) {
        PyErr_Format(PyExc_ValueError, "volume_values is %zd x %zd, not price rows x price columns (%zd x %zd)",
                     volume.rows, volume.cols, rows, in.price.cols);
        return false;
    }
    if (!(l.capital > 0.0) || std::isinf(l.capital)) {
        PyErr_SetString(PyExc_ValueError, "capital must be a positive finite number");
        return false;
    }
    if (!(l.impact >= 0.0) || std::isinf(l.impact) || !(l.participation >= 0.0) || std::isinf(l.participation)) {
        PyErr_SetString(PyExc_ValueError, "impact and participation must be finite and 0 or more");
        return false;
    }
    if ((l.impact > 0.0 || l.participation > 0.0) && !l.volume_values.given) {
        PyErr_SetString(PyExc_ValueError, "impact and participation need volume_values");
        return false;
    }
    if (l.impact_window < 2) {
        PyErr_Format(PyExc_ValueError, "impact_window must be >= 2, got %d", l.impact_window);
        return false;
    }
    return true;
}

// Every array is an ndarray (in parameter order), then every array has its
// number of dimensions and element type (in parameter order).
bool check_arrays(const GivenArguments& given) {
#define KORVEL_IS_NDARRAY(name, kind, ndim) \
    if (!check_is_ndarray(given.name, #name)) return false;
    KORVEL_BACKTEST_ARRAYS(KORVEL_IS_NDARRAY)
#undef KORVEL_IS_NDARRAY
#define KORVEL_LAYOUT(name, kind, ndim)                                                               \
    if (!check_array_layout(reinterpret_cast<PyArrayObject*>(given.name), ElementKind::kind, ndim)) { \
        return false;                                                                                 \
    }
    KORVEL_BACKTEST_ARRAYS(KORVEL_LAYOUT)
#undef KORVEL_LAYOUT
    return true;
}

// Puts the recording of one call in place (the ledger of backtest_ledger,
// else the recorder) and puts back the previous one when the call returns: a
// run started by caller code inside another records into its own.
struct RecordingScope {
    Recording previous = g_recording;
    explicit RecordingScope(TradeLedger* ledger) {
        g_recording = ledger ? ledger_recording(*ledger) : recorder_recording();
    }
    ~RecordingScope() { g_recording = previous; }
    RecordingScope(const RecordingScope&) = delete;
    RecordingScope& operator=(const RecordingScope&) = delete;
};

// One call of backtest_ (ledger null) or backtest_ledger: checks and converts
// the arguments and runs the engine. Returns the equity array, or null with
// an exception pending.
PyObject* run_backtest(PyObject* args, PyObject* kwargs, TradeLedger* ledger) {
    GivenArguments given;
    if (!parse_arguments(args, kwargs, ledger != nullptr, given)) return nullptr;
    BacktestInputs in;
    TradingRules& r = in.rules;
    if (!convert_rules(given, r) || !check_arrays(given)) return nullptr;
    in.costs = Costs{r.fee_ratio, r.tax_ratio, r.slippage};
    auto as_array = [](PyObject* array) { return reinterpret_cast<PyArrayObject*>(array); };
    // Rows reach the trade recorder as 32-bit ints; a longer index would wrap
    // to negative rows (read from the end) and give wrong records.
    if (PyArray_DIM(as_array(given.price_index), 0) > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "price_index has %zd rows; at most %d price rows are supported",
                     static_cast<Py_ssize_t>(PyArray_DIM(as_array(given.price_index), 0)), INT_MAX);
        return nullptr;
    }
    // Price columns reach the column map as 32-bit ints too: a longer label
    // array would wrap to negative (or wrong) columns.
    if (PyArray_DIM(as_array(given.price_columns), 0) > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "price_columns has %zd labels; at most %d price columns are supported",
                     static_cast<Py_ssize_t>(PyArray_DIM(as_array(given.price_columns), 0)), INT_MAX);
        return nullptr;
    }
    in.price = view_2d<double>(as_array(given.price_values));
    in.close = view_2d<double>(as_array(given.close_values));
    in.high = view_2d<double>(as_array(given.high_values));
    in.low = view_2d<double>(as_array(given.low_values));
    in.open = view_2d<double>(as_array(given.open_values));
    in.price_index = view_1d<int64_t>(as_array(given.price_index));
    in.price_columns = view_1d<PyObject*>(as_array(given.price_columns));
    in.pos_values = view_2d<double>(as_array(given.pos_values));
    in.pos_index = view_1d<int64_t>(as_array(given.pos_index));
    in.pos_columns = view_1d<PyObject*>(as_array(given.pos_columns));
    in.resample = view_1d<int64_t>(as_array(given.resample));
    in.price_array = given.price_values;
    in.close_array = given.close_values;
    if (ledger && !check_ledger_rules(in)) return nullptr;
    in.costs.fee_min = r.fee_min;
    in.costs.whole_shares = r.lot_values.given;

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
    RecordingScope scope(ledger);
    // The run's vectors and maps are sized by the caller's shapes (a
    // broadcast array can claim any size): an allocation that cannot be met
    // ends the run with MemoryError instead of escaping into the interpreter.
    try {
        run.ledger = ledger;
        if (set_up_run(in, run) < 0) return nullptr;
        const TradingRules& l = in.rules;
        run.accrues = l.cash_rates.given || l.margin_rates.given || l.borrow_rates.given;
        run.keep_closing_values = l.borrow_rates.given;
        if (ledger && l.record_positions) run.closing_book = ledger;
        if (ledger) {
            const analysis::Settings settings{r.excursion_window, r.excursion_window_step, in.costs, l.extremes_only};
            ledger->start(static_cast<int>(in.pos_columns.size), in.price_index.size, in.rules.record_positions,
                          analysis::Tables{in.price, in.close}, settings, run.price_col_of_sid);
            if (l.record_fills) ledger->record_fills(l.volume_values.given ? &run.volume_model : nullptr);
            if (l.volume_values.given) {
                VolumeModel& model = run.volume_model;
                model.close = in.close;
                model.volume = l.volume_values.rates;
                model.trading = in.price;
                model.price_col_of_sid = &run.price_col_of_sid;
                model.window = l.impact_window;
                model.capital = l.capital;
                in.costs.impact_k = l.impact;
                in.costs.volume = &model;
            }
            if (l.participation > 0.0) {
                run.carry.on = true;
                run.carry.model = &run.volume_model;
                run.carry.participation = l.participation;
                run.carry.on_row = l.participation_on_row;
                run.carry.carry = l.carry_unfilled;
                run.carry.start(static_cast<size_t>(in.pos_columns.size));
                ledger->record_unfilled();
            }
        }
        if (ledger) {
            // Decided once for the run: what its fills can pay (interest and borrow
            // accrue apart from the fills).
            LedgerFills fills = LedgerFills::Any;
            if (in.costs.volume == nullptr && !(in.costs.impact_k > 0.0) && !l.record_fills) {
                fills = in.costs.slippage == 0.0 ? LedgerFills::Commission : LedgerFills::Slipped;
            }
            g_recording = ledger_recording(*ledger, fills);
        }
        if (run_rows(in, run) < 0) return nullptr;
        // The orders still carried at the end of the run are undone.
        for (const int sid : run.carry.waiting) {
            const double rest = run.carry.pending[static_cast<size_t>(sid)];
            if (rest != 0.0 && ledger != nullptr) ledger->note_unfilled(sid, rest);
        }
        if (finish_run(in, run) < 0) return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::length_error&) {
        PyErr_NoMemory();
        return nullptr;
    }
    return run.equity.release();
}

}  // namespace

PyObject* py_backtest(PyObject*, PyObject* args, PyObject* kwargs) { return run_backtest(args, kwargs, nullptr); }

PyObject* py_backtest_ledger(PyObject*, PyObject* args, PyObject* kwargs) {
    TradeLedger ledger;
    PyRef equity(run_backtest(args, kwargs, &ledger));
    if (!equity) return nullptr;
    PyRef trades(ledger.to_dict());
    if (!trades) return nullptr;
    PyRef operations(PyDict_Copy(g_stock_operations));
    if (!operations) return nullptr;
    return PyTuple_Pack(3, equity.get(), trades.get(), operations.get());
}

}  // namespace korvel::portsim
