// The check that a held instrument's trading price is usable.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>

namespace korvel::portsim {

int raise_invalid_trade_price(double price, PyObject* label, Py_ssize_t row);

// A NaN price is accepted (the instrument has no price on this row); zero,
// negative and infinite prices stop the run with a ValueError naming the
// instrument and the row. Returns -1 with the error pending.
inline bool is_valid_trade_price(double price) { return std::isnan(price) || (price > 0.0 && std::isfinite(price)); }

inline int validate_trade_price(double price, PyObject* label, Py_ssize_t row) {
    if (is_valid_trade_price(price)) return 0;
    return raise_invalid_trade_price(price, label, row);
}

}  // namespace korvel::portsim
