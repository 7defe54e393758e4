// The cost model: what a fill pays, by kind. Every fill of the engine and
// every trade return of the excursion analysis goes through it, so a new
// kind of cost is added here once.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

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
    // Kept apart from `cost`: slippage is in the fill's price. (Borrow fees
    // and interest accrue between fills, and are recorded apart.)
    double slippage = 0.0;  // the price given up against the quote
    double taxes() const { return (cost - fees) - impact; }
};

// The market's volume as the size rules read it, by price row and price
// column: the rows before a fill give its volatility and its average daily
// volume (ADV), never the fill row's own close or volume. Each estimate is
// worked out when a fill asks for it: a run fills a few cells of its tables.
struct VolumeModel {
    View2D<double> close, volume, trading;
    const std::vector<int>* price_col_of_sid = nullptr;
    int window = 20;
    double capital = 1.0;
    Py_ssize_t row = 0;  // the row being simulated

    int column(int sid) const {
        const std::vector<int>& cols = *price_col_of_sid;
        return (sid >= 0 && static_cast<size_t>(sid) < cols.size()) ? cols[static_cast<size_t>(sid)] : 0;
    }
    double cell(const View2D<double>& table, Py_ssize_t r, int pc) const {
        return table.contains(r, pc) ? table.at_unchecked(r, pc) : std::nan("");
    }
    // The mean of the known volumes of the window rows before `r`; NaN with
    // fewer than 2.
    double adv(Py_ssize_t r, int pc) const {
        remember(r, pc);
        return memo_.adv;
    }
    // The sample standard deviation (ddof 1) of the close-to-close returns
    // of the window rows before `r` (each row's return from the row before
    // it); NaN with fewer than 2.
    double sigma(Py_ssize_t r, int pc) const {
        remember(r, pc);
        return memo_.sigma;
    }

private:
    // The estimates of the cell asked for last: a fill asks for its cap, its
    // impact and the ADV it records, one after the other.
    struct Memo {
        Py_ssize_t row = -1;
        int col = -1;
        double adv = 0.0, sigma = 0.0;
    };
    mutable Memo memo_;

    void remember(Py_ssize_t r, int pc) const {
        if (memo_.row == r && memo_.col == pc) return;
        memo_.row = r;
        memo_.col = pc;
        const Py_ssize_t first = r - window < 0 ? 0 : r - window;
        double volume_sum = 0.0;
        int volumes = 0;
        // The returns are summed as differences from the first one, which
        // keeps the one-pass variance exact enough for returns of any level.
        double shift = 0.0, sum = 0.0, squares = 0.0;
        int returns = 0;
        double before = first > 0 ? cell(close, first - 1, pc) : std::nan("");
        for (Py_ssize_t s = first; s < r; ++s) {
            const double v = cell(volume, s, pc);
            if (!std::isnan(v)) volume_sum += v, ++volumes;
            const double now = cell(close, s, pc);
            const double x = now / before - 1.0;
            before = now;
            if (std::isnan(x)) continue;
            if (returns == 0) shift = x;
            const double d = x - shift;
            sum += d;
            squares += d * d;
            ++returns;
        }
        memo_.adv = volumes >= 2 ? volume_sum / volumes : std::nan("");
        memo_.sigma =
            returns >= 2 ? std::sqrt(std::fmax(squares - sum * sum / returns, 0.0) / (returns - 1)) : std::nan("");
    }
};

struct Costs {
    double fee_ratio = 0.0;  // commission on every fill
    double tax_ratio = 0.0;  // added on fills that reduce a holding
    double slippage = 0.0;   // a fraction of the price: buys fill above it, sells below
    // The square-root impact model: a fill of value V (units of the starting
    // capital) at price p pays k x sigma x sqrt(V x capital / (p x ADV)) of
    // its value, k x sigma x sqrt(shares / ADV). k 0: no impact.
    double impact_k = 0.0;
    const VolumeModel* volume = nullptr;
    double fee_min = 0.0;  // the least commission of a fill, in units of the starting capital
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
        if (impact_k > 0.0 && volume != nullptr && traded > 0.0) add_impact(paid, sid);
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
    // Out of line: the estimates are a loop over the window, and a fill
    // without impact should stay small enough to inline where it is made.
    __attribute__((noinline)) void add_impact(Paid& paid, int sid) const {
        const VolumeModel& m = *volume;
        const int pc = m.column(sid);
        const double price = m.cell(m.trading, m.row, pc);
        const double c = impact_k * m.sigma(m.row, pc) * std::sqrt(m.capital / (price * m.adv(m.row, pc)));
        if (std::isnan(c) || std::isinf(c)) {
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
