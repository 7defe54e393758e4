#include "portsim/rebalance.h"

#include <cmath>
#include <vector>

#include "portsim/pairwise_sum.h"
#include "portsim/trade_ledger.h"

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

// A target rounded toward 0 to whole lots of `lot` (a value); a cell without
// a lot value (NaN, 0) is left as it is.
double in_whole_lots(double target, double lot) {
    if (!(lot > 0.0) || std::isinf(lot)) return target;
    return std::trunc(target / lot) * lot;
}

// Whether a trade to `target` reduces the holding of `sid` (a change of side
// reduces it first): such trades run first with sells_first.
bool reduces(const PositionBook& positions, int sid, double target) {
    const double held = positions.holds(sid) ? positions.value(sid) : 0.0;
    if ((held > 0.0 && target < 0.0) || (held < 0.0 && target > 0.0)) return true;
    return std::fabs(target) < std::fabs(held);
}

// Whether a trade to a non-zero `target` is smaller than min_trade.
bool below_min_trade(const PositionBook& positions, int sid, double target, double min_trade) {
    if (target == 0.0) return false;  // a close always trades: no dust
    const double held = positions.holds(sid) ? positions.value(sid) : 0.0;
    return std::fabs(target - held) < min_trade;
}

// The rest of a capped order: carried in shares (a value over the row's
// price), or noted as undone; a capped opening notes its share filled.
void note_capped(const Capping& capping, int sid, double held, double ordered, double filled) {
    const std::vector<int>& cols = *capping.price_col_of_sid;
    const int pc = (sid >= 0 && static_cast<size_t>(sid) < cols.size()) ? cols[static_cast<size_t>(sid)] : 0;
    double price = 0.0;
    if (pc < 0 || pc >= capping.prices.size) return;
    price = capping.prices.at_unchecked(pc);
    if (!(price > 0.0) || std::isinf(price)) return;
    const double rest = (ordered - filled) / price;
    const bool opens = held == 0.0;
    if (capping.carry->carry) {
        capping.carry->hold(sid, rest, opens, filled != 0.0, std::fabs(ordered) / price);
    } else if (capping.ledger != nullptr) {
        capping.ledger->note_unfilled(sid, rest);
    }
    if (opens && filled != 0.0 && capping.ledger != nullptr) {
        capping.ledger->note_capped_entry(sid, std::fabs(ordered) / price, std::fabs(filled) / price);
    }
}

}  // namespace

double rebalance(PositionBook& positions, const View1D<double>& weights, double cash, const Costs& costs,
                 double position_limit, const TradingRules& ledger, std::vector<double>& scratch,
                 std::vector<int>& skipped, Py_ssize_t row, int64_t* below_lot, const Capping* capping) {
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
    auto target_of = [&](Py_ssize_t i) {
        if (liquidate) return 0.0;
        const double target = weights.at_unchecked(i) * scale;
        return std::fabs(target) > limit ? (target > 0.0 ? limit : -limit) : target;
    };

    // None of the rules below on: the plain loop, without their checks for
    // every column of every row.
    if (!ledger.band_on() && !ledger.lot_values.given && !(ledger.min_trade > 0.0) && !ledger.sells_first &&
        capping == nullptr) {
        for (Py_ssize_t i = 0; i < weights.size; ++i) {
            const double target = target_of(i);
            const int sid = static_cast<int>(i);
            if (target == 0.0 && !positions.holds(sid)) continue;
            cash = set_position(positions, sid, target, cash, costs, true, true, total);
            if (failed(cash)) return kFailed;
        }
        return cash;
    }

    const bool band_on = ledger.band_on();
    const bool lots = ledger.lot_values.given;
    const bool min_trade_on = ledger.min_trade > 0.0;
    const View2D<double>& lot_values = ledger.lot_values.rates;

    // With sells_first, two passes: the trades that reduce a holding, then
    // the others; else one pass in column order.
    const int passes = ledger.sells_first ? 2 : 1;
    std::vector<unsigned char> done(passes == 2 ? static_cast<size_t>(weights.size) : 0, 0);
    for (int pass = 0; pass < passes; ++pass) {
        // A zero target for a column that is not in the book changes nothing, and
        // most columns of a wide row are such.
        for (Py_ssize_t i = 0; i < weights.size; ++i) {
            double target = target_of(i);
            const int sid = static_cast<int>(i);
            if (lots && lot_values.contains(row, i)) {
                const double rounded = in_whole_lots(target, lot_values.at_unchecked(row, i));
                if (rounded == 0.0 && target != 0.0 && !std::isnan(target) && pass + 1 == passes && below_lot) {
                    ++*below_lot;
                }
                target = rounded;
            }
            if (target == 0.0 && !positions.holds(sid)) continue;
            // A stop exit under way is out of the book's hands until it is done.
            if (capping != nullptr && capping->carry->exits(sid)) continue;
            if (passes == 2) {
                if (done[static_cast<size_t>(i)] || (pass == 0 && !reduces(positions, sid, target))) continue;
                done[static_cast<size_t>(i)] = 1;
            }
            if ((band_on && within_band(positions, sid, target, total, ledger)) ||
                (min_trade_on && below_min_trade(positions, sid, target, ledger.min_trade))) {
                skipped.push_back(sid);
                continue;
            }
            const double ordered = target;
            const double held = positions.holds(sid) ? positions.value(sid) : 0.0;
            bool capped = false;
            if (capping != nullptr) {
                const double cap = capping->carry->limit(row, i);
                if (std::isinf(cap) && target != held && capping->ledger != nullptr &&
                    capping->carry->unestimated(row, i)) {
                    capping->ledger->note_uncapped();
                }
                if (Carry::exceeds(std::fabs(target - held), cap)) {
                    double step = std::copysign(cap, target - held);
                    if (lots && lot_values.contains(row, i))
                        step = in_whole_lots(step, lot_values.at_unchecked(row, i));
                    target = held + step;
                    capped = true;
                }
            }
            cash = set_position(positions, sid, target, cash, costs, true, true, total);
            if (failed(cash)) return kFailed;
            if (capped) note_capped(*capping, sid, held, ordered, target);
        }
    }
    return cash;
}

}  // namespace korvel::portsim
