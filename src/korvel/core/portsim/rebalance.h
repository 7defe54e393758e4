// Turning one row of target weights into holdings.
#pragma once

#include <vector>

#include "common/strided_view.h"
#include "portsim/backtest_inputs.h"
#include "portsim/position_book.h"

namespace korvel::portsim {

// Scales the weights so their gross exposure does not exceed max_gross times
// the portfolio value, caps each at position_limit of that value and moves
// every column to its target in column order; with a band, a holding whose
// weight lies within the band of its target is left as it is. `scratch` is a
// buffer reused between calls. Returns the new cash, or kFailed with an
// exception pending.
double rebalance(PositionBook& positions, const View1D<double>& weights, double cash, const Costs& costs,
                 double position_limit, const TradingRules& ledger, std::vector<double>& scratch);

}  // namespace korvel::portsim
