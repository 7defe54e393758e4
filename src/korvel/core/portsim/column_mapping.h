// Matching weight columns to price columns by instrument name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <map>

#include "common/strided_view.h"

namespace korvel::portsim {

// Fills `pos2price` with weight column -> price column for every weight
// column whose name (compared as UTF-8 bytes, exactly) names a price column;
// a repeated price name maps to its last column. Unmatched weight columns are
// left out. Returns -1 with the name's error pending (e.g. AttributeError for
// a label without `encode`).
int map_columns(const View1D<PyObject*>& price_columns, const View1D<PyObject*>& pos_columns,
                std::map<int, int>& pos2price);

}  // namespace korvel::portsim
