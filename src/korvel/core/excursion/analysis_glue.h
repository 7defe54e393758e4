// Excursion statistics of one trade as a NumPy array, over the recorder's
// current tables and settings.
#pragma once

#include "common/numpy_api.h"

#include <optional>

namespace korvel::recorder {

// A new 1-D float64 array with the trade's snapshots, or null with an
// exception set. A sid missing from pos2price is analysed against price
// column 0 and added to the map with that column. With `exit_fill` the exit
// is valued at that price instead of the exit row's trade price. With
// `revalue_split` a record without exit transaction (a split at a rebalance)
// is valued at the exit row's trade price too, without exit costs.
PyObject* excursion_analysis(int sid, int entry_row, int exit_row, bool is_long, int entry_transaction,
                             int exit_transaction, std::optional<double> exit_fill = std::nullopt,
                             bool revalue_split = false);

}  // namespace korvel::recorder
