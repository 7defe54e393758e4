// The second half of a processed row: applying a due weight row, delisting,
// valuation at the close and the choice of the next weight row.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "portsim/cell_access.h"
#include "portsim/rebalance.h"
#include "portsim/row_steps.h"
#include "portsim/trade_ledger.h"

namespace korvel::portsim {

void hand_over_exit_signals(RunState& run) {
    // Most rows raise no signal and leave none pending.
    if (run.pending_exits.empty() && run.close_exit_signals.empty() && run.pending_reasons.empty() &&
        run.close_signal_reasons.empty() && run.pending_serials.empty() && run.close_signal_serials.empty()) {
        return;
    }
    run.pending_exits.swap(run.close_exit_signals);
    run.close_exit_signals.clear();
    run.pending_reasons.swap(run.close_signal_reasons);
    run.close_signal_reasons.clear();
    run.pending_serials.swap(run.close_signal_serials);
    run.close_signal_serials.clear();
}

namespace {

// Stop references restart from 1 before the book changes: for every column,
// or, when costs are retained across rebalances, only for columns that open,
// sit at 0 or change side.
int rebase_stop_references(const BacktestInputs& in, RunState& run, const View1D<double>& due_row) {
    if (!in.rules.retain_cost_when_rebalance) {
        std::fill(run.growth.begin(), run.growth.end(), 1.0);
        std::fill(run.growth_max.begin(), run.growth_max.end(), 1.0);
        std::fill(run.growth_min.begin(), run.growth_min.end(), 1.0);
        return 0;
    }
    for (Py_ssize_t sid = 0; sid < due_row.size; ++sid) {
        const double v = due_row.at_unchecked(sid);
        if (v == 0.0) continue;
        const int column = static_cast<int>(sid);
        // The growth arrays are as wide as every weight row.
        if (!run.positions.holds(column) || run.positions.value(column) * v <= 0.0) reset_growth(run, column);
    }
    return 0;
}

// The due row itself, or a copy in which the instruments stopped out since
// the last applied row are zeroed so they are not bought back.
int choose_weight_row(const BacktestInputs& in, RunState& run, const View1D<double>& due_row, View1D<double>& chosen) {
    const int stop_trading = stop_trading_next_period(in);
    if (stop_trading < 0) return -1;
    chosen = due_row;
    if (!stop_trading || run.executed_exits.empty()) return 0;
    run.weight_row_copy.resize(static_cast<size_t>(due_row.size));
    for (Py_ssize_t k = 0; k < due_row.size; ++k) run.weight_row_copy[k] = due_row.at_unchecked(k);
    for (const int signal : run.executed_exits) {
        Py_ssize_t sid = exit_sid(signal);
        if (!resolve_index(sid, due_row.size, 0)) return -1;
        run.weight_row_copy[sid] = 0.0;
    }
    chosen.data = reinterpret_cast<const char*>(run.weight_row_copy.data());
    chosen.size = due_row.size;
    chosen.stride = sizeof(double);
    return 0;
}

// Holdings kept through the rebalance keep their last valid trading price as
// reference when today's price is missing; otherwise the move since that
// price would be lost when the row is copied into last_price.
void remember_references(RunState& run) {
    run.kept_references.clear();
    for (const int sid : run.positions.held) {
        if (run.positions.value(sid) == 0.0) continue;  // NaN counts as held
        const size_t pc = static_cast<size_t>(run.price_col(sid));
        if (pc < run.last_price.size()) run.kept_references.push_back({sid, pc, run.last_price[pc]});
    }
}

int refresh_last_price(const BacktestInputs& in, RunState& run, Py_ssize_t i) {
    View1D<double> today;
    if (!in.price.row(i, today)) return -1;
    run.last_price.resize(static_cast<size_t>(today.size));
    // memcpy must not see an empty vector's null data.
    if (today.size > 0 && today.stride == static_cast<Py_ssize_t>(sizeof(double))) {
        std::memcpy(run.last_price.data(), today.data, static_cast<size_t>(today.size) * sizeof(double));
    } else {
        for (Py_ssize_t pc = 0; pc < today.size; ++pc) run.last_price[pc] = today.at_unchecked(pc);
    }
    for (const auto& kept : run.kept_references) {
        if (!run.positions.holds(kept.sid) || run.positions.value(kept.sid) == 0.0) continue;
        const auto pc = static_cast<Py_ssize_t>(kept.price_col);
        if (pc < today.size && std::isnan(today.at_unchecked(pc))) run.last_price[pc] = kept.last_price;
    }
    return 0;
}

// A new weight row replaces the orders still carried: their rest is undone.
// A stop exit under way goes on.
void replace_carried_orders(RunState& run) {
    Carry& carry = run.carry;
    size_t kept = 0;
    for (const int sid : carry.waiting) {
        if (carry.exits(sid)) {
            carry.waiting[kept++] = sid;
            continue;
        }
        const double rest = carry.pending[static_cast<size_t>(sid)];
        if (rest != 0.0 && run.ledger != nullptr) run.ledger->note_unfilled(sid, rest);
        carry.forget(sid);
    }
    carry.waiting.resize(kept);
}

// `shares` (over the capital) rounded toward 0 to whole lots of cell (i, sid),
// whose lot value is at `price`.
double in_whole_lot_shares(const TradingRules& r, Py_ssize_t i, int sid, double shares, double price) {
    if (!r.lot_values.given || !r.lot_values.rates.contains(i, sid)) return shares;
    const double lot = r.lot_values.rates.at_unchecked(i, sid) / price;
    if (!(lot > 0.0) || std::isinf(lot)) return shares;
    return std::trunc(shares / lot) * lot;
}

// The next fill of the stop exit carried on `sid`, at row i's trading price:
// the last one closes the trade, at the mean price of the exit's fills.
// 1: the exit goes on; 0: it is done (or the holding was closed otherwise,
// by a delisting or a ruin).
int fill_carried_exit(const BacktestInputs& in, RunState& run, Py_ssize_t i, int sid) {
    Carry& carry = run.carry;
    const auto k = static_cast<size_t>(sid);
    if (!run.positions.holds(sid) || run.positions.value(sid) == 0.0) {
        carry.end_exit(sid);
        return 0;
    }
    if (carry.exit_row[k] == i) return 1;  // it made its first fill on this row
    double price = 0.0;
    if (!in.price.get(i, run.price_col(sid), price)) return -1;
    if (!(price > 0.0) || std::isinf(price)) return 1;  // no price today: the exit waits
    const double value = run.positions.value(sid);
    const double shares = value / price;
    const double cap = carry.limit(i, sid) / price;
    if (std::isinf(cap) && carry.unestimated(i, sid) && run.ledger != nullptr) run.ledger->note_uncapped();
    if (!Carry::exceeds(std::fabs(shares), cap)) {
        ExitNote last{carry.exit_reason[k]};
        const double sold = carry.exit_sold[k] + std::fabs(shares);
        last.fill = (carry.exit_proceeds[k] + std::fabs(shares) * price) / sold;
        if (run.ledger != nullptr) run.ledger->note_exit_row(sid);
        run.cash = set_position(run.positions, sid, 0.0, run.cash, in.costs, false, true, 1.0, last);
        if (failed(run.cash)) return -1;
        run.rebalanced_since_morning = true;
        carry.end_exit(sid);
        return 0;
    }
    const double step = in_whole_lot_shares(in.rules, i, sid, std::copysign(cap, shares), price);
    if (step != 0.0) {
        ExitNote part{carry.exit_reason[k]};
        part.part = true;
        run.cash = set_position(run.positions, sid, value - step * price, run.cash, in.costs, false, true, 1.0, part);
        if (failed(run.cash)) return -1;
        run.rebalanced_since_morning = true;
        if (run.ledger != nullptr) run.ledger->note_exit_row(sid);
        carry.exit_sold[k] += std::fabs(step);
        carry.exit_proceeds[k] += std::fabs(step) * price;
    }
    carry.pending[k] = -(shares - step);
    return 1;
}

}  // namespace

int cap_stop_exit(const BacktestInputs& in, RunState& run, Py_ssize_t i, int sid, const ExitNote& note) {
    Carry& carry = run.carry;
    double price = 0.0;
    if (!in.price.get(i, run.price_col(sid), price)) return -1;
    const double fill = note.fill.value_or(price);
    // Without a price to size the cap by, the exit is made whole.
    if (!(price > 0.0) || std::isinf(price) || !(fill > 0.0) || std::isinf(fill)) return 0;
    const double value = run.positions.value(sid);  // at the fill
    const double shares = value / fill;
    const double cap = carry.limit(i, sid) / price;
    if (std::isinf(cap)) {
        if (carry.unestimated(i, sid) && run.ledger != nullptr) run.ledger->note_uncapped();
        return 0;
    }
    if (!Carry::exceeds(std::fabs(shares), cap)) return 0;
    const double step = in_whole_lot_shares(in.rules, i, sid, std::copysign(cap, shares), price);
    // The exit replaces an order still carried for the holding.
    const auto k = static_cast<size_t>(sid);
    if (carry.pending[k] != 0.0 && run.ledger != nullptr) run.ledger->note_unfilled(sid, carry.pending[k]);
    if (step != 0.0) {
        ExitNote part = note;
        part.part = true;
        run.cash = set_position(run.positions, sid, value - step * fill, run.cash, in.costs, false, true, 1.0, part);
        if (failed(run.cash)) return -1;
        // The rest is valued at the row's trading price, as every holding is.
        if (fill != price) run.positions.value(sid) *= price / fill;
        run.rebalanced_since_morning = true;  // the book is not as the morning pass valued it
    }
    carry.hold_exit(sid, i, -(shares - step), note.reason, std::fabs(step), std::fabs(step) * fill);
    return 1;
}

int fill_carried_orders(const BacktestInputs& in, RunState& run, Py_ssize_t i, bool exits_only) {
    Carry& carry = run.carry;
    if (carry.waiting.empty()) return 0;
    double total = run.cash;
    for (const int sid : run.positions.held) total += run.positions.value(sid);
    if (in.rules.sells_first) {
        // The orders that reduce a holding (stop exits among them) fill first, as at a rebalance.
        std::stable_partition(carry.waiting.begin(), carry.waiting.end(), [&](int sid) {
            const double held = run.positions.holds(sid) ? run.positions.value(sid) : 0.0;
            return carry.exits(sid) || held * carry.pending[static_cast<size_t>(sid)] < 0.0;
        });
    }
    size_t kept = 0;
    for (const int sid : carry.waiting) {
        const auto k = static_cast<size_t>(sid);
        const double rest = carry.pending[k];
        if (rest == 0.0) continue;
        if (carry.exiting[k]) {
            const int going = fill_carried_exit(in, run, i, sid);
            if (going < 0) return -1;
            if (going > 0) carry.waiting[kept++] = sid;
            continue;
        }
        if (exits_only) {  // the row's weight row replaces the others
            carry.waiting[kept++] = sid;
            continue;
        }
        const bool held = run.positions.holds(sid) && run.positions.value(sid) != 0.0;
        // A holding closed since (a stop, a delisting) takes no more of its order.
        if (!held && carry.started[k]) {
            if (run.ledger != nullptr) run.ledger->note_unfilled(sid, rest);
            carry.forget(sid);
            continue;
        }
        const int pc = run.price_col(sid);
        double price = 0.0;
        if (!in.price.get(i, pc, price)) return -1;
        if (!(price > 0.0) || std::isinf(price)) {  // no price today: the order waits
            carry.waiting[kept++] = sid;
            continue;
        }
        const double want = rest * price;
        const double cap = carry.limit(i, sid);
        double step = Carry::exceeds(std::fabs(want), cap) ? std::copysign(cap, want) : want;
        if (std::isinf(cap) && step != 0.0 && carry.unestimated(i, sid) && run.ledger != nullptr) {
            run.ledger->note_uncapped();
        }
        const TradingRules& r = in.rules;
        if (r.lot_values.given && r.lot_values.rates.contains(i, sid)) {
            const double lot = r.lot_values.rates.at_unchecked(i, sid);
            if (lot > 0.0 && !std::isinf(lot)) step = std::trunc(step / lot) * lot;
        }
        const double now = held ? run.positions.value(sid) : 0.0;
        if (step != 0.0) {
            run.cash = set_position(run.positions, sid, now + step, run.cash, in.costs, true, true, total);
            if (failed(run.cash)) return -1;
            run.rebalanced_since_morning = true;
            if (static_cast<size_t>(pc) < run.last_price.size()) run.last_price[static_cast<size_t>(pc)] = price;
            if (run.ledger != nullptr && carry.opening[k]) {
                if (!carry.started[k]) {
                    run.ledger->note_capped_entry(sid, carry.ordered[k], std::fabs(step) / price);
                } else {
                    run.ledger->note_carried_fill(sid, std::fabs(step) / price);
                }
            }
            carry.started[k] = 1;
        }
        const double left = Carry::exceeds(std::fabs(want), std::fabs(step)) ? (want - step) / price : 0.0;
        carry.pending[k] = left;
        if (left != 0.0) carry.waiting[kept++] = sid;
    }
    carry.waiting.resize(kept);
    return 0;
}

int apply_due_weight_row(const BacktestInputs& in, RunState& run, Py_ssize_t i) {
    View1D<double> due_row;
    if (!in.pos_values.row(run.pos_row, due_row)) return -1;
    const bool banded = in.rules.band_on() || in.rules.min_trade > 0.0;
    if (banded) {
        // A holding the band leaves alone keeps its stops: their references
        // are put back after the rebase below.
        if (run.tracks_growth) {
            run.kept_growth = run.growth;
            run.kept_growth_max = run.growth_max;
            run.kept_growth_min = run.growth_min;
        }
        run.band_skipped.clear();
    }
    if (run.tracks_growth && rebase_stop_references(in, run, due_row) < 0) return -1;
    View1D<double> chosen;
    if (choose_weight_row(in, run, due_row, chosen) < 0) return -1;
    remember_references(run);
    int64_t below_lot = 0;
    Capping capping;
    if (run.carry.on) {
        replace_carried_orders(run);
        if (!in.price.row(i, capping.prices)) return -1;
        capping.carry = &run.carry;
        capping.price_col_of_sid = &run.price_col_of_sid;
        capping.ledger = run.ledger;
    }
    run.cash = rebalance(run.positions, chosen, run.cash, in.costs, in.rules.position_limit, in.rules, run.abs_weights,
                         run.band_skipped, i, &below_lot, run.carry.on ? &capping : nullptr);
    if (below_lot != 0 && run.ledger != nullptr) run.ledger->note_below_lot(below_lot);
    run.rebalanced_since_morning = true;
    if (failed(run.cash)) return -1;
    // Without tracks_growth nothing was kept (kept_growth stays empty): nothing to put back.
    for (const int sid : run.band_skipped) {
        const auto k = static_cast<size_t>(sid);
        if (k >= run.kept_growth.size()) continue;
        run.growth[k] = run.kept_growth[k];
        run.growth_max[k] = run.kept_growth_max[k];
        run.growth_min[k] = run.kept_growth_min[k];
    }
    run.executed_exits.clear();
    run.held_at_rebalance = run.positions.held;
    if (refresh_last_price(in, run, i) < 0) return -1;
    run.last_pos_row = run.pos_row;
    return 0;
}

template <bool kChecked>
int close_delisted(const BacktestInputs& in, RunState& run, Py_ssize_t i) {
    run.delisting_exits.clear();
    // The schedule is read on every row: caller code run during the run (a
    // truth test) may have rewritten it.
    const View1D<int64_t>& bars = in.rules.delisting_bars.bars;
    for (const int sid : run.positions.held) {
        int64_t bar = 0;
        if constexpr (kChecked) {
            if (!bars.get(sid, bar)) return -1;
        } else {
            bar = bars.at_unchecked(sid);  // the schedule covers every weight column
        }
        if (bar == i && run.positions.value(sid) != 0.0) run.delisting_exits.push_back(sid);
    }
    for (const int sid : run.delisting_exits) {
        run.cash = set_position(run.positions, sid, 0.0, run.cash, in.costs, false, true, 1.0,
                                ExitNote{ExitReason::Delisting});
        if (failed(run.cash)) return -1;
        reset_growth(run, sid);
    }
    run.delisting_exits.clear();
    return 0;
}

template <bool kChecked>
int value_at_close(const BacktestInputs& in, RunState& run, Py_ssize_t i) {
    double row_value = run.cash;
    // The long and the short side apart, for the ledger's exposure.
    double long_value = 0.0, short_value = 0.0;
    const std::vector<int>& held = run.positions.held;
    if (!kChecked && !run.rebalanced_since_morning) {
        // The holdings left are valued as the morning pass left them, and it
        // worked out their values at the close: add them in the same order.
        for (const int sid : held) {
            const double value = run.closing_values[static_cast<size_t>(sid)];
            row_value = row_value + value;
            (value < 0.0 ? short_value : long_value) += value;
        }
        run.equity_data[i] = row_value;
        if (run.ledger) run.ledger->note_exposure(i, long_value, short_value);
        return 0;
    }
    const bool keep = run.keep_closing_values;
    if (keep && run.closing_values.size() < run.positions.values.size()) {
        run.closing_values.resize(run.positions.values.size());
    }
    for (const int sid : held) {
        const int pc = run.price_col(sid);
        double price = 0.0, close = 0.0;
        if (!read_cell<kChecked>(in.price, i, pc, price)) return -1;
        if (validate_held_price<kChecked>(in, price, sid, i) < 0) return -1;
        if (!read_cell<kChecked>(in.close, i, pc, close)) return -1;
        const double held_value = run.positions.value(sid);
        const double value = (std::isnan(price) || std::isnan(close)) ? held_value : held_value * close / price;
        row_value = row_value + value;
        (value < 0.0 ? short_value : long_value) += value;
        if (keep) run.closing_values[static_cast<size_t>(sid)] = value;
        if (kChecked) {
            in.price.prefetch(i + 1, pc);
            in.close.prefetch(i + 1, pc);
        }
    }
    run.equity_data[i] = row_value;
    if (run.ledger) run.ledger->note_exposure(i, long_value, short_value);
    return 0;
}

template int close_delisted<true>(const BacktestInputs&, RunState&, Py_ssize_t);
template int close_delisted<false>(const BacktestInputs&, RunState&, Py_ssize_t);
template int value_at_close<true>(const BacktestInputs&, RunState&, Py_ssize_t);
template int value_at_close<false>(const BacktestInputs&, RunState&, Py_ssize_t);

int choose_next_weight_row(const BacktestInputs& in, RunState& run, Py_ssize_t i) {
    // After the last row the next date is +infinity: every weight date is before it.
    const bool last_row = i >= in.price_index.size - 1;
    const int64_t next_date = last_row ? 0 : in.price_index.at_unchecked(i + 1);
    Py_ssize_t candidate = run.pos_row;
    while (candidate < in.pos_index.size - 1 && (last_row || in.pos_index.at_unchecked(candidate + 1) < next_date)) {
        ++candidate;
    }
    run.pos_row = candidate;
    run.rebalance_due = candidate != run.last_pos_row && run.rebalance_rows[i] != 0;
    return 0;
}

}  // namespace korvel::portsim
