// Reading a cell of a caller's table, with or without the bounds check.
//
// A run whose every cell read lies inside the tables (checked once when the
// run is set up) reads them unchecked; any other run checks each read and
// raises IndexError where the table ends.
#pragma once

#include "common/strided_view.h"

namespace korvel::portsim {

template <bool kChecked>
inline bool read_cell(const View2D<double>& table, Py_ssize_t i, Py_ssize_t j, double& out) {
    if constexpr (kChecked) {
        return table.get(i, j, out);
    } else {
        out = table.at_unchecked(i, j);
        return true;
    }
}

}  // namespace korvel::portsim
