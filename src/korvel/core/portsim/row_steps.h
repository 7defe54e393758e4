// The steps of one processed price row, in the order the loop runs them.
#pragma once

#include "portsim/module_state.h"
#include "portsim/price_validation.h"
#include "portsim/run_state.h"

namespace korvel::portsim {

// Each step returns -1 with an exception pending. The first half of a row
// (valuing the holdings, the exit rules, yesterday's close-based exits) lives
// with the row loop in daily_loop.cpp.

// Second half: hand today's signals to tomorrow, apply a due weight row,
// close delisted holdings, value the book at the close, pick the next weight row.
// kChecked: each cell read is bounds-checked (see RunState::cells_in_bounds).
void hand_over_exit_signals(RunState& run);
int apply_due_weight_row(const BacktestInputs& in, RunState& run, Py_ssize_t i);
// korvel's path, with participation caps: the orders carried from earlier
// rows take their next fills (on a row with a due weight row, only the stop
// exits under way: the weight row replaces the other orders).
int fill_carried_orders(const BacktestInputs& in, RunState& run, Py_ssize_t i, bool exits_only);
// korvel's path, with participation caps: a stop exit of `sid` on row i (at
// `note`'s fill, else the row's trading price) sells at most its cap and
// carries the rest, always (a dropped stop exit would leave a holding its
// user takes for closed). 1: capped, the holding is left to the carried
// exit; 0: within its cap, for the caller to close.
int cap_stop_exit(const BacktestInputs& in, RunState& run, Py_ssize_t i, int sid, const ExitNote& note);
template <bool kChecked>
int close_delisted(const BacktestInputs& in, RunState& run, Py_ssize_t i);
template <bool kChecked>
int value_at_close(const BacktestInputs& in, RunState& run, Py_ssize_t i);
int choose_next_weight_row(const BacktestInputs& in, RunState& run, Py_ssize_t i);

// Truth value of stop_trading_next_period, taken each time it is consulted.
inline int stop_trading_next_period(const BacktestInputs& in) {
    PyObject* flag = in.rules.stop_trading_next_period;
    if (flag == Py_True) return 1;  // the default: a test that runs no code
    if (flag == Py_False) return 0;
    const int truth = PyObject_IsTrue(flag);
    note_caller_code_may_have_run();
    return truth;
}

// Checks the trading price of the holding `sid` on row i. The label is
// needed only for the message of an invalid price; when the labels cover
// every sid (cells in bounds) it is read only then.
template <bool kChecked>
int validate_held_price(const BacktestInputs& in, double price, int sid, Py_ssize_t i) {
    if (kChecked) {
        PyObject* label = nullptr;
        if (!in.pos_columns.get(sid, label)) return -1;
        return validate_trade_price(price, label, i);
    }
    if (is_valid_trade_price(price)) return 0;
    return raise_invalid_trade_price(price, in.pos_columns.at_unchecked(sid), i);
}

inline void reset_growth(RunState& run, int sid) {
    run.growth[sid] = 1.0;
    run.growth_max[sid] = 1.0;
    run.growth_min[sid] = 1.0;
}

}  // namespace korvel::portsim
