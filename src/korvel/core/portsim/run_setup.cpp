// Building the state of a run: the column map, the engine's arrays, the
// rebalance rows, the exit thresholds, and the reset of the trade recorder.
#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numpy_api.h"
#include "portsim/column_mapping.h"
#include "portsim/recorder_binding.h"
#include "portsim/run_state.h"

namespace korvel::portsim {

namespace {

// NumPy's message for taking row 0 of a table without rows.
bool first_row_width(const View2D<double>& table, size_t& width) {
    if (table.rows < 1) {
        PyErr_SetString(PyExc_IndexError, "index 0 is out of bounds for axis 0 with size 0");
        return false;
    }
    width = static_cast<size_t>(table.cols);
    return true;
}

// Each rebalance date marks the last price row dated on or before it; the
// row pointer only moves forward. Without price rows nothing is marked.
void mark_rebalance_rows(const BacktestInputs& in, RunState& run) {
    const Py_ssize_t rows = in.price_index.size;
    run.rebalance_rows.assign(static_cast<size_t>(rows), 0);
    if (rows == 0) return;
    Py_ssize_t j = 0;
    for (Py_ssize_t k = 0; k < in.resample.size; ++k) {
        const int64_t d = in.resample.at_unchecked(k);
        while (j + 1 < rows && in.price_index.at_unchecked(j + 1) <= d) ++j;
        run.rebalance_rows[j] = 1;
    }
}

// Whether every cell the row loop can read lies inside its array: the price
// tables cover every price row and every price column a weight column maps
// to, the labels and delisting rows cover every weight column.
bool cells_in_bounds(const BacktestInputs& in, const RunState& run, size_t weight_columns) {
    int needed_columns = 0;
    for (size_t sid = 0; sid < weight_columns; ++sid) {
        const int pc = run.price_col(static_cast<int>(sid));
        if (pc < 0) return false;  // never read unchecked: a negative column is no cell
        needed_columns = std::max(needed_columns, pc + 1);
    }
    for (const auto* table : {&in.price, &in.close, &in.high, &in.low, &in.open}) {
        if (table->rows < in.price_index.size || table->cols < needed_columns) return false;
    }
    if (in.pos_columns.size < static_cast<Py_ssize_t>(weight_columns)) return false;
    return !run.use_delisting || in.rules.delisting_bars.bars.size >= static_cast<Py_ssize_t>(weight_columns);
}

ExitThresholds derive_thresholds(const TradingRules& r) {
    ExitThresholds t;
    t.long_lower = 1.0 - std::fabs(r.stop_loss);
    t.long_upper = 1.0 + std::fabs(r.take_profit);
    t.short_upper = 1.0 + std::fabs(r.stop_loss);
    t.short_lower = 1.0 - std::fabs(r.take_profit);
    t.trail_distance = std::fabs(r.trail_stop);
    t.long_activation = 1.0 + std::fabs(r.trail_stop_activation);
    t.short_activation = 1.0 - std::fabs(r.trail_stop_activation);
    return t;
}

}  // namespace

int set_up_run(const BacktestInputs& in, RunState& run) {
    if (map_columns(in.price_columns, in.pos_columns, run.pos2price) < 0) return -1;

    npy_intp rows = in.price_index.size;
    run.equity.reset(PyArray_EMPTY(1, &rows, NPY_DOUBLE, 0));
    if (!run.equity) return -1;
    run.equity_data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(run.equity.get())));

    size_t weight_columns = 0, price_columns = 0;
    if (!first_row_width(in.pos_values, weight_columns)) return -1;
    run.growth.assign(weight_columns, 1.0);
    run.growth_max.assign(weight_columns, 1.0);
    run.growth_min.assign(weight_columns, 1.0);
    if (!first_row_width(in.price, price_columns)) return -1;
    run.last_price.assign(price_columns, 1.0);

    run.use_delisting = false;
    if (in.rules.delisting_bars.held) {
        for (Py_ssize_t k = 0; k < in.rules.delisting_bars.bars.size && !run.use_delisting; ++k) {
            run.use_delisting = in.rules.delisting_bars.bars.at_unchecked(k) >= 0;
        }
    }
    mark_rebalance_rows(in, run);

    // Every sid a weight row can hold gets a slot; an unmapped one reads price column 0.
    run.price_col_of_sid.assign(std::max<size_t>(weight_columns, static_cast<size_t>(in.pos_columns.size)), 0);
    for (const auto& pair : run.pos2price) {
        if (pair.first >= 0 && static_cast<size_t>(pair.first) < run.price_col_of_sid.size()) {
            run.price_col_of_sid[pair.first] = pair.second;
        }
    }

    run.positions.reset(weight_columns);
    run.cells_in_bounds = cells_in_bounds(in, run, weight_columns);

    if (in.pos_columns.size > std::numeric_limits<int>::max()) {
        PyErr_SetString(PyExc_OverflowError, "too many weight columns");
        return -1;
    }
    if (call_recorder(g_recorder.start_analysis, reinterpret_cast<PyArrayObject*>(in.price_array),
                      reinterpret_cast<PyArrayObject*>(in.close_array), run.pos2price,
                      static_cast<int>(in.pos_columns.size), in.rules.fee_ratio, in.rules.tax_ratio,
                      in.rules.excursion_window, in.rules.excursion_window_step) < 0) {
        return -1;
    }

    run.bounds = derive_thresholds(in.rules);
    run.own_stops = run.ledger != nullptr && in.rules.own_trade_stops;
    run.close_test_after_trades = run.own_stops && in.rules.trade_at == TradeAt::Open;
    const ExitThresholds& t = run.bounds;
    run.close_stops = std::isfinite(t.long_lower) || std::isfinite(t.long_upper) || std::isfinite(t.short_upper) ||
                      std::isfinite(t.short_lower) || std::isfinite(t.trail_distance);
    run.trailing = std::isfinite(t.trail_distance);
    run.tracks_growth = !run.own_stops || in.rules.touched_exit;
    run.trade_stops.assign(run.own_stops ? weight_columns : 0, RunState::TradeStops{});
    run.cash = 1.0;
    run.rebalance_due = false;
    run.pos_row = 0;
    run.last_pos_row = -1;
    return 0;
}

}  // namespace korvel::portsim
