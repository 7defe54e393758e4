// The steps of one processed price row, in the order the loop runs them.
#pragma once

#include "portsim/run_state.h"

namespace portsim {

// First half: value the holdings, apply the exit rules, run yesterday's
// close-based exits. Each returns -1 with an exception pending.
int process_holdings(const BacktestInputs& in, RunState& run, Py_ssize_t i);
int execute_pending_exits(const BacktestInputs& in, RunState& run);

// Second half: hand today's signals to tomorrow, apply a due weight row,
// close delisted holdings, value the book at the close, pick the next weight row.
void hand_over_exit_signals(RunState& run);
int apply_due_weight_row(const BacktestInputs& in, RunState& run, Py_ssize_t i);
int close_delisted(const BacktestInputs& in, RunState& run, Py_ssize_t i);
int value_at_close(const BacktestInputs& in, RunState& run, Py_ssize_t i);
int choose_next_weight_row(const BacktestInputs& in, RunState& run, Py_ssize_t i);

// Truth value of stop_trading_next_period, taken each time it is consulted.
inline int stop_trading_next_period(const BacktestInputs& in) {
    return PyObject_IsTrue(in.rules.stop_trading_next_period);
}

inline void reset_growth(RunState& run, int sid) {
    run.growth[sid] = 1.0;
    run.growth_max[sid] = 1.0;
    run.growth_min[sid] = 1.0;
}

}  // namespace portsim
