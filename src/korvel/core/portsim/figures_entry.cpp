// run_figures(...): the figures of one run from its equity curve and trade
// ledger (run_figures.h), as Python values. Checks every array's type, shape
// and the rows and codes it indexes by, then computes.
#include "common/array_checks.h"
#include "common/numpy_api.h"
#include "common/pyref.h"
#include "portsim/figures_entry.h"
#include "portsim/run_figures.h"

#include <new>
#include <vector>

namespace korvel::portsim {
namespace {

constexpr const char* kFunction = "run_figures";

// The element types an argument may have.
enum class Element { Float64, Int64, Int8, Bool };

bool element_matches(PyArrayObject* array, Element element) {
    const int type = PyArray_TYPE(array);
    switch (element) {
        case Element::Float64: return type == NPY_DOUBLE;
        case Element::Int64: return element_kind_matches(PyArray_DESCR(array), ElementKind::Int64);
        case Element::Int8: return type == NPY_INT8;
        case Element::Bool: return type == NPY_BOOL;
    }
    return false;
}

const char* element_name(Element element) {
    switch (element) {
        case Element::Float64: return "float64";
        case Element::Int64: return "int64";
        case Element::Int8: return "int8";
        case Element::Bool: return "bool";
    }
    return "?";
}

// An argument as an aligned, contiguous array of its element type in native byte order: `owner` holds it
// (the argument itself when it is one, else a copy). TypeError naming the argument otherwise; None is
// taken (owner left empty) only where `optional`.
bool take(PyObject* obj, const char* name, Element element, int ndim, PyRef& owner, bool optional = false) {
    if (optional && obj == Py_None) return true;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (!PyArray_Check(obj) || PyArray_NDIM(array) != ndim || !element_matches(array, element) ||
        PyArray_ISBYTESWAPPED(array)) {
        PyErr_Format(PyExc_TypeError, "%s: '%s' must be a %d-D %s array in native byte order%s (got %.200s)", kFunction,
                     name, ndim, element_name(element), optional ? " or None" : "", Py_TYPE(obj)->tp_name);
        return false;
    }
    owner.reset(PyArray_FromArray(array, nullptr, NPY_ARRAY_IN_ARRAY));
    return static_cast<bool>(owner);
}

template <typename T>
const T* data_of(const PyRef& owner) {
    return owner ? static_cast<const T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(owner.get()))) : nullptr;
}

npy_intp length(const PyRef& owner, int axis = 0) {
    return PyArray_DIM(reinterpret_cast<PyArrayObject*>(owner.get()), axis);
}

bool check_length(const PyRef& owner, const char* name, npy_intp expected, const char* what) {
    if (!owner || length(owner) == expected) return true;
    PyErr_Format(PyExc_ValueError, "%s: '%s' has %zd elements, not one per %s (%zd)", kFunction, name,
                 static_cast<Py_ssize_t>(length(owner)), what, static_cast<Py_ssize_t>(expected));
    return false;
}

bool raise_value(const char* message) {
    PyErr_Format(PyExc_ValueError, "%s: %s", kFunction, message);
    return false;
}

// The rows, columns, codes and offsets the figures index by are inside their arrays.
bool check_indices(const RunArrays& run) {
    for (std::ptrdiff_t c = 0; c <= run.width; ++c) {
        const std::int64_t at = run.missing_offsets[c];
        if (at < 0 || at > run.missing_count || (c && at < run.missing_offsets[c - 1])) {
            return raise_value("'offsets' are not ascending offsets into 'missing'");
        }
    }
    for (std::ptrdiff_t t = 0; t < run.trades; ++t) {
        const std::int64_t entry = run.entry[t], exit = run.exit[t];
        if (entry < 0 || entry >= run.rows) return raise_value("a trade's entry row is outside the rows");
        if (exit != -1 && (exit < entry || exit >= run.rows)) {
            return raise_value("a trade's exit row is neither -1 nor from its entry row to the last row");
        }
        if (run.exit_reason[t] < 0 || run.exit_reason[t] >= run.reasons) {
            return raise_value("a trade's exit reason is not below 'reasons'");
        }
        if (run.missing_count && (run.columns[t] < 0 || run.columns[t] >= run.width)) {
            return raise_value("a trade's market column is not one of the offsets' columns");
        }
    }
    return true;
}

PyObject* figure_value(double value, FigureKind kind) {
    switch (kind) {
        case FigureKind::Real: return PyFloat_FromDouble(value);
        case FigureKind::Count: return PyLong_FromLongLong(static_cast<long long>(value));
        case FigureKind::Row:
            if (value < 0) return Py_NewRef(Py_None);
            return PyLong_FromLongLong(static_cast<long long>(value));
    }
    return nullptr;
}

constexpr FigureKind kKinds[] = {
#define KORVEL_FIGURE_KIND(name, kind) FigureKind::kind,
    KORVEL_RUN_FIGURES(KORVEL_FIGURE_KIND)
#undef KORVEL_FIGURE_KIND
};

}  // namespace

PyObject* run_figure_names() {
    static constexpr const char* names[] = {
#define KORVEL_FIGURE_NAME(name, kind) #name,
        KORVEL_RUN_FIGURES(KORVEL_FIGURE_NAME)
#undef KORVEL_FIGURE_NAME
    };
    PyRef out(PyTuple_New(kFigureCount));
    if (!out) return nullptr;
    for (int k = 0; k < kFigureCount; ++k) {
        PyObject* name = PyUnicode_InternFromString(names[k]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(out.get(), k, name);
    }
    return out.release();
}

PyObject* py_run_figures(PyObject*, PyObject* args) {
    PyObject *equity, *dates, *risk_free, *row_traded, *row_financing, *row_long, *row_short, *entry, *exit, *columns,
        *weight, *statistics, *unpriced_entry, *fees, *taxes, *slippage, *borrow, *impact, *exit_reason, *missing,
        *offsets;
    Py_ssize_t first = 0, reasons = 0;
    if (!PyArg_ParseTuple(args, "OOnOOOOOOOOOOOOOOOOOnOO:run_figures", &equity, &dates, &first, &risk_free, &row_traded,
                          &row_financing, &row_long, &row_short, &entry, &exit, &columns, &weight, &statistics,
                          &unpriced_entry, &fees, &taxes, &slippage, &borrow, &impact, &exit_reason, &reasons, &missing,
                          &offsets)) {
        return nullptr;
    }
    using E = Element;
    PyRef equity_a, dates_a, risk_free_a, row_traded_a, row_financing_a, row_long_a, row_short_a, entry_a, exit_a,
        columns_a, weight_a, statistics_a, unpriced_a, fees_a, taxes_a, slippage_a, borrow_a, impact_a, reason_a,
        missing_a, offsets_a;
    if (!take(equity, "equity", E::Float64, 1, equity_a) || !take(dates, "dates", E::Int64, 1, dates_a) ||
        !take(risk_free, "risk_free", E::Float64, 1, risk_free_a, true) ||
        !take(row_traded, "row_traded", E::Float64, 1, row_traded_a) ||
        !take(row_financing, "row_financing", E::Float64, 1, row_financing_a) ||
        !take(row_long, "row_long", E::Float64, 1, row_long_a) ||
        !take(row_short, "row_short", E::Float64, 1, row_short_a) || !take(entry, "entry", E::Int64, 1, entry_a) ||
        !take(exit, "exit", E::Int64, 1, exit_a) || !take(columns, "columns", E::Int64, 1, columns_a) ||
        !take(weight, "weight", E::Float64, 1, weight_a) ||
        !take(statistics, "statistics", E::Float64, 2, statistics_a) ||
        !take(unpriced_entry, "unpriced_entry", E::Bool, 1, unpriced_a, true) ||
        !take(fees, "fees", E::Float64, 1, fees_a) || !take(taxes, "taxes", E::Float64, 1, taxes_a) ||
        !take(slippage, "slippage", E::Float64, 1, slippage_a) || !take(borrow, "borrow", E::Float64, 1, borrow_a) ||
        !take(impact, "impact", E::Float64, 1, impact_a) || !take(exit_reason, "exit_reason", E::Int8, 1, reason_a) ||
        !take(missing, "missing", E::Int64, 1, missing_a) || !take(offsets, "offsets", E::Int64, 1, offsets_a)) {
        return nullptr;
    }
    const npy_intp rows = length(equity_a), trades = length(entry_a), width = length(offsets_a) - 1;
    if (first < 0 || first > rows) return raise_value("'first' is not a row of the equity"), nullptr;
    // Exit reason codes are int8: at most 128 of them.
    if (reasons < 1 || reasons > 128) return raise_value("'reasons' is not from 1 to 128"), nullptr;
    if (length(statistics_a, 1) < 6) return raise_value("'statistics' has fewer than 6 columns"), nullptr;
    const bool shapes_agree =
        check_length(dates_a, "dates", rows, "row") &&
        check_length(risk_free_a, "risk_free", rows - first, "live row") &&
        check_length(row_traded_a, "row_traded", rows, "row") &&
        check_length(row_financing_a, "row_financing", rows, "row") &&
        check_length(row_long_a, "row_long", rows, "row") && check_length(row_short_a, "row_short", rows, "row") &&
        check_length(exit_a, "exit", trades, "trade") && check_length(columns_a, "columns", trades, "trade") &&
        check_length(weight_a, "weight", trades, "trade") &&
        check_length(statistics_a, "statistics", trades, "trade") &&
        check_length(unpriced_a, "unpriced_entry", trades, "trade") && check_length(fees_a, "fees", trades, "trade") &&
        check_length(taxes_a, "taxes", trades, "trade") && check_length(slippage_a, "slippage", trades, "trade") &&
        check_length(borrow_a, "borrow", trades, "trade") && check_length(impact_a, "impact", trades, "trade") &&
        check_length(reason_a, "exit_reason", trades, "trade");
    if (!shapes_agree) return nullptr;
    if (width < 0) return raise_value("'offsets' is empty: it has one more element than the market columns"), nullptr;

    RunArrays run;
    run.rows = rows;
    run.first = first;
    run.equity = data_of<double>(equity_a);
    run.dates = data_of<std::int64_t>(dates_a);
    run.risk_free = data_of<double>(risk_free_a);
    run.row_traded = data_of<double>(row_traded_a);
    run.row_financing = data_of<double>(row_financing_a);
    run.row_long = data_of<double>(row_long_a);
    run.row_short = data_of<double>(row_short_a);
    run.trades = trades;
    run.entry = data_of<std::int64_t>(entry_a);
    run.exit = data_of<std::int64_t>(exit_a);
    run.columns = data_of<std::int64_t>(columns_a);
    run.weight = data_of<double>(weight_a);
    run.statistics = data_of<double>(statistics_a);
    run.stats_width = length(statistics_a, 1);
    run.unpriced_entry = data_of<bool>(unpriced_a);
    run.fees = data_of<double>(fees_a);
    run.taxes = data_of<double>(taxes_a);
    run.slippage = data_of<double>(slippage_a);
    run.borrow = data_of<double>(borrow_a);
    run.impact = data_of<double>(impact_a);
    run.exit_reason = data_of<std::int8_t>(reason_a);
    run.reasons = reasons;
    run.missing = data_of<std::int64_t>(missing_a);
    run.missing_count = length(missing_a);
    run.missing_offsets = data_of<std::int64_t>(offsets_a);
    run.width = width;
    if (!check_indices(run)) return nullptr;

    double values[kFigureCount];
    std::vector<std::int64_t> exits;
    // The GIL stays held: the rows and codes checked above must not change under the computation (a
    // Python thread writing into `entry` meanwhile would make them index outside the counts).
    try {
        run_figures(run, values, exits);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }

    PyRef figures(PyTuple_New(kFigureCount));
    if (!figures) return nullptr;
    for (int k = 0; k < kFigureCount; ++k) {
        PyObject* value = figure_value(values[k], kKinds[k]);
        if (!value) return nullptr;
        PyTuple_SET_ITEM(figures.get(), k, value);
    }
    PyRef counts(PyTuple_New(static_cast<Py_ssize_t>(exits.size())));
    if (!counts) return nullptr;
    for (std::size_t code = 0; code < exits.size(); ++code) {
        PyObject* count = PyLong_FromLongLong(exits[code]);
        if (!count) return nullptr;
        PyTuple_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(code), count);
    }
    return PyTuple_Pack(2, figures.get(), counts.get());
}

}  // namespace korvel::portsim
