// Excursion statistics of one trade: plain arithmetic over strided views.
//
// Nothing here touches the interpreter. Every function reports failure as a
// Status; the glue in analysis_glue.cpp turns it into an exception. The
// working series live in a caller-owned Series so their buffers can be reused
// from trade to trade: once they have grown to the longest trade seen, tracing
// a trade allocates nothing.
#pragma once

#include "common/strided_view.h"

#include <cstdint>
#include <vector>

namespace korvel::analysis {

struct Tables {
    View2D<double> price;  // trade prices
    View2D<double> close;  // closes
};

struct Settings {
    int window;       // rows analysed past the entry, at least
    int window_step;  // spacing of the window snapshots
    double fee_ratio;
    double tax_ratio;
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
    bool has_exit_fill = false;
    double exit_fill = 0.0;
};

// Element t describes the trade as of row entry_row + t. All returns are
// gross factors (1.0 = break-even).
struct Series {
    std::vector<double> cum_return;
    std::vector<double> peak_return;    // running maximum, seeded with max(1, first)
    std::vector<double> trough_return;  // running minimum, seeded with min(1, first)
    std::vector<int64_t> trough_offset; // offset of the row before the latest new low
    std::vector<double> max_drawdown;   // running minimum of cum / peak - 1
    std::vector<double> profit_days;    // rows with a valid close and cum > 1
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

// Traces the trade over its rows into `series` (cleared first) and applies
// the exit costs. `exit_offset` receives the offset of the exit snapshot.
Status trace_trade(const Tables& tables, const Settings& settings, const Trade& trade, Series& series,
                   int64_t& exit_offset);

// Number of values in a trade's result: six per window snapshot plus the
// exit snapshot and one spare group.
Status result_size(const Settings& settings, int64_t& size);

// Fills `out` (size values) with -1 and writes the window snapshots from the
// front and the exit snapshot into the last six values.
Status write_snapshots(const Series& series, const Settings& settings, int64_t exit_offset, double* out,
                       int64_t size);

}  // namespace korvel::analysis
