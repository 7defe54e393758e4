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

// The running statistics of a trade as of one offset. All returns are gross
// factors (1.0 = break-even).
struct Running {
    double cum_return;
    double peak_return;     // running maximum, seeded with max(1, first)
    double trough_return;   // running minimum, seeded with min(1, first)
    double peak_at_trough;  // the peak at the offset kept with the trough
    double max_drawdown;    // running minimum of cum / peak - 1
    double profit_days;     // rows with a valid close and cum > 1

    void write(double* group) const {
        group[0] = trough_return - 1.0;
        group[1] = peak_return - 1.0;
        group[2] = peak_at_trough - 1.0;
        group[3] = max_drawdown;
        group[4] = profit_days;
        group[5] = cum_return - 1.0;
    }
};

// Offset 0: the close of the entry row (c0) against the trade price paid (p0).
Status seed(const Settings& settings, const Trade& trade, double p0, double c0, Running& s) {
    if (p0 == 0.0) return Status::FloatDivision;
    double r = trade.is_long ? c0 / p0 : 2.0 - c0 / p0;
    // Commission is charged before the trade is seeded, so a trade that only
    // just breaks even on the entry row is not counted as in profit there.
    if (trade.entry_transaction != 0) r = r * settings.costs.entry_factor();
    s.cum_return = r;
    s.peak_return = 1.0 > r ? 1.0 : r;
    s.trough_return = 1.0 < r ? 1.0 : r;
    s.peak_at_trough = s.peak_return;
    s.max_drawdown = r - 1.0 < 0.0 ? r - 1.0 : 0.0;
    s.profit_days = r > 1.0 ? 1.0 : 0.0;
    return Status::Ok;
}

// The exit is executed at the trade price (or at the fill of an intraday
// exit), not at the close, and a real exit pays commission plus tax (a split
// at a rebalance pays nothing). Only the exit's return changes: the running
// peak, trough, drawdown and count describe the holding, not the execution.
Status adjust_exit(const Tables& tables, const Settings& settings, const Trade& trade, int64_t k, double& value) {
    if (k != 0) {
        const int64_t row = static_cast<int64_t>(trade.entry_row) + k;
        double xp = trade.exit_fill.value_or(0.0);
        double xc = 0.0;
        Status status = Status::Ok;
        if (!trade.exit_fill) status = read_cell(tables.price, row, trade.col, xp);
        if (status != Status::Ok) return status;
        if (trade.exit_transaction != 0) xp = settings.costs.exit_fill(xp, trade.is_long);
        status = read_cell(tables.close, row, trade.col, xc);
        if (status != Status::Ok) return status;
        if (xc == 0.0) return Status::FloatDivision;
        // A missing price or close leaves the valuation at the last close
        // instead of poisoning the trade's return with NaN.
        if (!std::isnan(xp) && !std::isnan(xc)) {
            value = trade.is_long ? value * (xp / xc) : 2.0 - (xp * (2.0 - value)) / xc;
        }
    } else if (trade.exit_transaction != 0 && settings.costs.slippage != 0.0) {
        // An exit on the entry row is valued at that row's close, as the
        // entry was; its fill still slips from the quote, as the entry did.
        const double slipped = settings.costs.exit_fill(1.0, trade.is_long);
        value = trade.is_long ? value * slipped : 2.0 - slipped * (2.0 - value);
    }
    if (trade.exit_transaction != 0) value = value * settings.costs.exit_factor();
    return Status::Ok;
}

// Room for every window snapshot of the trade (the buffer only grows).
Status reserve_window(std::vector<double>& window, uint64_t groups) {
    try {
        if (window.size() < groups * 6) window.resize(static_cast<size_t>(groups * 6));
    } catch (const std::bad_alloc&) {
        return Status::OutOfMemory;
    } catch (const std::length_error&) {
        return Status::OutOfMemory;
    }
    return Status::Ok;
}

}  // namespace

Status check_settings(const Settings& settings) {
    if (settings.window < 0 || settings.window_step < 0) return Status::NegativeSetting;
    return Status::Ok;
}

namespace {

// The rows a trade is analysed over: at least up to the exit row, and at
// least `window` rows past the entry so every trade's profile spans the same
// rows however long it was held; never past the last row of the tables.
struct TradeRows {
    int64_t entry;
    int64_t end;
    int64_t length;  // end - entry + 1
};

Status analysed_rows(const Tables& tables, const Settings& settings, const Trade& trade, TradeRows& rows) {
    rows.entry = trade.entry_row;
    rows.end = trade.exit_row;
    if (rows.entry + settings.window > rows.end) rows.end = rows.entry + settings.window;
    if (rows.end >= tables.price.rows) rows.end = tables.price.rows - 1;
    rows.length = rows.end - rows.entry + 1;
    return rows.length < 0 ? Status::EntryPastEnd : Status::Ok;
}

// Where the snapshots are taken.
struct SnapshotPlan {
    uint64_t limit;        // window snapshots at offsets below this
    uint64_t step;         // 0: no window snapshots
    uint64_t groups;       // number of window snapshots
    uint64_t exit_offset;  // offset of the exit snapshot
};

SnapshotPlan plan_snapshots(const Settings& settings, const Trade& trade, const TradeRows& rows) {
    SnapshotPlan plan{};
    // Window snapshots at offsets 0, step, 2 step, ... below the smaller of
    // the length and the window (compared unsigned: a negative window would
    // count as unbounded). A step of 0 takes none here; the result's size
    // reports it.
    const uint64_t window = static_cast<uint64_t>(static_cast<int64_t>(settings.window));
    const uint64_t length = static_cast<uint64_t>(rows.length);
    plan.limit = length < window ? length : window;
    plan.step = settings.window_step > 0 ? static_cast<uint64_t>(settings.window_step) : 0;
    plan.groups = plan.step == 0 ? 0 : (plan.limit + plan.step - 1) / plan.step;
    // The exit snapshot's offset: the exit row's, or the last analysed row
    // when the tables end earlier. An exit row before the entry row wraps to
    // a huge unsigned distance and so falls back to the last row too.
    const uint64_t last = static_cast<uint64_t>(rows.length - 1);
    const uint64_t held = static_cast<uint64_t>(static_cast<int64_t>(trade.exit_row) - rows.entry);
    plan.exit_offset = held < last ? held : last;
    return plan;
}

// A close c (NaN: none) moves a trade's running factor r from the last
// valid close prev. A missing close leaves the trade where it stood; the
// next valid close is compared with the last valid one.
template <bool kLong>
inline Status move_factor(double c, double& prev, double& r) {
    if (std::isnan(c)) return Status::Ok;
    if (prev == 0.0) return Status::FloatDivision;
    const double ratio = c / prev;
    if (!std::isnan(ratio)) r = kLong ? r * ratio : 2.0 - (2.0 - r) * ratio;
    prev = c;
    return Status::Ok;
}

// One row of a trade's walk: its close c moves the running factor r
// (move_factor), and the running statistics follow.
template <bool kLong>
inline Status step_close(double c, double& prev, double& r, Running& s) {
    const bool has_close = !std::isnan(c);
    const Status moved = move_factor<kLong>(c, prev, r);
    if (moved != Status::Ok) return moved;
    const double previous_peak = s.peak_return;
    s.peak_return = r > previous_peak ? r : previous_peak;
    // The offset kept is the row before the new low: the peak cannot rise
    // on a row that sets a low, so the peak there is the peak at the low.
    if (s.trough_return > r) {
        s.trough_return = r;
        s.peak_at_trough = previous_peak;
    }
    if (s.peak_return == 0.0) return Status::FloatDivision;
    // At the peak (r equal to it) the drawdown is 0, and a NaN r gives a NaN
    // one: neither lowers the running minimum, which is 0 or below, so only
    // a factor below the peak is divided.
    if (r < s.peak_return) {
        const double dd = r / s.peak_return - 1.0;
        if (s.max_drawdown > dd) s.max_drawdown = dd;
    }
    if (has_close && r > 1.0) s.profit_days = s.profit_days + 1.0;
    s.cum_return = r;
    return Status::Ok;
}

// A row of a walk that keeps only the extremes and the return: the running
// factor (move_factor), and its peak and trough (the peak never
// falls below 1, so it is never the 0 that step_close refuses).
template <bool kLong>
inline Status step_extremes(double c, double& prev, double& r, Running& s) {
    const Status moved = move_factor<kLong>(c, prev, r);
    if (moved != Status::Ok) return moved;
    s.peak_return = r > s.peak_return ? r : s.peak_return;
    s.trough_return = s.trough_return > r ? r : s.trough_return;
    s.cum_return = r;
    return Status::Ok;
}

// The walk over the rows after the entry row: the running statistics, the
// last valid close and the snapshots taken so far.
struct Walk {
    const Trade& trade;
    const SnapshotPlan& plan;
    Snapshots& out;
    Running s;
    double prev;  // the last valid close
    double r;     // the running factor, as of the row being walked
    uint64_t next_snapshot = 0;
    double* window_group;
    bool extremes_only = false;  // the trough, peak and return alone are kept

    void take_snapshots(uint64_t t) {
        if (t == next_snapshot && t < plan.limit && plan.step != 0) {
            s.write(window_group);
            window_group += 6;
            next_snapshot += plan.step;
        }
        if (t == plan.exit_offset) take_exit();
    }
    void take_exit() {
        s.write(out.exit);
        if (extremes_only) out.exit[2] = out.exit[3] = out.exit[4] = std::nan("");
        out.exit_factor = s.cum_return;
    }
    // Whether a window snapshot is still to come.
    bool windows_ahead() const { return plan.step != 0 && next_snapshot < plan.limit; }

    // Row `offset` of the trade with close c.
    Status step_row(uint64_t offset, double c) {
        const Status status = trade.is_long ? step_close<true>(c, prev, r, s) : step_close<false>(c, prev, r, s);
        if (status != Status::Ok) return status;
        take_snapshots(offset);
        return Status::Ok;
    }
};

// The closes of one instrument lie a whole price row apart: the walk asks for
// them a few rows ahead so that it does not wait on memory at every row.
constexpr int64_t kPrefetchRows = 8;

// Rows k + 1 .. end of a walk without snapshots among them, from the cell of
// row k + 1 on (k counts the rows walked; `rows` is the walk's length).
template <bool kLong, bool kExtremes>
Status walk_span(const char*& cell, Py_ssize_t stride, int64_t& k, int64_t end, int64_t rows, Walk& walk) {
    double prev = walk.prev, r = walk.r;
    Running s = walk.s;
    Status status = Status::Ok;
    for (; k < end; ++k, cell += stride) {
        if (k + kPrefetchRows < rows) prefetch_line(cell + kPrefetchRows * stride);
        const double c = load_element<double>(cell);
        status = kExtremes ? step_extremes<kLong>(c, prev, r, s) : step_close<kLong>(c, prev, r, s);
        if (status != Status::Ok) break;
    }
    walk.prev = prev;
    walk.r = r;
    walk.s = s;
    return status;
}

template <bool kLong, bool kExtremes>
Status walk_without_windows(const char* cell, Py_ssize_t stride, int64_t rows, Walk& walk) {
    int64_t k = 0;
    const auto exit_offset = walk.plan.exit_offset;
    if (exit_offset >= 1 && exit_offset <= static_cast<uint64_t>(rows)) {
        const Status status =
            walk_span<kLong, kExtremes>(cell, stride, k, static_cast<int64_t>(exit_offset), rows, walk);
        if (status != Status::Ok) return status;
        walk.take_exit();
    }
    return walk_span<kLong, kExtremes>(cell, stride, k, rows, rows, walk);
}

// Walks the closes of rows entry + 1 .. end.
Status walk_closes(const Tables& tables, const TradeRows& rows, Walk& walk) {
    const View2D<double>& close = tables.close;
    const int64_t col = walk.trade.col;
    const int64_t after_entry = rows.end - rows.entry;  // rows after the entry row
    if (rows.entry + 1 >= 0 && rows.end < close.rows && col >= 0 && col < close.cols) {
        // Every row of the walk lies inside the close table: no checks per row.
        const char* cell = close.data + (rows.entry + 1) * close.row_stride + col * close.col_stride;
        for (int64_t k = 0; k < after_entry && k < kPrefetchRows; ++k) prefetch_line(cell + k * close.row_stride);
        if (!walk.windows_ahead()) {
            // Only the exit snapshot is left to take: the rows run without a test each.
            const Py_ssize_t stride = close.row_stride;
            if (walk.extremes_only) {
                return walk.trade.is_long ? walk_without_windows<true, true>(cell, stride, after_entry, walk)
                                          : walk_without_windows<false, true>(cell, stride, after_entry, walk);
            }
            return walk.trade.is_long ? walk_without_windows<true, false>(cell, stride, after_entry, walk)
                                      : walk_without_windows<false, false>(cell, stride, after_entry, walk);
        }
        for (int64_t k = 0; k < after_entry; ++k, cell += close.row_stride) {
            if (k + kPrefetchRows < after_entry) prefetch_line(cell + kPrefetchRows * close.row_stride);
            const Status status = walk.step_row(static_cast<uint64_t>(k + 1), load_element<double>(cell));
            if (status != Status::Ok) return status;
        }
        return Status::Ok;
    }
    for (int64_t ith = rows.entry + 1; ith <= rows.end; ++ith) {
        double c = 0.0;
        Status status = read_cell(close, ith, col, c);
        if (status != Status::Ok) return status;
        status = walk.step_row(static_cast<uint64_t>(ith - rows.entry), c);
        if (status != Status::Ok) return status;
    }
    return Status::Ok;
}

// The exit's trade price and costs, on the exit snapshot and on a window
// snapshot taken at the same offset.
Status apply_exit_costs(const Tables& tables, const Settings& settings, const Trade& trade, const SnapshotPlan& plan,
                        Snapshots& out) {
    double value = out.exit_factor;
    const Status status = adjust_exit(tables, settings, trade, static_cast<int64_t>(plan.exit_offset), value);
    if (status != Status::Ok) return status;
    out.exit[5] = value - 1.0;
    if (plan.step != 0 && plan.exit_offset < plan.limit && plan.exit_offset % plan.step == 0) {
        out.window[static_cast<size_t>(plan.exit_offset / plan.step) * 6 + 5] = value - 1.0;
    }
    return Status::Ok;
}

}  // namespace

Status trace_trade(const Tables& tables, const Settings& settings, const Trade& trade, Snapshots& out) {
    Status status = check_settings(settings);
    if (status != Status::Ok) return status;
    TradeRows rows{};
    status = analysed_rows(tables, settings, trade, rows);
    if (status != Status::Ok) return status;

    // The entry row is read before anything is reserved, so a row far
    // outside the tables fails here and never sizes the buffers.
    double p0 = 0.0;
    double c0 = 0.0;
    status = read_cell(tables.price, rows.entry, trade.col, p0);
    if (status != Status::Ok) return status;
    // A trade entered by a fill pays its slippage in the price; a record
    // continuing a holding after a split starts at the quoted price.
    if (trade.entry_transaction != 0) p0 = settings.costs.entry_fill(p0, trade.is_long);
    status = read_cell(tables.close, rows.entry, trade.col, c0);
    if (status != Status::Ok) return status;

    const SnapshotPlan plan = plan_snapshots(settings, trade, rows);
    status = reserve_window(out.window, plan.groups);
    if (status != Status::Ok) return status;

    Walk walk{trade, plan, out, Running{}, c0, 0.0, 0, out.window.data(), false};
    walk.extremes_only = settings.extremes_only && !walk.windows_ahead();
    status = seed(settings, trade, p0, c0, walk.s);
    if (status != Status::Ok) return status;
    walk.r = walk.s.cum_return;
    walk.take_snapshots(0);
    status = walk_closes(tables, rows, walk);
    if (status != Status::Ok) return status;
    out.window_values = static_cast<size_t>(walk.window_group - out.window.data());

    if (trade.exit_transaction != 0 || trade.revalue_split) return apply_exit_costs(tables, settings, trade, plan, out);
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

Status write_snapshots(const Snapshots& snapshots, double* out, int64_t size) {
    const auto written = static_cast<int64_t>(snapshots.window_values);
    // The window snapshots never reach the exit snapshot's slots.
    if (size < 6 || written > size - 6) return Status::SnapshotOutOfBounds;
    for (int64_t i = 0; i < written; ++i) out[i] = snapshots.window[static_cast<size_t>(i)];
    for (int64_t i = written; i < size - 6; ++i) out[i] = -1.0;
    for (int k = 0; k < 6; ++k) out[size - 6 + k] = snapshots.exit[k];
    return Status::Ok;
}

}  // namespace korvel::analysis
