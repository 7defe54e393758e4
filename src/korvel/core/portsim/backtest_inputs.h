// The typed, checked inputs of one backtest run.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "common/strided_view.h"

namespace portsim {

struct TradingRules {
    double fee_ratio = 0.001425;
    double tax_ratio = 0.003;
    double stop_loss = 1.0;
    double take_profit = 0.0;  // set to +inf by the argument parser's default
    double trail_stop = 0.0;   // idem
    double trail_stop_activation = 0.0;
    bool touched_exit = false;
    double position_limit = 1.0;
    bool retain_cost_when_rebalance = false;
    PyObject* stop_trading_next_period = nullptr;  // borrowed; its truth is taken each time
    int excursion_window = 0;
    int excursion_window_step = 1;
    bool periodically_rebalance = true;
};

struct BacktestInputs {
    korvel::View2D<double> price, close, high, low, open;
    korvel::View1D<int64_t> price_index;
    korvel::View1D<PyObject*> price_columns;
    korvel::View2D<double> pos_values;
    korvel::View1D<int64_t> pos_index;
    korvel::View1D<PyObject*> pos_columns;
    korvel::View1D<int64_t> resample;
    bool has_delisting_bars = false;
    korvel::View1D<int64_t> delisting_bars;
    // Borrowed array objects handed on to the trade recorder.
    PyObject* price_array = nullptr;
    PyObject* close_array = nullptr;
    TradingRules rules;
};

}  // namespace portsim
