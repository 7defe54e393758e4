// The figures of one run from its equity curve and trade ledger: returns and
// risk, exposure, the closed trades, turnover and costs, the book's sides.
//
// Plain C++ over contiguous arrays. Every sum is added in the order of
// NumPy's float64 add reduction (0.0 plus the pairwise sum), and every other
// step is the one the NumPy reference in korvel.results._stats takes, so the
// figures are the reference's bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel::portsim {

// The figures in their output order: name, and how the value is handed out
// ("real" a float; "count" an int; "row" an int live row, "none" for -1).
#define KORVEL_RUN_FIGURES(X)      \
    X(total_return, Real)          \
    X(cagr, Real)                  \
    X(annual_volatility, Real)     \
    X(sharpe, Real)                \
    X(sortino, Real)               \
    X(calmar, Real)                \
    X(max_drawdown, Real)          \
    X(max_drawdown_peak, Row)      \
    X(max_drawdown_trough, Row)    \
    X(max_drawdown_recovery, Row)  \
    X(longest_drawdown_days, Real) \
    X(exposure, Real)              \
    X(trades, Count)               \
    X(open_trades, Count)          \
    X(win_rate, Real)              \
    X(profit_factor, Real)         \
    X(avg_win, Real)               \
    X(avg_loss, Real)              \
    X(avg_trade_return, Real)      \
    X(avg_holding_days, Real)      \
    X(mean_mae, Real)              \
    X(mean_mfe, Real)              \
    X(turnover, Real)              \
    X(fees_paid, Real)             \
    X(taxes_paid, Real)            \
    X(slippage_paid, Real)         \
    X(borrow_paid, Real)           \
    X(impact_paid, Real)           \
    X(financing, Real)             \
    X(cost_drag, Real)             \
    X(costs_of_mean_equity, Real)  \
    X(gross_mean, Real)            \
    X(net_mean, Real)

enum class FigureKind { Real, Count, Row };

// The figures' positions: figure::sharpe and so on.
namespace figure {
enum Index : int {
#define KORVEL_FIGURE_ENUM(name, kind) name,
    KORVEL_RUN_FIGURES(KORVEL_FIGURE_ENUM)
#undef KORVEL_FIGURE_ENUM
};
}  // namespace figure

constexpr int kFigureCount = 0
#define KORVEL_FIGURE_ONE(name, kind) +1
    KORVEL_RUN_FIGURES(KORVEL_FIGURE_ONE)
#undef KORVEL_FIGURE_ONE
    ;

// A run's arrays, all contiguous. Per market row: equity, dates, the ledger's
// row arrays; per live row (from `first` on): risk_free (null for none). Per
// trade: the ledger's trade arrays, `columns` (market column), `statistics`
// (trades x stats_width, the exit snapshot in the last six), `unpriced_entry`
// (null: every entry priced). The market's missing closes: sorted keys
// column * (rows + 1) + row, and where each column's keys start (width + 1
// offsets, the last one past the end).
struct RunArrays {
    std::ptrdiff_t rows = 0;
    std::ptrdiff_t first = 0;
    const double* equity = nullptr;
    const std::int64_t* dates = nullptr;
    const double* risk_free = nullptr;
    const double* row_traded = nullptr;
    const double* row_financing = nullptr;
    const double* row_long = nullptr;
    const double* row_short = nullptr;

    std::ptrdiff_t trades = 0;
    const std::int64_t* entry = nullptr;
    const std::int64_t* exit = nullptr;
    const std::int64_t* columns = nullptr;
    const double* weight = nullptr;
    const double* statistics = nullptr;
    std::ptrdiff_t stats_width = 0;
    const bool* unpriced_entry = nullptr;
    const double* fees = nullptr;
    const double* taxes = nullptr;
    const double* slippage = nullptr;
    const double* borrow = nullptr;
    const double* impact = nullptr;
    const std::int8_t* exit_reason = nullptr;
    std::ptrdiff_t reasons = 0;

    const std::int64_t* missing = nullptr;
    std::ptrdiff_t missing_count = 0;
    const std::int64_t* missing_offsets = nullptr;
    std::ptrdiff_t width = 0;
};

// Fills figures[kFigureCount] (rows as doubles, -1 for none) and the count of
// trades per exit reason code (`reasons` of them).
void run_figures(const RunArrays& run, double* figures, std::vector<std::int64_t>& exits);

}  // namespace korvel::portsim
