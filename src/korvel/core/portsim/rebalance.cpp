#include "portsim/rebalance.h"

#include <cmath>

#include "portsim/pairwise_sum.h"

namespace korvel::portsim {

double rebalance(PositionBook& positions, const View1D<double>& weights, double cash, const Costs& costs,
                 double position_limit, std::vector<double>& scratch) {
    double total = cash;
    for (const int sid : positions.held) total += positions.value(sid);

    scratch.resize(static_cast<size_t>(weights.size));
    for (Py_ssize_t i = 0; i < weights.size; ++i) scratch[static_cast<size_t>(i)] = std::fabs(weights.at_unchecked(i));
    const double gross = pairwise_sum(scratch.data(), weights.size);

    const double divisor = (1.0 > gross) ? 1.0 : gross;  // NaN gross gives a NaN divisor
    double scale = total / divisor;
    if (std::isnan(scale)) scale = 1.0;
    const double limit = position_limit * total;
    // A portfolio worth less than nothing cannot be scaled into positions:
    // the limit would turn negative and flip every target. Close everything.
    const bool liquidate = total < 0.0;

    // A zero target for a column that is not in the book changes nothing, and
    // most columns of a wide row are such.
    for (Py_ssize_t i = 0; i < weights.size; ++i) {
        double target = 0.0;
        if (!liquidate) {
            target = weights.at_unchecked(i) * scale;
            if (std::fabs(target) > limit) target = target > 0.0 ? limit : -limit;
        }
        const int sid = static_cast<int>(i);
        if (target == 0.0 && !positions.holds(sid)) continue;
        cash = set_position(positions, sid, target, cash, costs, true, true, total);
        if (failed(cash)) return kFailed;
    }
    return cash;
}

}  // namespace korvel::portsim
