// The position book and the one operation that changes a holding.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <map>
#include <optional>
#include <vector>

#include "common/costs.h"
#include "portsim/exit_reason.h"
#include "portsim/recording.h"

namespace korvel::portsim {

// sid -> value of the holding in units of the starting capital (negative =
// short), walked in ascending sid order. A key may hold exactly 0.0 after a
// close that did not ask for removal.
//
// The values live in a flat array indexed by sid and the held sids in a
// sorted list: a lookup is one load, and a walk in sid order touches only
// the holdings.
struct PositionBook {
    std::vector<double> values;          // by sid; meaningful where held
    std::vector<unsigned char> is_held;  // by sid
    std::vector<int> held;               // the held sids, ascending

    // An empty book for sids 0 .. width - 1 (it grows if a larger sid comes).
    void reset(size_t width);
    bool holds(int sid) const {
        return sid >= 0 && static_cast<size_t>(sid) < is_held.size() && is_held[static_cast<size_t>(sid)];
    }
    double& value(int sid) { return values[static_cast<size_t>(sid)]; }
    double value(int sid) const { return values[static_cast<size_t>(sid)]; }
    void insert(int sid, double value);  // sid not held
    void erase(int sid);                 // sid held
    bool empty() const { return held.empty(); }
    // The book as the ordered map the trade recorder takes.
    std::map<int, double> as_map() const;
};

// The result that signals failure when an exception is also pending.
constexpr double kFailed = -1.0;

inline bool failed(double result) { return result == kFailed && PyErr_Occurred() != nullptr; }

// Moves the holding of `sid` to `target`, paying what `costs` asks of the
// fill (commission on trades that add exposure, commission and tax on trades
// that reduce it), and tells the run's recording when a trade opens, closes
// or is split, and what each fill paid. A close says why (`exit`) and, when
// filled intraday, its fill price, at which the exit is valued. Returns the
// new cash, or kFailed with an exception pending (the book is then unchanged).
double set_position(PositionBook& positions, int sid, double target, double cash, const Costs& costs,
                    bool check_exist = true, bool remove_zero = false, double total_value = 1.0,
                    const ExitNote& exit = ExitNote{});

// What set_position tells the trade recorder: a trade opens, closes (why, and
// at an intraday fill, if given) or a holding is resized (which may split its
// trade, and always does when it changes side). Each returns false with an
// exception pending.
bool record_opening(int sid, double target, double total_value);
bool record_closing(int sid, const ExitNote& exit);
bool record_resizing(int sid, double target, double total_value, bool changes_side);

inline void record_paid(int sid, const Paid& paid) {
    if (g_recording.charge) g_recording.charge(g_recording.self, sid, paid);
}

inline void record_accrued(int sid, double borrow, double financing) {
    if (g_recording.accrue) g_recording.accrue(g_recording.self, sid, borrow, financing);
}

// Inline (forced: its slippage and whole-share branches would otherwise
// tip the compiler against it): it runs for every traded column of every
// rebalance, mostly with the same constant arguments from each caller.
__attribute__((always_inline)) inline double set_position(PositionBook& positions, int sid, double target, double cash,
                                                          const Costs& costs, bool check_exist, bool remove_zero,
                                                          double total_value, const ExitNote& exit) {
    const bool in_book = positions.holds(sid);
    const bool present = check_exist ? in_book : true;
    const bool was_active = in_book && positions.value(sid) != 0.0;  // NaN counts as active
    const bool closing = target == 0.0;

    // Everything that can fail happens before the book or cash changes.
    if (!closing && !was_active) {
        if (!record_opening(sid, target, total_value)) return kFailed;
    } else if (was_active && closing) {
        if (!record_closing(sid, exit)) return kFailed;
    } else if (was_active && !closing && !exit.part) {
        // A long going short (or back) is a new trade whatever the rules say.
        const double held = positions.value(sid);
        const bool changes_side = (held > 0.0 && target < 0.0) || (held < 0.0 && target > 0.0);
        if (!record_resizing(sid, target, total_value, changes_side)) return kFailed;
    }

    if (closing) {
        if (present) {
            if (!in_book) positions.insert(sid, 0.0);
            const double v = positions.value(sid);
            Paid paid = costs.fill(std::fabs(v), true, sid);
            if (costs.slippage == 0.0) {
                cash = cash + (v - paid.cost);
            } else {
                // A long sells below the quote, a short buys back above it.
                paid.slippage = costs.given_up_on_sale(std::fabs(v));
                cash = cash + ((v - paid.cost) - paid.slippage);
            }
            record_paid(sid, paid);
            if (remove_zero) {
                positions.erase(sid);
            } else {
                positions.value(sid) = 0.0;
            }
        }
        return cash;
    }

    if (!in_book) positions.insert(sid, 0.0);
    double& held = positions.value(sid);
    const double old = held;
    const double diff = target - old;
    const bool adds_exposure = (target >= 0.0 && diff > 0.0) || (target <= 0.0 && diff < 0.0);
    Paid paid = costs.fill(std::fabs(diff), !adds_exposure, sid);
    const double cost = paid.cost;
    if (costs.whole_shares && diff > 0.0) {
        // The holding gets every share traded; cash pays for them, their
        // slippage above the quote and the costs.
        paid.slippage = costs.given_up_on_sale(diff);
        cash = cash - ((diff + paid.slippage) + cost);
        held = diff + old;
    } else if (costs.slippage == 0.0) {
        if (diff > 0.0) {
            cash = cash - diff;
            held = (diff - cost) + old;
        } else {
            cash = cash + ((-diff) - cost);
            held = diff + old;
        }
    } else if (diff > 0.0) {
        // A buy spends diff and holds what that buys above the quote.
        const double spent = diff - cost;
        const double holds = costs.bought(spent);
        paid.slippage = spent - holds;
        cash = cash - diff;
        held = holds + old;
    } else {
        paid.slippage = costs.given_up_on_sale(-diff);
        cash = cash + (((-diff) - cost) - paid.slippage);
        held = diff + old;
    }
    record_paid(sid, paid);
    if (remove_zero && held == 0.0) positions.erase(sid);
    return cash;
}

}  // namespace korvel::portsim
