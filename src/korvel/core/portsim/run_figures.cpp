#include "portsim/run_figures.h"

#include "portsim/pairwise_sum.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvel::portsim {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kNsPerDay = 86400e9;
constexpr double kNsPerYear = kNsPerDay * 365.25;  // exact in a double
// The exit snapshot's values, counted from its end.
constexpr std::ptrdiff_t kMae = 6, kMfe = 5, kReturn = 1;

// x.sum() of a float64 array as NumPy takes it: the reduction's 0.0, then the pairwise sum.
double total(const std::vector<double>& x) {
    return 0.0 + pairwise_sum(x.data(), static_cast<std::ptrdiff_t>(x.size()));
}

double total(const double* x, std::ptrdiff_t n) { return 0.0 + pairwise_sum(x, n); }

// NumPy's maximum: NaN wins.
double nan_max(double a, double b) { return (a >= b || std::isnan(a)) ? a : b; }

double years(const std::int64_t* dates, std::ptrdiff_t n) {
    return n ? static_cast<double>(dates[n - 1] - dates[0]) / kNsPerYear : 0.0;
}

// The sample standard deviation given the sum: deviations from the sum over the size, squared, summed.
double sample_std(const std::vector<double>& x, double sum, std::vector<double>& scratch) {
    const double mean = sum / static_cast<double>(x.size());
    scratch.resize(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double d = x[i] - mean;
        scratch[i] = d * d;
    }
    return std::sqrt(total(scratch) / static_cast<double>(x.size() - 1));
}

// Calendar days from a peak to the recovery (or the last date) of the longest fall below the peak.
double longest_drawdown_days(const std::vector<double>& dd, const std::int64_t* dates) {
    const auto n = static_cast<std::ptrdiff_t>(dd.size());
    bool any = false;
    std::int64_t longest = 0;
    std::ptrdiff_t i = 0;
    while (i < n) {
        if (!(dd[i] < 0)) {
            ++i;
            continue;
        }
        const std::ptrdiff_t start = i;
        while (i < n && dd[i] < 0) ++i;
        const std::int64_t span = dates[std::min(i, n - 1)] - dates[std::max<std::ptrdiff_t>(start - 1, 0)];
        longest = any ? std::max(longest, span) : span;
        any = true;
    }
    return any ? static_cast<double>(longest) / kNsPerDay : 0.0;
}

void performance(const RunArrays& run, double* out) {
    const std::ptrdiff_t n = run.rows - run.first;
    const double* equity = run.equity + run.first;
    const std::int64_t* dates = run.dates + run.first;
    const double elapsed = years(dates, n);
    std::vector<double> returns(n > 0 ? n - 1 : 0), excess, scratch;
    for (std::ptrdiff_t i = 0; i + 1 < n; ++i) returns[i] = equity[i + 1] / equity[i] - 1.0;
    double sum = total(returns);
    if (run.risk_free) {
        excess.resize(returns.size());
        for (std::size_t i = 0; i < returns.size(); ++i) excess[i] = returns[i] - run.risk_free[i + 1];
    }
    if (!std::isfinite(sum)) {  // a ruined run: its returns past the ruin are not numbers
        std::size_t kept = 0;
        for (std::size_t i = 0; i < returns.size(); ++i) {
            if (!std::isfinite(returns[i])) continue;
            returns[kept] = returns[i];
            if (run.risk_free) excess[kept] = excess[i];
            ++kept;
        }
        returns.resize(kept);
        if (run.risk_free) excess.resize(kept);
        sum = total(returns);
    }
    const std::vector<double>& measured = run.risk_free ? excess : returns;
    const auto count = static_cast<double>(returns.size());
    const double per_year = elapsed > 0 ? count / elapsed : kNaN;
    const double final_value = n ? equity[n - 1] : kNaN;
    out[figure::total_return] = final_value - 1.0;
    out[figure::cagr] = elapsed > 0 && final_value > 0 ? std::pow(final_value, 1.0 / elapsed) - 1.0 : kNaN;
    if (returns.size() > 1) {
        double sd = sample_std(returns, sum, scratch);
        out[figure::annual_volatility] = sd * std::sqrt(per_year);
        double excess_sum = sum;
        if (run.risk_free) {
            excess_sum = total(excess);
            sd = sample_std(excess, excess_sum, scratch);
        }
        const double mean = excess_sum / count;
        scratch.resize(measured.size());
        for (std::size_t i = 0; i < measured.size(); ++i) {
            const double below = std::min(measured[i], 0.0);
            scratch[i] = below * below;
        }
        const double downside = std::sqrt(total(scratch) / count);
        out[figure::sharpe] = sd > 0 ? mean / sd * std::sqrt(per_year) : kNaN;
        out[figure::sortino] = downside > 0 ? mean / downside * std::sqrt(per_year) : kNaN;
    } else {
        out[figure::annual_volatility] = out[figure::sharpe] = out[figure::sortino] = kNaN;
    }
    // The fall from the running peak (at least the starting capital): the peaks first, so that the
    // divisions run side by side.
    std::vector<double> dd(n);
    double peak = 1.0;
    for (std::ptrdiff_t i = 0; i < n; ++i) dd[i] = peak = nan_max(peak, nan_max(equity[i], 1.0));
    for (std::ptrdiff_t i = 0; i < n; ++i) dd[i] = equity[i] / dd[i] - 1.0;
    // Its deepest point (the first if several, or the first that is not a number), the last row at the
    // peak up to it and the first back at the peak after it.
    std::ptrdiff_t trough = 0, peak_row = 0, recovery = -1, last_at_peak = 0;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double fall = dd[i];
        if (fall >= 0) {
            last_at_peak = i;
            if (recovery < 0) recovery = i;
        }
        if (!std::isnan(dd[trough]) && (std::isnan(fall) || fall < dd[trough])) {
            trough = i;
            peak_row = last_at_peak;
            recovery = fall >= 0 ? i : -1;
        }
    }
    const double worst = n ? dd[trough] : kNaN;
    out[figure::calmar] = worst < 0 ? out[figure::cagr] / -worst : kNaN;
    out[figure::max_drawdown] = worst;
    out[figure::max_drawdown_peak] = static_cast<double>(peak_row);
    out[figure::max_drawdown_trough] = static_cast<double>(trough);
    out[figure::max_drawdown_recovery] = worst < 0 ? static_cast<double>(recovery) : -1.0;
    out[figure::longest_drawdown_days] = longest_drawdown_days(dd, dates);
}

// The share of the live rows whose close finds some holding with a price. A trade holds from its entry
// row up to the row before its exit (the last row while open) and not on a row its close is missing.
double exposure(const RunArrays& run) {
    const std::ptrdiff_t rows = run.rows;
    if (rows <= run.first) return kNaN;
    std::vector<std::int64_t> held(rows + 1, 0);
    const std::int64_t stride = rows + 1;
    for (std::ptrdiff_t t = 0; t < run.trades; ++t) {
        const std::int64_t entry = run.entry[t];
        const std::int64_t end = run.exit[t] < 0 ? rows : run.exit[t];
        ++held[entry];
        --held[end];
        if (!run.missing_count) continue;
        const std::int64_t column = run.columns[t];
        const std::int64_t* begin = run.missing + run.missing_offsets[column];
        const std::int64_t* stop = run.missing + run.missing_offsets[column + 1];
        // Only a holding whose rows meet its column's first to last missing close can find one.
        const std::int64_t base = column * stride;
        if (begin == stop || entry > stop[-1] - base || end <= *begin - base) continue;
        const std::int64_t* lo = std::lower_bound(begin, stop, base + entry);
        const std::int64_t* hi = std::lower_bound(lo, stop, base + end);
        for (const std::int64_t* key = lo; key < hi; ++key) {
            const std::int64_t row = *key % stride;
            if (row >= 0 && row < rows) {  // no holding counts on that row alone
                --held[row];
                ++held[row + 1];
            }
        }
    }
    std::int64_t holding = 0, live = 0;
    for (std::ptrdiff_t row = 0; row < run.first; ++row) holding += held[row];
    for (std::ptrdiff_t row = run.first; row < rows; ++row) {
        holding += held[row];
        live += holding > 0;
    }
    return static_cast<double>(live) / static_cast<double>(rows - run.first);
}

// The closed trades' figures; a trade entered without a price is left out of every one.
void trade_statistics(const RunArrays& run, double* out) {
    std::ptrdiff_t kept = run.trades;
    if (run.unpriced_entry) {
        for (std::ptrdiff_t t = 0; t < run.trades; ++t) kept -= run.unpriced_entry[t];
    }
    // The values each sum adds, 0 where a trade does not count; one buffer for the seven.
    std::vector<double> buffer(7 * static_cast<std::size_t>(kept));
    double* r = buffer.data();
    double *won_r = r + kept, *lost_r = won_r + kept, *won_gain = lost_r + kept, *lost_gain = won_gain + kept;
    double *mae = lost_gain + kept, *mfe = mae + kept;
    std::ptrdiff_t n_closed = 0, n_won = 0, n_lost = 0, n_priced = 0, n_mae = 0, n_mfe = 0;
    std::int64_t held = 0;
    const std::ptrdiff_t width = run.stats_width;
    for (std::ptrdiff_t t = 0, k = 0; t < run.trades; ++t) {
        if (run.unpriced_entry && run.unpriced_entry[t]) continue;
        const double* exit_snapshot = run.statistics + (t + 1) * width;
        const bool closed = run.exit[t] >= 0;
        const double ret = exit_snapshot[-kReturn];
        const bool priced = closed && ret == ret;
        const double value = priced ? ret : 0.0;
        const double contribution = std::fabs(priced ? run.weight[t] : 0.0) * value;
        const bool won = value > 0, lost = value < 0;
        n_closed += closed;
        n_priced += priced;
        n_won += won;
        n_lost += lost;
        r[k] = value;
        won_r[k] = won ? value : 0.0;
        lost_r[k] = lost ? value : 0.0;
        won_gain[k] = won ? contribution : 0.0;
        lost_gain[k] = lost ? contribution : 0.0;
        if (closed) held += run.exit[t] - run.entry[t];
        const double low = exit_snapshot[-kMae], high = exit_snapshot[-kMfe];
        const bool low_known = closed && low == low, high_known = closed && high == high;
        n_mae += low_known;
        n_mfe += high_known;
        mae[k] = low_known ? low : 0.0;
        mfe[k] = high_known ? high : 0.0;
        ++k;
    }
    const double gained = total(won_gain, kept), given = -total(lost_gain, kept);
    out[figure::trades] = static_cast<double>(kept);
    out[figure::open_trades] = static_cast<double>(kept - n_closed);
    out[figure::win_rate] = n_priced ? static_cast<double>(n_won) / static_cast<double>(n_priced) : kNaN;
    out[figure::profit_factor] =
        given > 0 ? gained / given : (gained > 0 ? std::numeric_limits<double>::infinity() : kNaN);
    out[figure::avg_win] = n_won ? total(won_r, kept) / static_cast<double>(n_won) : kNaN;
    out[figure::avg_loss] = n_lost ? total(lost_r, kept) / static_cast<double>(n_lost) : kNaN;
    out[figure::avg_trade_return] = n_priced ? total(r, kept) / static_cast<double>(n_priced) : kNaN;
    out[figure::avg_holding_days] = n_closed ? static_cast<double>(held) / static_cast<double>(n_closed) : kNaN;
    out[figure::mean_mae] = n_mae ? total(mae, kept) / static_cast<double>(n_mae) : kNaN;
    out[figure::mean_mfe] = n_mfe ? total(mfe, kept) / static_cast<double>(n_mfe) : kNaN;
}

// Turnover and costs over the live rows, in units of the starting capital.
void cost_statistics(const RunArrays& run, double* out) {
    const std::ptrdiff_t n = run.rows - run.first;
    const double* equity = run.equity + run.first;
    const double* row_traded = run.row_traded + run.first;
    // Each row's value traded over the portfolio's value before it traded (the starting capital first);
    // a row after a close of no value is left out.
    std::vector<double> traded(n);
    std::ptrdiff_t valued = n;
    if (n) traded[0] = row_traded[0] / 1.0;
    for (std::ptrdiff_t i = 1; i < n; ++i) {
        valued -= !(equity[i - 1] > 0);
        traded[i] = row_traded[i] / equity[i - 1];
    }
    if (valued < n) {  // some close of no value (a ruin): its next row is left out
        valued = 0;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            const double before = i ? equity[i - 1] : 1.0;
            if (before > 0) traded[valued++] = row_traded[i] / before;
        }
    }
    const double traded_sum = total(traded.data(), valued);
    const double elapsed = years(run.dates + run.first, n);
    const double fees = total(run.fees, run.trades), taxes = total(run.taxes, run.trades);
    const double slippage = total(run.slippage, run.trades), borrow = total(run.borrow, run.trades);
    const double financing = total(run.row_financing + run.first, n), impact = total(run.impact, run.trades);
    const double mean_equity = n ? total(equity, n) / static_cast<double>(n) : kNaN;
    const double per_year = elapsed > 0 ? 1.0 / elapsed : kNaN;
    // In this order, so that without the later kinds the sum is fees + taxes.
    const double costs = (fees + taxes) + slippage + borrow + financing + impact;
    out[figure::turnover] = traded_sum / 2.0 * per_year;
    out[figure::fees_paid] = fees;
    out[figure::taxes_paid] = taxes;
    out[figure::slippage_paid] = slippage;
    out[figure::borrow_paid] = borrow;
    out[figure::impact_paid] = impact;
    out[figure::financing] = financing;
    out[figure::cost_drag] = mean_equity > 0 ? costs / mean_equity * per_year : kNaN;
    out[figure::costs_of_mean_equity] = mean_equity > 0 ? costs / mean_equity : kNaN;
}

// The mean of the long holdings' value less (gross) and plus (net) the short ones', over the equity.
void book_sides(const RunArrays& run, double* out) {
    const std::ptrdiff_t n = run.rows - run.first;
    std::vector<double> gross(n), net(n);
    for (std::ptrdiff_t i = run.first; i < run.rows; ++i) {
        const double long_side = run.row_long[i] / run.equity[i], short_side = run.row_short[i] / run.equity[i];
        gross[i - run.first] = long_side - short_side;
        net[i - run.first] = long_side + short_side;
    }
    out[figure::gross_mean] = n ? total(gross) / static_cast<double>(n) : kNaN;
    out[figure::net_mean] = n ? total(net) / static_cast<double>(n) : kNaN;
}

}  // namespace

void run_figures(const RunArrays& run, double* figures, std::vector<std::int64_t>& exits) {
    performance(run, figures);
    figures[figure::exposure] = exposure(run);
    trade_statistics(run, figures);
    cost_statistics(run, figures);
    book_sides(run, figures);
    exits.assign(run.reasons, 0);
    for (std::ptrdiff_t t = 0; t < run.trades; ++t) ++exits[run.exit_reason[t]];
}

}  // namespace korvel::portsim
