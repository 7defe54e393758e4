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
    double taxes() const { return cost - fees; }
};

struct Costs {
    double fee_ratio = 0.0;  // commission on every fill
    double tax_ratio = 0.0;  // added on fills that reduce a holding

    // A fill of `traded` (absolute value): commission, plus tax when it
    // reduces the holding.
    Paid fill(double traded, bool reduces) const {
        const double rate = reduces ? (fee_ratio + tax_ratio) : fee_ratio;
        return Paid{traded, rate * traded, fee_ratio * traded};
    }

    // A trade's return after its entry's and its exit's costs, as factors.
    double entry_factor() const { return 1.0 - fee_ratio; }
    double exit_factor() const { return (1.0 - fee_ratio) - tax_ratio; }
};

}  // namespace korvel
