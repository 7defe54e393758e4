// The cost model: what a fill pays, by kind. Every fill of the engine and
// every trade return of the excursion analysis goes through it, so a new
// kind of cost is added here once.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/strided_view.h"

namespace korvel {

// What one fill paid, in units of the starting capital. `cost` is the sum
// charged to cash or the holding (worked out as one product, as the engine
// always has, plus the market impact when there is one); `fees` is its
// commission part, `impact` its market-impact part, the rest is tax.
struct Paid {
    double traded = 0.0;  // |value traded| at the quoted price
    double cost = 0.0;
    double fees = 0.0;
    double impact = 0.0;       // the market-impact part of `cost`
    bool unestimated = false;  // an impact model is on but had no estimate for this fill
    // Kept apart from `cost`: slippage is in the fill's price, borrow and
    // financing accrue between fills.
    double slippage = 0.0;   // the price given up against the quote
    double borrow = 0.0;     // the fee for borrowing a short's shares
    double financing = 0.0;  // interest on cash (negative when earned)
    double taxes() const { return (cost - fees) - impact; }
};

// The square-root impact model of a run: cost = c x sqrt(traded) as a
// fraction of the traded value, c worked out by the caller for every cell
// (price row x weight column) as k x sigma x sqrt(capital / (price x ADV)),
// so that the engine pays k x sigma x sqrt(shares / ADV) for a fill whose
// size it knows only at the fill. NaN: no estimate for that cell.
struct Impact {
    View2D<double> coefficients;
    Py_ssize_t row = 0;  // the row being simulated
};

struct Costs {
    double fee_ratio = 0.0;    // commission on every fill
    double tax_ratio = 0.0;    // added on fills that reduce a holding
    double slippage = 0.0;     // a fraction of the price: buys fill above it, sells below
    Impact* impact = nullptr;  // none: no market impact
    double fee_min = 0.0;      // the least commission of a fill, in units of the starting capital
    // Whole shares: a buy holds all it trades (at the quote) and pays its
    // costs and slippage from cash, so that a holding stays in whole lots.
    bool whole_shares = false;

    // A fill of `traded` (absolute value) on weight column `sid`: commission,
    // plus tax when it reduces the holding, plus the market impact.
    Paid fill(double traded, bool reduces, int sid) const {
        const double rate = reduces ? (fee_ratio + tax_ratio) : fee_ratio;
        Paid paid{traded, rate * traded, fee_ratio * traded};
        if (fee_min > 0.0 && traded > 0.0 && paid.fees < fee_min) {
            paid.cost = paid.cost + (fee_min - paid.fees);
            paid.fees = fee_min;
        }
        if (impact != nullptr && traded > 0.0) add_impact(paid, sid);
        return paid;
    }

    // What a buy spending `spent` (after commission) holds at the quoted
    // price, and what a sale of `sold` at the quoted price gives up.
    double bought(double spent) const { return slippage == 0.0 ? spent : spent / (1.0 + slippage); }
    double given_up_on_sale(double sold) const { return slippage * sold; }

    // The price a trade's entry and exit fill at, quoted at `price`.
    double entry_fill(double price, bool is_long) const {
        if (slippage == 0.0) return price;
        return is_long ? price * (1.0 + slippage) : price * (1.0 - slippage);
    }
    double exit_fill(double price, bool is_long) const { return entry_fill(price, !is_long); }

    // A trade's return after its entry's and its exit's costs, as factors.
    double entry_factor() const { return 1.0 - fee_ratio; }
    double exit_factor() const { return (1.0 - fee_ratio) - tax_ratio; }

private:
    void add_impact(Paid& paid, int sid) const {
        const Py_ssize_t row = impact->row;
        if (!impact->coefficients.contains(row, sid)) return;
        const double c = impact->coefficients.at_unchecked(row, sid);
        if (std::isnan(c)) {
            paid.unestimated = true;
            return;
        }
        // A fill never costs more than its value, however far past the
        // model's range the order is.
        const double rate = std::fmin(c * std::sqrt(paid.traded), 1.0);
        paid.impact = rate * paid.traded;
        paid.cost = paid.cost + paid.impact;
    }
};

}  // namespace korvel
