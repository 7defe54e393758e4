// Excursion statistics of one trade.
#include "excursion/excursion_analysis.h"

#include <cmath>
#include <new>
#include <stdexcept>

namespace korvel::analysis {

namespace {

// Reads view[row][col]; negative indices count from the end of their axis.
Status read_cell(const View2D<double>& view, int64_t row, int64_t col, double& out) {
    if (row < 0) row += view.rows;
    if (row < 0 || row >= view.rows) return Status::RowOutOfBounds;
    if (col < 0) col += view.cols;
    if (col < 0 || col >= view.cols) return Status::ColumnOutOfBounds;
    out = view.at_unchecked(row, col);
    return Status::Ok;
}

Status reserve_series(Series& s, int64_t length) {
    const auto n = static_cast<size_t>(length);
    try {
        s.cum_return.clear();
        s.peak_return.clear();
        s.trough_return.clear();
        s.trough_offset.clear();
        s.max_drawdown.clear();
        s.profit_days.clear();
        s.cum_return.reserve(n);
        s.peak_return.reserve(n);
        s.trough_return.reserve(n);
        s.trough_offset.reserve(n);
        s.max_drawdown.reserve(n);
        s.profit_days.reserve(n);
    } catch (const std::bad_alloc&) {
        return Status::OutOfMemory;
    } catch (const std::length_error&) {
        return Status::OutOfMemory;
    }
    return Status::Ok;
}

// Offset 0: the close of the entry row (c0) against the trade price paid (p0).
Status seed_series(const Settings& settings, const Trade& trade, double p0, double c0, Series& s, double& r,
                   double& prev) {
    if (p0 == 0.0) return Status::FloatDivision;
    r = trade.is_long ? c0 / p0 : 2.0 - c0 / p0;
    // Commission is charged before the trade is seeded, so a trade that only
    // just breaks even on the entry row is not counted as in profit there.
    if (trade.entry_transaction != 0) r = r * (1.0 - settings.fee_ratio);
    s.cum_return.push_back(r);
    s.peak_return.push_back(1.0 > r ? 1.0 : r);
    s.trough_return.push_back(1.0 < r ? 1.0 : r);
    s.trough_offset.push_back(0);
    s.max_drawdown.push_back(r - 1.0 < 0.0 ? r - 1.0 : 0.0);
    s.profit_days.push_back(r > 1.0 ? 1.0 : 0.0);
    prev = c0;
    return Status::Ok;
}

// The exit is executed at the trade price (or at the fill of an intraday
// exit), not at the close, and pays commission plus tax. Only the exit
// element changes: the running peak, trough, drawdown and count describe the
// holding, not the execution.
Status adjust_exit(const Tables& tables, const Settings& settings, const Trade& trade, Series& s,
                   int64_t k) {
    double& value = s.cum_return[static_cast<size_t>(k)];
    if (k != 0) {
        const int64_t row = static_cast<int64_t>(trade.entry_row) + k;
        double xp = trade.exit_fill;
        double xc = 0.0;
        Status status = Status::Ok;
        if (!trade.has_exit_fill) status = read_cell(tables.price, row, trade.col, xp);
        if (status != Status::Ok) return status;
        status = read_cell(tables.close, row, trade.col, xc);
        if (status != Status::Ok) return status;
        if (xc == 0.0) return Status::FloatDivision;
        // A missing price or close leaves the valuation at the last close
        // instead of poisoning the trade's return with NaN.
        if (!std::isnan(xp) && !std::isnan(xc)) {
            value = trade.is_long ? value * (xp / xc) : 2.0 - (xp * (2.0 - value)) / xc;
        }
    }
    value = value * ((1.0 - settings.fee_ratio) - settings.tax_ratio);
    return Status::Ok;
}

void write_group(const Series& s, size_t t, double* group) {
    group[0] = s.trough_return[t] - 1.0;
    group[1] = s.peak_return[t] - 1.0;
    group[2] = s.peak_return[static_cast<size_t>(s.trough_offset[t])] - 1.0;
    group[3] = s.max_drawdown[t];
    group[4] = s.profit_days[t];
    group[5] = s.cum_return[t] - 1.0;
}

}  // namespace

Status check_settings(const Settings& settings) {
    if (settings.window < 0 || settings.window_step < 0) return Status::NegativeSetting;
    return Status::Ok;
}

Status trace_trade(const Tables& tables, const Settings& settings, const Trade& trade, Series& s,
                   int64_t& exit_offset) {
    Status status = check_settings(settings);
    if (status != Status::Ok) return status;

    // At least up to the exit row, and at least `window` rows past the entry
    // so every trade's profile spans the same rows however long it was held;
    // never past the last row of the tables.
    const int64_t entry = trade.entry_row;
    int64_t end = trade.exit_row;
    if (entry + settings.window > end) end = entry + settings.window;
    if (end >= tables.price.rows) end = tables.price.rows - 1;
    const int64_t length = end - entry + 1;
    if (length < 0) return Status::EntryPastEnd;

    // The entry row is read before anything is reserved, so a row far
    // outside the tables fails here and never sizes the buffers.
    double p0 = 0.0;
    double c0 = 0.0;
    status = read_cell(tables.price, entry, trade.col, p0);
    if (status != Status::Ok) return status;
    status = read_cell(tables.close, entry, trade.col, c0);
    if (status != Status::Ok) return status;

    status = reserve_series(s, length);
    if (status != Status::Ok) return status;

    double r = 0.0;
    double prev = 0.0;
    status = seed_series(settings, trade, p0, c0, s, r, prev);
    if (status != Status::Ok) return status;

    // The closes of one instrument lie a whole price row apart: ask for them
    // a few rows ahead so the walk does not wait on memory at every row.
    constexpr int64_t kPrefetchRows = 8;
    for (int64_t ith = entry + 1; ith <= end && ith < entry + 1 + kPrefetchRows; ++ith) {
        tables.close.prefetch(ith, trade.col);
    }
    for (int64_t ith = entry + 1; ith <= end; ++ith) {
        if (ith + kPrefetchRows <= end) tables.close.prefetch(ith + kPrefetchRows, trade.col);
        const auto p = static_cast<size_t>(ith - entry - 1);
        double c = 0.0;
        status = read_cell(tables.close, ith, trade.col, c);
        if (status != Status::Ok) return status;
        const bool has_close = !std::isnan(c);
        // A missing close leaves the trade where it stood; the next valid
        // close is compared with the last valid one.
        if (has_close) {
            if (prev == 0.0) return Status::FloatDivision;
            const double ratio = c / prev;
            if (!std::isnan(ratio)) r = trade.is_long ? r * ratio : 2.0 - (2.0 - r) * ratio;
            prev = c;
        }
        s.peak_return.push_back(r > s.peak_return[p] ? r : s.peak_return[p]);
        // The offset kept is the row before the new low: the peak cannot rise
        // on a row that sets a low, so the peak there is the peak at the low.
        if (s.trough_return[p] > r) {
            s.trough_return.push_back(r);
            s.trough_offset.push_back(static_cast<int64_t>(p));
        } else {
            s.trough_return.push_back(s.trough_return[p]);
            s.trough_offset.push_back(s.trough_offset[p]);
        }
        const double peak = s.peak_return[p + 1];
        if (peak == 0.0) return Status::FloatDivision;
        const double dd = r / peak - 1.0;
        s.max_drawdown.push_back(s.max_drawdown[p] > dd ? dd : s.max_drawdown[p]);
        s.profit_days.push_back(has_close && r > 1.0 ? s.profit_days[p] + 1.0 : s.profit_days[p]);
        s.cum_return.push_back(r);
    }

    // An exit row before the entry row wraps to a huge unsigned distance and
    // so falls back to the last analysed row.
    const uint64_t last = static_cast<uint64_t>(length - 1);
    const uint64_t held = static_cast<uint64_t>(static_cast<int64_t>(trade.exit_row) - entry);
    exit_offset = static_cast<int64_t>(held < last ? held : last);

    if (trade.exit_transaction != 0) {
        status = adjust_exit(tables, settings, trade, s, exit_offset);
        if (status != Status::Ok) return status;
    }
    return Status::Ok;
}

Status result_size(const Settings& settings, int64_t& size) {
    if (settings.window_step == 0) return Status::IntegerDivision;
    const int64_t a = static_cast<int64_t>(settings.window) - 1;
    const int64_t b = settings.window_step;
    int64_t q = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0))) --q;  // floor, not truncation: window 0 gives q = -1
    size = 6 * q + 12;
    if (size < 6) return Status::NegativeSetting;
    return Status::Ok;
}

Status write_snapshots(const Series& s, const Settings& settings, int64_t exit_offset, double* out,
                       int64_t size) {
    for (int64_t i = 0; i < size; ++i) out[i] = -1.0;
    if (settings.window_step <= 0) return settings.window_step == 0 ? Status::IntegerDivision
                                                                    : Status::NegativeSetting;
    const uint64_t length = s.cum_return.size();
    // Compared unsigned: a negative window would count as unbounded, and the
    // bounds check on every group below keeps it inside the result.
    const uint64_t window = static_cast<uint64_t>(static_cast<int64_t>(settings.window));
    const uint64_t limit = length < window ? length : window;
    const auto step = static_cast<uint64_t>(settings.window_step);
    int64_t base = 0;
    for (uint64_t t = 0; t < limit; t += step, base += 6) {
        if (base + 6 > size) return Status::SnapshotOutOfBounds;
        write_group(s, static_cast<size_t>(t), out + base);
    }
    if (size < 6 || exit_offset < 0 || static_cast<uint64_t>(exit_offset) >= length) {
        return Status::SnapshotOutOfBounds;
    }
    write_group(s, static_cast<size_t>(exit_offset), out + (size - 6));
    return Status::Ok;
}

}  // namespace korvel::analysis
