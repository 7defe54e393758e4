#include "portsim/rebalance.h"

#include <cmath>

#include "portsim/pairwise_sum.h"

namespace korvel::portsim {

namespace {

// Whether the holding of `sid` is near enough its target to be left alone:
// its weight within max(band, band_rel * |target weight|) of the target's.
// A target of 0 always closes and a change of side always trades; a new
// holding is a weight of 0.
bool within_band(const PositionBook& positions, int sid, double target, double total, const TradingRules& ledger) {
    if (target == 0.0) return false;
    const double held = positions.holds(sid) ? positions.value(sid) : 0.0;
    if ((held > 0.0 && target < 0.0) || (held < 0.0 && target > 0.0)) return false;
    const double target_weight = target / total;
    const double width = std::fmax(ledger.band, ledger.band_rel * std::fabs(target_weight));
    return std::fabs(held / total - target_weight) <= width;
}

}  // namespace

double rebalance(PositionBook& positions, const View1D<double>& weights, double cash, const Costs& costs,
                 double position_limit, const TradingRules& ledger, std::vector<double>& scratch) {
    double total = cash;
    for (const int sid : positions.held) total += positions.value(sid);

    scratch.resize(static_cast<size_t>(weights.size));
    for (Py_ssize_t i = 0; i < weights.size; ++i) scratch[static_cast<size_t>(i)] = std::fabs(weights.at_unchecked(i));
    const double gross = pairwise_sum(scratch.data(), weights.size);

    // At max_gross 1 this is gross itself; a NaN gross gives a NaN divisor.
    const double max_gross = ledger.max_gross;
    const double divisor = (max_gross >= gross) ? 1.0 : gross / max_gross;
    double scale = total / divisor;
    if (std::isnan(scale)) scale = 1.0;
    const double limit = position_limit * total;
    // A portfolio worth less than nothing cannot be scaled into positions:
    // the limit would turn negative and flip every target. Close everything.
    const bool liquidate = total < 0.0;

    const bool band_on = ledger.band_on();

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
        if (band_on && within_band(positions, sid, target, total, ledger)) continue;
        cash = set_position(positions, sid, target, cash, costs, true, true, total);
        if (failed(cash)) return kFailed;
    }
    return cash;
}

}  // namespace korvel::portsim
