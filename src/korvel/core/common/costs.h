// The cost model: what a fill pays, by kind. Every fill of the engine and
// every trade return of the excursion analysis goes through it, so a new
// kind of cost is added here once.
#pragma once

namespace korvel {

// What one fill paid, in units of the starting capital. `cost` is the sum
// charged to cash or the holding (worked out as one product, as the engine
// always has); `fees` is its commission part, the rest is tax.
struct Paid {
    double traded = 0.0;  // |value traded| at the quoted price
    double cost = 0.0;
    double fees = 0.0;
    // Kept apart from `cost`: slippage is in the fill's price, borrow and
    // financing accrue between fills.
    double slippage = 0.0;   // the price given up against the quote
    double borrow = 0.0;     // the fee for borrowing a short's shares
    double financing = 0.0;  // interest on cash (negative when earned)
    double taxes() const { return cost - fees; }
};

struct Costs {
    double fee_ratio = 0.0;  // commission on every fill
    double tax_ratio = 0.0;  // added on fills that reduce a holding
    double slippage = 0.0;   // a fraction of the price: buys fill above it, sells below

    // A fill of `traded` (absolute value): commission, plus tax when it
    // reduces the holding.
    Paid fill(double traded, bool reduces) const {
        const double rate = reduces ? (fee_ratio + tax_ratio) : fee_ratio;
        return Paid{traded, rate * traded, fee_ratio * traded};
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
};

}  // namespace korvel
