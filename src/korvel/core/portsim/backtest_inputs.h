// The typed, checked inputs of one backtest run.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>

#include "common/costs.h"
#include "common/pyref.h"
#include "common/strided_view.h"

namespace korvel::portsim {

// The delisting schedule: any object exposing a 1-D buffer of int64, held
// for the whole call. `held` is false for None.
struct DelistingBars {
    Py_buffer buffer = {};
    bool held = false;
    View1D<int64_t> bars;

    DelistingBars() = default;
    DelistingBars(const DelistingBars&) = delete;
    DelistingBars& operator=(const DelistingBars&) = delete;
    ~DelistingBars() {
        if (held) PyBuffer_Release(&buffer);
    }
};

// The parameters of backtest_ after the eleven arrays, in parameter order:
// X(name, C++ type, default, default as the signature shows it, conversion).
// The conversions run in this order, so it decides which error comes first.
// clang-format off
#define KORVEL_BACKTEST_RULES(X)                                                                 \
    X(fee_ratio, double, 0.001425, "0.001425", to_double)                                        \
    X(tax_ratio, double, 0.003, "0.003", to_double)                                              \
    X(stop_loss, double, 1.0, "1.0", to_double)                                                  \
    X(take_profit, double, kInfinity, "inf", to_double)                                          \
    X(trail_stop, double, kInfinity, "inf", to_double)                                           \
    X(trail_stop_activation, double, 0.0, "0.0", to_double)                                      \
    X(touched_exit, bool, false, "False", to_truth)                                              \
    X(position_limit, double, 1.0, "1.0", to_double)                                             \
    X(retain_cost_when_rebalance, bool, false, "False", to_truth)                                \
    X(stop_trading_next_period, PyObject*, Py_True, "True", keep_object)                         \
    X(excursion_window, int, 0, "0", to_row_count)                                               \
    X(excursion_window_step, int, 1, "1", to_row_count)                                          \
    X(periodically_rebalance, bool, true, "True", to_truth)                                      \
    X(delisting_bars, DelistingBars, , "None", to_delisting_bars)

// The parameters only backtest_ledger takes, keyword-only, after those of
// backtest_ (same columns): korvel's own rules. At their defaults the ledger
// run is backtest_'s. The rate tables hold a simple rate per price row (the
// interest of that row on the previous close's cash, or the borrow fee on a
// short's value there), as the layer works them out; None is no rate.
// volume_values holds the shares traded per price row and price column, read
// by the square-root impact model (impact: its k) and the participation caps
// over the impact_window rows before each fill (see VolumeModel in
// common/costs.h); capital is the starting value in the prices' currency.
// lot_values holds the value of one lot of every cell in units of the
// starting capital (NaN: no rounding there): targets are rounded toward 0
// to whole lots and buys pay their costs from cash. min_trade (units of the
// starting capital) skips smaller trades that do not close a holding;
// fee_min is the least commission of a fill; with sells_first a row's
// trades that reduce a holding run before those that add to one.
// participation caps each fill at that fraction of the ADV before its row
// (of the row's own volume with participation_on_row); the rest of a capped
// order is carried to the following rows, or dropped unless carry_unfilled
// (see participation.h). With extremes_only (and no excursion window), each
// trade's statistics keep its trough, peak and return alone (see Settings).
#define KORVEL_LEDGER_RULES(X)                                                                   \
    X(own_trade_stops, bool, false, "False", to_truth)                                           \
    X(trade_at, TradeAt, TradeAt::Close, "'close'", to_trade_at)                                 \
    X(trail_from, TrailFrom, TrailFrom::Entry, "'entry'", to_trail_from)                         \
    X(max_gross, double, 1.0, "1.0", to_double)                                                  \
    X(slippage, double, 0.0, "0.0", to_double)                                                   \
    X(band, double, 0.0, "0.0", to_double)                                                       \
    X(band_rel, double, 0.0, "0.0", to_double)                                                   \
    X(cash_rates, RateTable, , "None", to_row_rates)                                             \
    X(margin_rates, RateTable, , "None", to_row_rates)                                           \
    X(borrow_rates, RateTable, , "None", to_borrow_rates)                                        \
    X(close_on_ruin, bool, false, "False", to_truth)                                             \
    X(record_positions, bool, false, "False", to_truth)                                          \
    X(volume_values, RateTable, , "None", to_cell_table)                                         \
    X(capital, double, 1.0, "1.0", to_double)                                                    \
    X(impact, double, 0.0, "0.0", to_double)                                                     \
    X(impact_window, int, 20, "20", to_row_count)                                                \
    X(record_fills, bool, false, "False", to_truth)                                              \
    X(lot_values, RateTable, , "None", to_cell_table)                                            \
    X(min_trade, double, 0.0, "0.0", to_double)                                                  \
    X(fee_min, double, 0.0, "0.0", to_double)                                                    \
    X(sells_first, bool, false, "False", to_truth)                                               \
    X(participation, double, 0.0, "0.0", to_double)                                             \
    X(participation_on_row, bool, false, "False", to_truth)                                      \
    X(carry_unfilled, bool, true, "True", to_truth)                                              \
    X(extremes_only, bool, false, "False", to_truth)

// The eleven required arrays: X(name, element kind, number of dimensions).
#define KORVEL_BACKTEST_ARRAYS(X)                                                                \
    X(price_values, Float64, 2)                                                                  \
    X(close_values, Float64, 2)                                                                  \
    X(high_values, Float64, 2)                                                                   \
    X(low_values, Float64, 2)                                                                    \
    X(open_values, Float64, 2)                                                                   \
    X(price_index, Int64, 1)                                                                     \
    X(price_columns, Object, 1)                                                                  \
    X(pos_values, Float64, 2)                                                                    \
    X(pos_index, Int64, 1)                                                                       \
    X(pos_columns, Object, 1)                                                                    \
    X(resample, Int64, 1)
// clang-format on

// A table of rates given as a float64 array (held for the call); `given`
// is false for None. One value per price row, or price rows x weight columns.
struct RateTable {
    PyRef array;
    bool given = false;
    View2D<double> rates;  // a 1-D table is one column
};

inline constexpr double kInfinity = std::numeric_limits<double>::infinity();

// When the trading price of a row is taken: at its close, or before it (the
// open), so that the row's close follows that row's trades.
enum class TradeAt : int8_t { Open, Close };

// What a trailing stop trails: the best trading price since the entry, less
// trail_stop times the entry price; or its peak, the best close (the best
// high of the rows before, for touched exits) times (1 - trail_stop).
enum class TrailFrom : int8_t { Entry, Peak };

// The converted rules of one call. `stop_trading_next_period` is borrowed:
// its truth is taken each time it is consulted.
struct TradingRules {
#define KORVEL_RULE_FIELD(name, type, value, shown, convert) type name{value};
    KORVEL_BACKTEST_RULES(KORVEL_RULE_FIELD)
    KORVEL_LEDGER_RULES(KORVEL_RULE_FIELD)
#undef KORVEL_RULE_FIELD
    bool band_on() const { return band > 0.0 || band_rel > 0.0; }
};

struct BacktestInputs {
    View2D<double> price, close, high, low, open;
    View1D<int64_t> price_index;
    View1D<PyObject*> price_columns;
    View2D<double> pos_values;
    View1D<int64_t> pos_index;
    View1D<PyObject*> pos_columns;
    View1D<int64_t> resample;
    // Borrowed array objects handed on to the trade recorder.
    PyObject* price_array = nullptr;
    PyObject* close_array = nullptr;
    TradingRules rules;
    // The cost model every fill of the run goes through (from the rules).
    Costs costs;
};

}  // namespace korvel::portsim
