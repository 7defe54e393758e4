// Turning one row of target weights into holdings.
#pragma once

#include <cstdint>
#include <vector>

#include "common/strided_view.h"
#include "portsim/backtest_inputs.h"
#include "portsim/participation.h"
#include "portsim/position_book.h"

namespace korvel::portsim {

class TradeLedger;

// What a rebalance needs to cap its fills: the run's caps and carried
// orders, the row's trading prices (by price column) and each sid's price
// column, and the ledger that notes capped entries and undone orders.
struct Capping {
    Carry* carry = nullptr;
    View1D<double> prices;
    const std::vector<int>* price_col_of_sid = nullptr;
    TradeLedger* ledger = nullptr;
};

// Scales the weights so their gross exposure does not exceed max_gross times
// the portfolio value, caps each at position_limit of that value and moves
// every column to its target in column order; with a band, a holding whose
// weight lies within the band of its target is left as it is. `scratch` is a
// buffer reused between calls. Returns the new cash, or kFailed with an
// exception pending.
// On korvel's path the targets of row `row` are rounded to whole lots
// (lot_values), trades below min_trade are skipped as the band skips them,
// and with sells_first the trades that reduce a holding run first;
// `below_lot` counts the non-zero targets that rounded to no lot; with
// `capping`, no fill trades more than its cell's cap and the rest of the
// order is carried (or noted as undone). The columns the band or min_trade
// left alone are appended to `skipped`.
double rebalance(PositionBook& positions, const View1D<double>& weights, double cash, const Costs& costs,
                 double position_limit, const TradingRules& ledger, std::vector<double>& scratch,
                 std::vector<int>& skipped, Py_ssize_t row = 0, int64_t* below_lot = nullptr,
                 const Capping* capping = nullptr);

}  // namespace korvel::portsim
