// Module korvel.core.portsim: the backtest engine.
#define KORVEL_IMPORTS_NUMPY
#include "common/numpy_api.h"
#include "common/pyref.h"
#include "portsim/backtest_entry.h"
#include "portsim/backtest_inputs.h"
#include "portsim/figures_entry.h"
#include "portsim/ledger_fields.h"
#include "portsim/listing.h"
#include "portsim/module_state.h"
#include "portsim/recorder_binding.h"

#include <string>

namespace korvel::portsim {
namespace {

template <typename F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// A docstring whose signature line lists backtest_'s parameters, built from
// the parameter table so that inspect.signature shows every default. Built
// at import and kept for the life of the process (the function object points
// into it).
const char* signature_doc(const char* name, const char* summary, bool ledger) {
    const auto* doc = new std::string([&] {
        std::string text = std::string(name) + "(";
        const char* separator = "";
#define KORVEL_SHOWN_ARRAY(name, ...) text.append(separator).append(#name), separator = ", ";
#define KORVEL_SHOWN_RULE(name, type, value, shown, convert) \
    text.append(separator).append(#name "=" shown), separator = ", ";
        KORVEL_BACKTEST_ARRAYS(KORVEL_SHOWN_ARRAY)
        KORVEL_BACKTEST_RULES(KORVEL_SHOWN_RULE)
        if (ledger) {
            text.append(", *");
            KORVEL_LEDGER_RULES(KORVEL_SHOWN_RULE)
        }
#undef KORVEL_SHOWN_ARRAY
#undef KORVEL_SHOWN_RULE
        return text + ")\n--\n\n" + summary;
    }());
    return doc->c_str();
}

constexpr char kBacktestSummary[] =
    "Simulate a long/short portfolio over the price rows and return its equity curve\n"
    "(one value per price row, in units of the starting capital). The trades are left\n"
    "in korvel.core.excursion; the operations record in get_stock_operations().";

constexpr char kLedgerSummary[] =
    "Run backtest_ with its arguments and korvel's own rules, keyword-only (at\n"
    "their defaults the run is backtest_'s; the per-row cash_rates and\n"
    "margin_rates and the rows x weight columns borrow_rates are simple rates per\n"
    "row), and return (equity, ledger, operations):\n"
    "the equity curve, the trades as a dict of NumPy arrays (one element per trade:\n"
    KORVEL_LEDGER_TRADE_FIELDS(KORVEL_LEDGER_KEY_TEXT) "statistics; one per price row:\n"
    KORVEL_LEDGER_ROW_FIELDS(KORVEL_LEDGER_KEY_TEXT) "and reason_names) and a copy of\n"
    "the operations record; with record_positions also \"positions\" (price rows x\n"
    "weight columns: each holding's value over the portfolio value at the close).\n"
    "The record lists of korvel.core.excursion are left empty.\n\n"
    "own_trade_stops=True runs the close-based stops in the order of the trading\n"
    "day: each stop belongs to the trade that raised it and is measured from that\n"
    "trade's entry price; trade_at says whether price_values trades before the\n"
    "close ('open') or at it ('close'). trail_from='peak' (with own_trade_stops)\n"
    "trails the peak by trail_stop times the peak.\n\n"
    "volume_values (price rows x price columns: shares traded) with capital (in the\n"
    "prices' currency) feeds the square-root impact model (impact: its k) and the\n"
    "participation caps (participation, of the ADV over the impact_window rows\n"
    "before each fill, or of the row's volume with participation_on_row); the rest of\n"
    "a capped order is carried (or dropped unless carry_unfilled) and listed as\n"
    "unfilled_row, unfilled_sid, unfilled_rest (a value over the price) when not\n"
    "done. record_fills adds fill_row, fill_sid, fill_traded (every fill's |value|)\n"
    "and, with volume_values, fill_adv (the ADV before each fill).\n\n"
    "extremes_only=True (without an excursion window) keeps only the trough, the peak\n"
    "and the return in each trade's exit statistics, the other three NaN: faster for\n"
    "a run that reads nothing else.";

PyMethodDef portsim_methods[] = {
    {"backtest_", as_cfunction(py_backtest), METH_VARARGS | METH_KEYWORDS, nullptr},               // doc set at import
    {"backtest_ledger", as_cfunction(py_backtest_ledger), METH_VARARGS | METH_KEYWORDS, nullptr},  // likewise
    {"get_stock_operations", as_cfunction(py_get_stock_operations), METH_NOARGS,
     "get_stock_operations()\n--\n\n"
     "A shallow copy of the operations record of the latest run."},
    {"get_trade_stocks", as_cfunction(py_get_trade_stocks), METH_VARARGS | METH_KEYWORDS,
     "get_trade_stocks(pos_columns, price_index, touched_exit)\n--\n\n"
     "The latest run's trades as 9-element rows with labels and dates, and the operations record."},
    {"ioft", as_cfunction(py_ioft), METH_VARARGS | METH_KEYWORDS,
     "ioft(v)\n--\n\n"
     "datetime.datetime.fromtimestamp(v / 1e9): a nanosecond date stamp as a local date-time."},
    {"normalize_weight", as_cfunction(py_normalize_weight), METH_VARARGS | METH_KEYWORDS,
     "normalize_weight(weights, position_limit)\n--\n\n"
     "Scale the weights down to a gross exposure of 1 if above it, then cap each at\n"
     "+/- position_limit. Changes the mapping in place and returns it."},
    {"run_figures", as_cfunction(py_run_figures), METH_VARARGS,
     "run_figures(equity, dates, first, risk_free, row_traded, row_financing, row_long, row_short, entry, exit,\n"
     "            columns, weight, statistics, unpriced_entry, fees, taxes, slippage, borrow, impact,\n"
     "            exit_reason, reasons, missing, offsets, /)\n--\n\n"
     "The figures of one run from its equity (per price row) and trade ledger, from price row first\n"
     "on: (figures in RUN_FIGURES' order, trades per exit reason code). risk_free: the risk-free\n"
     "return of each row from first on, or None; unpriced_entry: per trade, no price on its entry\n"
     "row (left out of the trade figures), or None; missing: the missing closes as sorted keys\n"
     "column * (rows + 1) + row, and offsets where each market column's keys start (then their end)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef portsim_module = {
    PyModuleDef_HEAD_INIT,
    "korvel.core.portsim",
    "The backtest engine.",
    -1,
    portsim_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool intern(const char* text, PyObject*& slot) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

int add_object(PyObject* module, const char* name, PyObject* owned) {
    PyRef value(owned);
    if (!value) return -1;
    return PyModule_AddObjectRef(module, name, value.get());
}

PyObject* create_module() {
    portsim_methods[0].ml_doc = signature_doc("backtest_", kBacktestSummary, false);
    portsim_methods[1].ml_doc = signature_doc("backtest_ledger", kLedgerSummary, true);
    PyRef module(PyModule_Create(&portsim_module));
    if (!module) return nullptr;
    if (!intern("RETAIN_COST_WHEN_REBALANCE", g_names.retain_cost_when_rebalance) ||
        !intern("RESAMPLE", g_names.resample) || !intern("normalize_weight", g_names.normalize_weight) ||
        !intern("datetime", g_names.datetime) || !intern("trades", g_names.trades) ||
        !intern("trade_positions", g_names.trade_positions)) {
        return nullptr;
    }
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "org_np", numpy.get()) < 0) return nullptr;
    if (add_object(module.get(), "datetime", PyImport_ImportModule("datetime")) < 0) return nullptr;
    if (add_object(module.get(), "RUN_FIGURES", run_figure_names()) < 0) return nullptr;
    if (add_object(module.get(), "inf", PyObject_GetAttrString(numpy.get(), "inf")) < 0) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "RETAIN_COST_WHEN_REBALANCE", Py_False) < 0 ||
        PyModule_AddObjectRef(module.get(), "RESAMPLE", Py_None) < 0) {
        return nullptr;
    }
    g_module_dict = PyModule_GetDict(module.get());
    if (!g_stock_operations) {
        g_stock_operations = PyDict_New();
        if (!g_stock_operations) return nullptr;
    }
    PyRef recorder(bind_recorder());
    if (!recorder) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "excursion", recorder.get()) < 0) return nullptr;
    Py_XSETREF(g_excursion_module, recorder.release());
    return module.release();
}

}  // namespace
}  // namespace korvel::portsim

PyMODINIT_FUNC PyInit_portsim(void) {
    import_array();
    return korvel::portsim::create_module();
}
