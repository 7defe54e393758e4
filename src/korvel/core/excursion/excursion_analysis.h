// Excursion statistics of one trade: plain arithmetic over strided views.
//
// Nothing here touches the interpreter. Every function reports failure as a
// Status; the glue in analysis_glue.cpp turns it into an exception. The trade
// is walked once with O(1) running state; the statistics of a row are the
// running values after it.
#pragma once

#include "common/costs.h"
#include "common/strided_view.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace korvel::analysis {

struct Tables {
    View2D<double> price;  // trade prices
    View2D<double> close;  // closes
};

struct Settings {
    int window;       // rows analysed past the entry, at least
    int window_step;  // spacing of the window snapshots
    Costs costs;
    // Without window snapshots: take only the trough, the peak and the
    // return of each trade, and leave its peak at the trough, drawdown and
    // profit days NaN (a run that reads nothing else skips their work).
    bool extremes_only = false;
};

struct Trade {
    int col;  // price column (negative counts from the end)
    int entry_row;
    int exit_row;
    bool is_long;
    int entry_transaction;  // non-zero: the entry paid commission
    int exit_transaction;   // non-zero: the exit paid commission and tax
    // An intraday exit is filled at the touched level (or the open), not at
    // the row's trade price: the exit is then valued at this price instead.
    std::optional<double> exit_fill;
    // A record ended by a rebalance that keeps the holding (no transaction):
    // the exit is valued at the row's trade price as a real exit is, but
    // without exit costs. Open trades at the end of a run are not revalued.
    bool revalue_split = false;
};

// The snapshots of one trade, six values each: the window snapshots in
// offset order and the exit snapshot. Reused from trade to trade, so once it
// has grown to the largest trade seen, analysing a trade allocates nothing.
struct Snapshots {
    std::vector<double> window;  // 6 values per window snapshot, from offset 0
    size_t window_values = 0;    // how many of them this trade wrote
    double exit[6];
    double exit_factor;  // the exit offset's return factor before the exit costs
};

enum class Status {
    Ok,
    FloatDivision,        // a divisor of 0.0
    IntegerDivision,      // window step 0
    RowOutOfBounds,       // a row outside price or close
    ColumnOutOfBounds,    // a column outside price or close
    EntryPastEnd,         // entry row more than one row past the tables
    NegativeSetting,      // negative window or window step
    SnapshotOutOfBounds,  // a snapshot would not fit the result
    OutOfMemory,
};

// Negative windows or steps have no meaning; checked before any work.
Status check_settings(const Settings& settings);

// Traces the trade over its rows in one pass, taking the snapshots on the
// way, and applies the exit costs.
Status trace_trade(const Tables& tables, const Settings& settings, const Trade& trade, Snapshots& snapshots);

// Number of values in a trade's result: six per window snapshot plus the
// exit snapshot and one spare group.
Status result_size(const Settings& settings, int64_t& size);

// Writes the snapshots into `out` (size values): the window snapshots from
// the front, the exit snapshot into the last six values, -1 elsewhere.
Status write_snapshots(const Snapshots& snapshots, double* out, int64_t size);

}  // namespace korvel::analysis
