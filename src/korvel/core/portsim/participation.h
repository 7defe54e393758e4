// Participation caps: no fill trades more than its cell's limit (a share of
// the volume, worked out by the caller as a value in units of the starting
// capital); the rest of a capped order is carried to the following rows at
// their prices, in shares, until it is filled or replaced by the next
// weight row, or dropped.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "common/costs.h"
#include "common/strided_view.h"
#include "portsim/exit_reason.h"

namespace korvel::portsim {

class TradeLedger;

struct Carry {
    bool on = false;
    // The cap of a fill: `participation` times the ADV before its row (or
    // with `on_row` the row's own volume), as a value at the row's price.
    const VolumeModel* model = nullptr;
    double participation = 0.0;
    bool on_row = false;
    bool carry = true;  // false: the rest of a capped order is dropped
    // By sid: the rest of the order, as a value over the trading price (a
    // number of shares over the capital), 0 for none; and whether it is the
    // rest of the order that opened the sid's trade.
    std::vector<double> pending;
    std::vector<unsigned char> opening;
    // Whether the order has had a fill (a holding to carry it on).
    std::vector<unsigned char> started;
    std::vector<double> ordered;  // the whole order, as a value over the price
    std::vector<int> waiting;     // the sids with a pending order, in the order they were capped
    // By sid: a stop exit under way (its pending order sells the rest of the
    // holding on the following rows, whatever the weight rows say), its
    // reason, and the shares and quoted value it has sold so far (the
    // exit's mean price), and the row it started on (its first fill).
    std::vector<unsigned char> exiting;
    std::vector<Py_ssize_t> exit_row;
    std::vector<ExitReason> exit_reason;
    std::vector<double> exit_sold, exit_proceeds;

    void start(size_t width) {
        pending.assign(width, 0.0);
        opening.assign(width, 0);
        started.assign(width, 0);
        ordered.assign(width, 0.0);
        waiting.clear();
        exiting.assign(width, 0);
        exit_row.assign(width, -1);
        exit_reason.assign(width, ExitReason::StopLoss);
        exit_sold.assign(width, 0.0);
        exit_proceeds.assign(width, 0.0);
    }

    // The volume a fill on row `row` of `sid` is capped by (NaN: unknown).
    double volume(Py_ssize_t row, int sid) const {
        const VolumeModel& m = *model;
        const int pc = m.column(sid);
        return on_row ? m.cell(m.volume, row, pc) : m.adv(row, pc);
    }

    // The cap of a fill on row `row` of `sid`, as a |value|; infinity for none.
    double limit(Py_ssize_t row, int sid) const {
        const VolumeModel& m = *model;
        const double cap = participation * volume(row, sid) * m.cell(m.trading, row, m.column(sid)) / m.capital;
        return (std::isnan(cap) || cap < 0.0) ? INFINITY : cap;  // unknown volume (or price): no cap
    }

    // Whether a fill on row `row` of `sid` goes uncapped for want of a volume estimate.
    bool unestimated(Py_ssize_t row, int sid) const { return std::isnan(volume(row, sid)); }

    // Whether a fill of |value| `size` exceeds `cap`: by more than rounding,
    // so that an order of exactly the cap (its value worked out another way)
    // is not split into a fill and a rest of a few units in the last place.
    static bool exceeds(double size, double cap) { return size > cap * (1.0 + 1e-12); }

    void hold(int sid, double rest, bool opens, bool filled, double whole) {
        const auto k = static_cast<size_t>(sid);
        ordered[k] = whole;
        if (pending[k] == 0.0) waiting.push_back(sid);
        pending[k] = rest;
        opening[k] = opens ? 1 : 0;
        started[k] = filled ? 1 : 0;
    }

    void forget(int sid) { pending[static_cast<size_t>(sid)] = 0.0; }

    // Whether a stop exit of `sid` is under way.
    bool exits(int sid) const {
        const auto k = static_cast<size_t>(sid);
        return k < exiting.size() && exiting[k] != 0;
    }

    // A stop exit of `sid` that sold `sold` shares (over the capital) for
    // `proceeds` (quoted) on row `row` and has `rest` to sell (signed as the
    // order: a long's is negative).
    void hold_exit(int sid, Py_ssize_t row, double rest, ExitReason reason, double sold, double proceeds) {
        const auto k = static_cast<size_t>(sid);
        if (pending[k] == 0.0) waiting.push_back(sid);
        pending[k] = rest;
        opening[k] = 0;
        started[k] = 1;
        exiting[k] = 1;
        exit_row[k] = row;
        exit_reason[k] = reason;
        exit_sold[k] = sold;
        exit_proceeds[k] = proceeds;
    }

    void end_exit(int sid) {
        forget(sid);
        exiting[static_cast<size_t>(sid)] = 0;
    }
};

}  // namespace korvel::portsim
