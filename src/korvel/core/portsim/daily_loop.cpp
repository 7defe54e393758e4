// The row loop and its first half: valuation of the holdings at the trading
// price, the stop-loss / take-profit / trailing-stop rules and the execution
// of yesterday's close-based exits.
#include <cmath>

#include "portsim/cell_access.h"
#include "portsim/recorder_binding.h"
#include "portsim/row_steps.h"

namespace korvel::portsim {

namespace {

// The exit bounds on the growth factor, and which rule each one is.
struct Bounds {
    double upper;
    double lower;
    ExitReason upper_reason;
    ExitReason lower_reason;
};

Bounds exit_bounds(const ExitThresholds& t, double entry_value, double growth_max, double growth_min) {
    Bounds b;
    if (entry_value > 0.0) {
        const bool trailing = growth_max >= t.long_activation;
        b.upper = t.long_upper;
        b.upper_reason = ExitReason::TakeProfit;
        b.lower = t.long_lower;
        b.lower_reason = ExitReason::StopLoss;
        if (trailing && growth_max - t.trail_distance > b.lower) {
            b.lower = growth_max - t.trail_distance;
            b.lower_reason = ExitReason::TrailingStop;
        }
    } else {
        const bool trailing = growth_min <= t.short_activation;
        b.upper = t.short_upper;
        b.upper_reason = ExitReason::StopLoss;
        if (trailing && growth_min + t.trail_distance < b.upper) {
            b.upper = growth_min + t.trail_distance;
            b.upper_reason = ExitReason::TrailingStop;
        }
        b.lower = t.short_lower;
        b.lower_reason = ExitReason::TakeProfit;
    }
    return b;
}

// Intraday exit on high, low and open, executed on this row at the touched
// level (or at the open when the row gaps through a bound).
template <bool kChecked>
int touched_exit(const BacktestInputs& in, RunState& run, Py_ssize_t i, int sid, int pc, double entry_value, double ret,
                 const Bounds& b) {
    double high = 0.0, low = 0.0, open = 0.0;
    if (!read_cell<kChecked>(in.high, i, pc, high) || !read_cell<kChecked>(in.low, i, pc, low) ||
        !read_cell<kChecked>(in.open, i, pc, open)) {
        return -1;
    }
    const double g0 = run.growth[sid] / ret;
    const double reference = run.last_price[pc];
    const double high_factor = g0 * (high / reference);
    const double low_factor = g0 * (low / reference);
    const double open_factor = g0 * (open / reference);
    const bool touch_low = low_factor <= b.lower;
    const bool touch_high = high_factor >= b.upper;
    const bool touch_open = open_factor >= b.upper || open_factor <= b.lower;
    if (!(touch_open || touch_high || touch_low)) return 0;
    // The fill as a price, for the trade record: the open on a gap, else the
    // touched level measured from the last valid price.
    // The reason is the rule of the bound the fill is at (gapped through).
    double& value = run.positions.value(sid);
    ExitNote exit{ExitReason::Rebalance, open};
    if (touch_open) {
        value = entry_value * open_factor;
        exit.reason = open_factor >= b.upper ? b.upper_reason : b.lower_reason;
    } else if (touch_high) {
        value = entry_value * b.upper;
        exit.fill = reference * b.upper / g0;
        exit.reason = b.upper_reason;
    } else {
        value = entry_value * b.lower;
        exit.fill = reference * b.lower / g0;
        exit.reason = b.lower_reason;
    }
    const bool stop_type = (touch_low && value > 0.0) || (touch_high && value < 0.0);
    run.executed_exits.push_back(signed_exit(sid, !stop_type));
    run.cash = set_position(run.positions, sid, 0.0, run.cash, in.costs, false, false, 1.0, exit);
    return failed(run.cash) ? -1 : 0;
}

template <bool kChecked>
int process_holdings_in(const BacktestInputs& in, RunState& run, Py_ssize_t i) {
    // A touched exit sets the value to 0 but keeps the key, so walking the
    // held sids while closing is safe.
    const std::vector<int>& held = run.positions.held;
    if (!kChecked && run.closing_values.size() < run.positions.values.size()) {
        run.closing_values.resize(run.positions.values.size());
    }
    for (const int sid : held) {
        const int pc = run.price_col(sid);
        double price = 0.0;
        if (!read_cell<kChecked>(in.price, i, pc, price)) return -1;
        if (validate_held_price<kChecked>(in, price, sid, i) < 0) return -1;

        double& last = run.last_price[pc];
        if (std::isnan(last)) last = price;
        double ret = price / last;
        if (std::isnan(ret)) ret = 1.0;
        double& value = run.positions.value(sid);
        value = value * ret;
        double& growth = run.growth[sid];
        growth = growth * ret;
        if (growth > run.growth_max[sid]) run.growth_max[sid] = growth;
        if (growth < run.growth_min[sid]) run.growth_min[sid] = growth;
        const double entry_value = value / growth;
        const Bounds b = exit_bounds(run.bounds, entry_value, run.growth_max[sid], run.growth_min[sid]);

        if (in.rules.touched_exit) {
            if (touched_exit<kChecked>(in, run, i, sid, pc, entry_value, ret, b) < 0) return -1;
        } else {
            double close = 0.0;
            if (!read_cell<kChecked>(in.close, i, pc, close)) return -1;
            // Signed by the kind of exit, as the intraday rule does: a long's
            // upper bound is its take profit, a short's its stop loss.
            const bool is_long = entry_value > 0.0;
            const double close_factor = (growth * close) / price;
            if (close_factor >= b.upper) {
                run.close_exit_signals.push_back(signed_exit(sid, is_long));
                run.close_signal_reasons.push_back(b.upper_reason);
            } else if (close_factor < b.lower) {
                run.close_exit_signals.push_back(signed_exit(sid, !is_long));
                run.close_signal_reasons.push_back(b.lower_reason);
            }
        }
        if (!kChecked) {
            // The holding's value at the close, as the close pass would add it
            // if nothing else changes the book today.
            double close = in.close.at_unchecked(i, pc);
            const bool unpriced = std::isnan(price) || std::isnan(close);
            run.closing_values[static_cast<size_t>(sid)] = unpriced ? value : value * close / price;
            // The holdings are scattered across wide price rows: ask for
            // tomorrow's cells now so the next row does not wait on memory.
            in.price.prefetch(i + 1, pc);
            in.close.prefetch(i + 1, pc);
            if (in.rules.touched_exit) {
                in.high.prefetch(i + 1, pc);
                in.low.prefetch(i + 1, pc);
                in.open.prefetch(i + 1, pc);
            }
        }
        if (!std::isnan(price)) last = price;
    }
    run.rebalanced_since_morning = false;
    return 0;
}

int execute_pending_exits(const BacktestInputs& in, RunState& run) {
    for (size_t k = 0; k < run.pending_exits.size(); ++k) {
        const int signal = run.pending_exits[k];
        const int sid = exit_sid(signal);
        bool keep_position = false;
        if (run.rebalance_due) {
            const int stop_trading = stop_trading_next_period(in);
            if (stop_trading < 0) return -1;
            if (!stop_trading) {
                View1D<double> row;
                double weight = 0.0;
                if (!in.pos_values.row(run.pos_row, row) || !row.get(sid, weight)) return -1;
                keep_position = weight != 0.0;  // NaN counts as weighted
            }
        }
        if (!run.positions.holds(sid) || run.positions.value(sid) == 0.0 || keep_position) continue;
        run.cash = set_position(run.positions, sid, 0.0, run.cash, in.costs, false, true, 1.0,
                                ExitNote{run.pending_reasons[k]});
        if (failed(run.cash)) return -1;
        run.executed_exits.push_back(signal);
        reset_growth(run, sid);
        auto& signals = run.close_exit_signals;
        for (size_t j = 0; j < signals.size(); ++j) {
            if (signals[j] == signal || signals[j] == -signal) {
                signals.erase(signals.begin() + static_cast<std::ptrdiff_t>(j));
                run.close_signal_reasons.erase(run.close_signal_reasons.begin() + static_cast<std::ptrdiff_t>(j));
                break;
            }
        }
    }
    return 0;
}

template <bool kChecked>
int run_rows_in(const BacktestInputs& in, RunState& run) {
    const Py_ssize_t rows = in.price_index.size;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        const int64_t date = in.price_index.at_unchecked(i);
        run.last_date = date;
        int64_t first_weight_date = 0;
        if (!in.pos_index.get(0, first_weight_date)) return -1;
        if (date < first_weight_date) {
            run.equity_data[i] = 1.0;
            continue;
        }
        if (call_recorder(g_recorder.record_date, static_cast<int>(i)) < 0) return -1;
        g_recording.mark_row(g_recording.self, static_cast<int>(i));
        if (in.costs.impact != nullptr) in.costs.impact->row = i;
        if (process_holdings_in<kChecked>(in, run, i) < 0 || execute_pending_exits(in, run) < 0) return -1;

        hand_over_exit_signals(run);
        if (run.rebalance_due && apply_due_weight_row(in, run, i) < 0) return -1;
        if (run.use_delisting && close_delisted<kChecked>(in, run, i) < 0) return -1;
        if (value_at_close<kChecked>(in, run, i) < 0 || choose_next_weight_row(in, run, i) < 0) return -1;
    }
    return 0;
}

}  // namespace

int run_rows(const BacktestInputs& in, RunState& run) {
    return run.cells_in_bounds ? run_rows_in<false>(in, run) : run_rows_in<true>(in, run);
}

}  // namespace korvel::portsim
