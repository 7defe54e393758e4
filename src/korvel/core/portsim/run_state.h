// The state of one backtest run, created by the set-up and discarded when
// the call returns (except the equity array, which is handed back).
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "common/pyref.h"
#include "portsim/backtest_inputs.h"
#include "portsim/exit_reason.h"
#include "portsim/participation.h"
#include "portsim/position_book.h"

namespace korvel::portsim {

class TradeLedger;

struct ExitThresholds {
    double long_lower;
    double long_upper;
    double short_upper;
    double short_lower;
    double trail_distance;
    double long_activation;
    double short_activation;
};

// Exit bookkeeping keeps instruments as signed values whose sign carries the
// exit kind. The sid is shifted by one so that instrument 0 keeps its sign.
inline int signed_exit(int sid, bool positive) { return positive ? sid + 1 : -(sid + 1); }
inline int exit_sid(int entry) { return (entry < 0 ? -entry : entry) - 1; }

struct RunState {
    PositionBook positions;
    double cash = 1.0;
    std::map<int, int> pos2price;
    // pos2price flattened by sid for the hot loop; unmapped columns read price column 0.
    std::vector<int> price_col_of_sid;
    PyRef equity;
    double* equity_data = nullptr;
    std::vector<double> growth, growth_max, growth_min;
    std::vector<double> last_price;
    std::vector<unsigned char> rebalance_rows;
    bool use_delisting = false;
    std::vector<int> pending_exits, close_exit_signals, executed_exits, delisting_exits;
    // Why each close-based signal was raised, element for element with
    // pending_exits and close_exit_signals.
    std::vector<ExitReason> pending_reasons, close_signal_reasons;
    // The trade each close-based signal belongs to (own-trade stops only),
    // element for element with pending_exits and close_exit_signals.
    std::vector<int64_t> pending_serials, close_signal_serials;
    // The sids held right after the last applied weight row.
    std::vector<int> held_at_rebalance;
    bool rebalance_due = false;
    Py_ssize_t pos_row = 0;
    Py_ssize_t last_pos_row = -1;
    ExitThresholds bounds = {};
    int64_t last_date = 0;  // date of the last price row processed
    // Reused buffers: the stopped-out copy of a weight row, |weights|, and the
    // references of holdings that continue through a rebalance.
    std::vector<double> weight_row_copy, abs_weights;
    struct KeptReference {
        int sid;
        size_t price_col;
        double last_price;
    };
    std::vector<KeptReference> kept_references;

    // Own-trade stops (backtest_ledger's own_trade_stops): each holding's
    // close-based stops belong to its trade, measured from that trade's entry
    // price, and a row's close is tested after the row's trades when the
    // trading price comes before the close.
    bool own_stops = false;
    bool close_test_after_trades = false;
    // Whether any close-based rule can fire at all (a bound is finite).
    bool close_stops = false;
    // Whether the stop references (growth) are read: by backtest_'s close
    // rule and by touched exits; own-trade stops at the close keep prices.
    bool tracks_growth = true;
    // Whether the trailing stop can move a level (its distance is finite):
    // without it, a trade's levels stay where its entry set them.
    bool trailing = false;
    struct TradeStops {
        int64_t serial = -1;  // the trade (TradeLedger::opened) these belong to
        bool is_long = true;
        double entry = 0.0;  // its entry price, or its first valid trading price
        double best = 0.0;   // best trading price since the entry (a short's lowest)
        double peak = 0.0;   // best close or prior high since the entry (a short's lowest); NaN before the first
        // The close-based levels as prices, the tolerance included: a close at
        // or above `upper`, or at or below `lower`, signals that rule.
        double upper = 0.0, lower = 0.0;
        ExitReason upper_reason = ExitReason::TakeProfit, lower_reason = ExitReason::StopLoss;
    };
    std::vector<TradeStops> trade_stops;  // by sid

    // Every cell the run can read lies inside its array (checked once when
    // the run is set up): the row loop then reads without per-cell checks.
    bool cells_in_bounds = false;
    // With cells in bounds: each holding's value at today's close by sid,
    // worked out in the morning pass, and whether a rebalance changed the
    // book since (exits and delistings only remove holdings), in which case
    // the close pass works the values out anew.
    std::vector<double> closing_values;
    bool rebalanced_since_morning = true;
    // With a borrow fee: the close pass keeps every holding's value at the
    // close in closing_values too, whatever the cells, for the next row's fee.
    bool keep_closing_values = false;

    // korvel's path: whether interest or borrow accrue, the ledger that keeps
    // each holding's weight at the close (null when none does), and ruin (a
    // close at 0 or below): `ruined` from that close, `ruin_closed` once the
    // book has been closed on the next row.
    bool accrues = false;
    // With a band: the columns the last rebalance left alone, and the stop
    // references from before it (restored for them).
    std::vector<int> band_skipped;
    std::vector<double> kept_growth, kept_growth_max, kept_growth_min;
    TradeLedger* ledger = nullptr;  // the ledger of backtest_ledger, null for backtest_
    TradeLedger* closing_book = nullptr;
    bool ruined = false;
    bool ruin_closed = false;
    // Participation caps and the orders they carry, and the volume the size
    // rules read (korvel's path).
    Carry carry;
    VolumeModel volume_model;

    int price_col(int sid) const {
        return (sid >= 0 && static_cast<size_t>(sid) < price_col_of_sid.size()) ? price_col_of_sid[sid] : 0;
    }
};

// Builds the run state (arrays, maps, rebalance rows, recorder reset).
// Returns -1 with an exception pending.
int set_up_run(const BacktestInputs& in, RunState& run);

// The row loop over all price rows. Returns -1 with an exception pending.
int run_rows(const BacktestInputs& in, RunState& run);

// Closes the run: records open trades and builds the operations record.
// Returns -1 with an exception pending.
int finish_run(const BacktestInputs& in, RunState& run);

}  // namespace korvel::portsim
