// The position book and the one operation that changes a holding.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <map>
#include <optional>

namespace portsim {

// sid -> value of the holding in units of the starting capital (negative =
// short), walked in ascending sid order. A key may hold exactly 0.0 after a
// close that did not ask for removal.
using PositionBook = std::map<int, double>;

// The result that signals failure when an exception is also pending.
constexpr double kFailed = -1.0;

inline bool failed(double result) { return result == kFailed && PyErr_Occurred() != nullptr; }

// Moves the holding of `sid` to `target`, charging `fee_ratio` on trades that
// add exposure and `fee_ratio + tax_ratio` on trades that reduce it, and
// tells the trade recorder when a trade opens, closes or is split. A close
// filled intraday passes its fill price, at which the recorder values the
// exit. Returns the new cash, or kFailed with an exception pending (the book
// is then unchanged).
double set_position(PositionBook& positions, int sid, double target, double cash, double fee_ratio,
                    double tax_ratio, bool check_exist = true, bool remove_zero = false, double total_value = 1.0,
                    std::optional<double> exit_fill = std::nullopt);

}  // namespace portsim
