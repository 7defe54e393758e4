// The row loop and its first half: valuation of the holdings at the trading
// price, the stop-loss / take-profit / trailing-stop rules and the execution
// of yesterday's close-based exits.
#include <cmath>

#include "portsim/cell_access.h"
#include "portsim/recorder_binding.h"
#include "portsim/row_steps.h"
#include "portsim/trade_ledger.h"

namespace korvel::portsim {

namespace {

// The exit bounds on the growth factor, and which rule each one is.
struct Bounds {
    double upper;
    double lower;
    ExitReason upper_reason;
    ExitReason lower_reason;
};

Bounds exit_bounds(const ExitThresholds& t, double entry_value, double growth_max, double growth_min) {
    Bounds b;
    if (entry_value > 0.0) {
        const bool trailing = growth_max >= t.long_activation;
        b.upper = t.long_upper;
        b.upper_reason = ExitReason::TakeProfit;
        b.lower = t.long_lower;
        b.lower_reason = ExitReason::StopLoss;
        if (trailing && growth_max - t.trail_distance > b.lower) {
            b.lower = growth_max - t.trail_distance;
            b.lower_reason = ExitReason::TrailingStop;
        }
    } else {
        const bool trailing = growth_min <= t.short_activation;
        b.upper = t.short_upper;
        b.upper_reason = ExitReason::StopLoss;
        if (trailing && growth_min + t.trail_distance < b.upper) {
            b.upper = growth_min + t.trail_distance;
            b.upper_reason = ExitReason::TrailingStop;
        }
        b.lower = t.short_lower;
        b.lower_reason = ExitReason::TakeProfit;
    }
    return b;
}

// A close this close to a level (relative to the level) has reached it: the
// level and the close are both products of prices and rules, a few ulps apart
// when the close is exactly at the level.
constexpr double kLevelTolerance = 1e-12;

// The close-based levels of a trade as prices: its entry price times the
// level of each rule over the entry (the trailing stop's from the price it
// trails), widened by the tolerance. The upper bound is tested first.
void set_levels(const BacktestInputs& in, const RunState& run, RunState::TradeStops& s) {
    const ExitThresholds& t = run.bounds;
    const bool from_peak = in.rules.trail_from == TrailFrom::Peak;
    const double trailed = (from_peak ? s.peak : s.best) / s.entry;
    double upper = 0.0, lower = 0.0;
    if (s.is_long) {
        upper = t.long_upper;
        lower = t.long_lower;
        s.upper_reason = ExitReason::TakeProfit;
        s.lower_reason = ExitReason::StopLoss;
        if (trailed >= t.long_activation) {
            const double level = from_peak ? (1.0 - t.trail_distance) * trailed : trailed - t.trail_distance;
            if (level > lower) {
                lower = level;
                s.lower_reason = ExitReason::TrailingStop;
            }
        }
    } else {
        upper = t.short_upper;
        lower = t.short_lower;
        s.upper_reason = ExitReason::StopLoss;
        s.lower_reason = ExitReason::TakeProfit;
        if (trailed <= t.short_activation) {
            const double level = from_peak ? (1.0 + t.trail_distance) * trailed : trailed + t.trail_distance;
            if (level < upper) {
                upper = level;
                s.upper_reason = ExitReason::TrailingStop;
            }
        }
    }
    // An infinite level stays infinite (inf - inf would be NaN).
    s.upper = s.entry * (std::isinf(upper) ? upper : upper - kLevelTolerance * std::fabs(upper));
    s.lower = s.entry * (std::isinf(lower) ? lower : lower + kLevelTolerance * std::fabs(lower));
}

// The stops of the trade holding `sid`, started anew when the ledger has
// opened another trade there since they were last looked at (`fresh` then
// says so). A trade entered on a missing trading price takes its first
// valid trading price as its entry (follow_trading_price).
RunState::TradeStops& stops_of(const BacktestInputs& in, RunState& run, int sid, bool is_long, bool& fresh) {
    // Held sids are weight columns, for which the stops are sized; a book grown wider grows them too.
    if (static_cast<size_t>(sid) >= run.trade_stops.size()) run.trade_stops.resize(static_cast<size_t>(sid) + 1);
    RunState::TradeStops& s = run.trade_stops[static_cast<size_t>(sid)];
    const TradeLedger::Opened trade = run.ledger->opened(sid);
    fresh = trade.serial != s.serial;
    if (fresh) {
        s.serial = trade.serial;
        s.is_long = is_long;
        s.entry = trade.entry_price;
        s.best = trade.entry_price;
        // Entered at a close, that close is the entry price; entered before
        // it, the entry row's close is the first one the trade is held through.
        s.peak = in.rules.trade_at == TradeAt::Close ? trade.entry_price : std::nan("");
        set_levels(in, run, s);
    }
    return s;
}

// Folds a trading price into the trade's stops, and moves the levels that
// follow it. Inline: it runs for every holding on every row, and mostly
// finds nothing to do.
inline void follow_trading_price(const BacktestInputs& in, const RunState& run, RunState::TradeStops& s, double price) {
    if (std::isnan(price)) return;
    if (std::isnan(s.entry)) {
        s.entry = s.best = price;
        if (std::isnan(s.peak)) s.peak = price;
    } else if (s.is_long ? price > s.best : price < s.best) {
        s.best = price;
        // A new best moves only a trailing stop's level, and one trailing
        // the peak follows the closes instead.
        if (in.rules.trail_from == TrailFrom::Peak || !run.trailing) return;
    } else {
        return;
    }
    set_levels(in, run, s);
}

// A signal for the trade at `sid`, to execute on the next row.
void raise_close_signal(RunState& run, int sid, const RunState::TradeStops& s, bool upper) {
    // Signed by the kind of exit, as on the other paths.
    run.close_exit_signals.push_back(signed_exit(sid, upper ? s.is_long : !s.is_long));
    run.close_signal_reasons.push_back(upper ? s.upper_reason : s.lower_reason);
    run.close_signal_serials.push_back(s.serial);
}

// The close-based test of an own-trade stop: the close against the trade's
// own levels; a signal is raised for the trade. A NaN close reaches neither.
inline void test_own_close(const BacktestInputs& in, RunState& run, int sid, RunState::TradeStops& s, double close) {
    if (in.rules.trail_from == TrailFrom::Peak && !std::isnan(close) &&
        (std::isnan(s.peak) || (s.is_long ? close > s.peak : close < s.peak))) {
        s.peak = close;
        set_levels(in, run, s);
    }
    if (close >= s.upper) {
        raise_close_signal(run, sid, s, true);
    } else if (close <= s.lower) {
        raise_close_signal(run, sid, s, false);
    }
}

// The bounds of a touched exit whose trailing stop trails the peak: the
// stop-loss and take-profit bounds of the run, and the peak times
// (1 - trail_stop) (a short's trough times 1 + trail_stop) once the peak's
// gain from the entry arms it, as growth factors (`factor_per_price` turns a
// price into one).
Bounds peak_bounds(const RunState& run, const RunState::TradeStops& s, bool is_long, double factor_per_price) {
    const ExitThresholds& t = run.bounds;
    const double trailed = s.peak / s.entry;
    if (is_long) {
        Bounds b{t.long_upper, t.long_lower, ExitReason::TakeProfit, ExitReason::StopLoss};
        const double level = (1.0 - t.trail_distance) * s.peak * factor_per_price;
        if (trailed >= t.long_activation && level > b.lower) {
            b.lower = level;
            b.lower_reason = ExitReason::TrailingStop;
        }
        return b;
    }
    Bounds b{t.short_upper, t.short_lower, ExitReason::StopLoss, ExitReason::TakeProfit};
    const double level = (1.0 + t.trail_distance) * s.peak * factor_per_price;
    if (trailed <= t.short_activation && level < b.upper) {
        b.upper = level;
        b.upper_reason = ExitReason::TrailingStop;
    }
    return b;
}

// A row held through raises the peak to its high (a short's trough to its low).
void fold_extreme(RunState::TradeStops& s, bool is_long, double high, double low) {
    if (std::isnan(s.peak)) s.peak = s.entry;
    const double extreme = is_long ? high : low;
    if (!std::isnan(extreme)) s.peak = is_long ? std::fmax(s.peak, extreme) : std::fmin(s.peak, extreme);
}

// Intraday exit on high, low and open, executed on this row at the touched
// level (or at the open when the row gaps through a bound).
template <bool kChecked>
int touched_exit(const BacktestInputs& in, RunState& run, Py_ssize_t i, int sid, int pc, double price,
                 double entry_value, double ret, const Bounds& entry_bounds) {
    if (run.carry.on && run.carry.exits(sid)) return 0;  // its exit is under way
    double high = 0.0, low = 0.0, open = 0.0;
    if (!read_cell<kChecked>(in.high, i, pc, high) || !read_cell<kChecked>(in.low, i, pc, low) ||
        !read_cell<kChecked>(in.open, i, pc, open)) {
        return -1;
    }
    const double g0 = run.growth[sid] / ret;
    const double reference = run.last_price[pc];
    const double high_factor = g0 * (high / reference);
    const double low_factor = g0 * (low / reference);
    const double open_factor = g0 * (open / reference);
    RunState::TradeStops* peak = nullptr;
    if (run.own_stops && in.rules.trail_from == TrailFrom::Peak) {
        // The trailing bound sits at the peak of the rows before this one.
        bool fresh = false;
        peak = &stops_of(in, run, sid, entry_value > 0.0, fresh);
        follow_trading_price(in, run, *peak, price);
    }
    const Bounds b = peak ? peak_bounds(run, *peak, entry_value > 0.0, g0 / reference) : entry_bounds;
    const bool touch_low = low_factor <= b.lower;
    const bool touch_high = high_factor >= b.upper;
    const bool touch_open = open_factor >= b.upper || open_factor <= b.lower;
    if (!(touch_open || touch_high || touch_low)) {
        if (peak) fold_extreme(*peak, entry_value > 0.0, high, low);
        return 0;
    }
    // The fill as a price, for the trade record: the open on a gap, else the
    // touched level measured from the last valid price.
    // The reason is the rule of the bound the fill is at (gapped through).
    double& value = run.positions.value(sid);
    ExitNote exit{ExitReason::Rebalance, open};
    if (touch_open) {
        value = entry_value * open_factor;
        exit.reason = open_factor >= b.upper ? b.upper_reason : b.lower_reason;
    } else if (touch_high) {
        value = entry_value * b.upper;
        exit.fill = reference * b.upper / g0;
        exit.reason = b.upper_reason;
    } else {
        value = entry_value * b.lower;
        exit.fill = reference * b.lower / g0;
        exit.reason = b.lower_reason;
    }
    const bool stop_type = (touch_low && value > 0.0) || (touch_high && value < 0.0);
    run.executed_exits.push_back(signed_exit(sid, !stop_type));
    if (run.carry.on) {
        const int capped = cap_stop_exit(in, run, i, sid, exit);
        if (capped != 0) return capped < 0 ? -1 : 0;
    }
    run.cash = set_position(run.positions, sid, 0.0, run.cash, in.costs, false, false, 1.0, exit);
    return failed(run.cash) ? -1 : 0;
}

// How the morning pass tests a holding's exits, fixed for the run: intraday
// on high, low and open; against its own trade's levels at the close (or not
// at all when no level is finite); or backtest_'s close-based rule on the
// growth since the stop reference.
enum class ExitTest : int8_t { Touched, OwnClose, OwnNone, Growth };

ExitTest exit_test_of(const BacktestInputs& in, const RunState& run) {
    if (in.rules.touched_exit) return ExitTest::Touched;
    if (run.own_stops) return run.close_stops ? ExitTest::OwnClose : ExitTest::OwnNone;
    return ExitTest::Growth;
}

template <bool kChecked, ExitTest kTest>
int process_holdings_in(const BacktestInputs& in, RunState& run, Py_ssize_t i) {
    // A touched exit sets the value to 0 but keeps the key, so walking the
    // held sids while closing is safe.
    const std::vector<int>& held = run.positions.held;
    if (!kChecked && run.closing_values.size() < run.positions.values.size()) {
        run.closing_values.resize(run.positions.values.size());
    }
    // The arrays the loop reads and writes, held in locals: the compiler
    // cannot tell that the stores into them leave the vectors themselves
    // alone. Nothing in the loop resizes them (a touched exit's peak stops
    // may grow the trade stops, so that mode looks them up each time).
    double* const last_price = run.last_price.data();
    double* const values = run.positions.values.data();
    double* const closing_values = run.closing_values.data();
    RunState::TradeStops* const trade_stops = run.trade_stops.data();
    const int* const price_col_of_sid = run.price_col_of_sid.data();
    const View2D<double> price_table = in.price, close_table = in.close;
    // Every cell of the next row lies inside the tables when this one's do.
    const bool next_row = !kChecked && i + 1 < in.price_index.size;
    // Trading at the close of close-only data, both tables are one.
    const bool close_apart = close_table.data != price_table.data || close_table.row_stride != price_table.row_stride ||
                             close_table.col_stride != price_table.col_stride;
    for (const int sid : held) {
        const auto k = static_cast<size_t>(sid);
        const int pc = kChecked ? run.price_col(sid) : price_col_of_sid[k];
        double price = 0.0;
        if (!read_cell<kChecked>(price_table, i, pc, price)) return -1;
        if (validate_held_price<kChecked>(in, price, sid, i) < 0) return -1;

        double& last = last_price[pc];
        if (std::isnan(last)) last = price;
        double ret = price / last;
        if (std::isnan(ret)) ret = 1.0;
        double& value = values[k];
        value = value * ret;
        if constexpr (kTest == ExitTest::Touched || kTest == ExitTest::Growth) {
            // The growth since the stop reference, which touched exits and
            // backtest_'s close-based rule measure (own-trade stops keep prices).
            double& growth = run.growth[sid];
            growth = growth * ret;
            if (growth > run.growth_max[sid]) run.growth_max[sid] = growth;
            if (growth < run.growth_min[sid]) run.growth_min[sid] = growth;
        }
        double close = 0.0;
        if constexpr (kTest == ExitTest::Touched) {
            const double growth = run.growth[sid];
            const double entry_value = value / growth;
            const Bounds b = exit_bounds(run.bounds, entry_value, run.growth_max[sid], run.growth_min[sid]);
            if (touched_exit<kChecked>(in, run, i, sid, pc, price, entry_value, ret, b) < 0) return -1;
            if (!kChecked) close = close_table.at_unchecked(i, pc);
        } else if constexpr (kTest == ExitTest::OwnClose) {
            // Trading at the close, the close sees the holding before the
            // row's trades. Trading before it, the close follows them: a
            // trade the row's trades end loses its signal with it, one they
            // keep is tested alike, and follow_new_trades tests the trades
            // they open. Every held trade's stops are its own since the
            // rebalance that opened it (follow_new_trades).
            RunState::TradeStops& stops = trade_stops[k];
            follow_trading_price(in, run, stops, price);
            if (!read_cell<kChecked>(close_table, i, pc, close)) return -1;
            test_own_close(in, run, sid, stops, close);
        } else if constexpr (kTest == ExitTest::OwnNone) {
            if (!kChecked) close = close_table.at_unchecked(i, pc);
        } else {
            const double growth = run.growth[sid];
            const double entry_value = value / growth;
            const Bounds b = exit_bounds(run.bounds, entry_value, run.growth_max[sid], run.growth_min[sid]);
            if (!read_cell<kChecked>(close_table, i, pc, close)) return -1;
            // Signed by the kind of exit, as the intraday rule does: a long's
            // upper bound is its take profit, a short's its stop loss.
            const bool is_long = entry_value > 0.0;
            const double close_factor = (growth * close) / price;
            if (close_factor >= b.upper) {
                run.close_exit_signals.push_back(signed_exit(sid, is_long));
                run.close_signal_reasons.push_back(b.upper_reason);
            } else if (close_factor < b.lower) {
                run.close_exit_signals.push_back(signed_exit(sid, !is_long));
                run.close_signal_reasons.push_back(b.lower_reason);
            }
        }
        if (!kChecked) {
            // The holding's value at the close, as the close pass would add it
            // if nothing else changes the book today.
            const bool unpriced = std::isnan(price) || std::isnan(close);
            closing_values[k] = unpriced ? value : value * close / price;
            // The holdings are scattered across wide price rows: ask for
            // tomorrow's cells now so the next row does not wait on memory.
            if (next_row) {
                price_table.prefetch_unchecked(i + 1, pc);
                if (close_apart) close_table.prefetch_unchecked(i + 1, pc);
                if constexpr (kTest == ExitTest::Touched) {
                    in.high.prefetch_unchecked(i + 1, pc);
                    in.low.prefetch_unchecked(i + 1, pc);
                    in.open.prefetch_unchecked(i + 1, pc);
                }
            }
        }
        if (!std::isnan(price)) last = price;
    }
    run.rebalanced_since_morning = false;
    return 0;
}

template <bool kChecked>
int process_holdings(const BacktestInputs& in, RunState& run, Py_ssize_t i, ExitTest test) {
    switch (test) {
        case ExitTest::Touched: return process_holdings_in<kChecked, ExitTest::Touched>(in, run, i);
        case ExitTest::OwnClose: return process_holdings_in<kChecked, ExitTest::OwnClose>(in, run, i);
        case ExitTest::OwnNone: return process_holdings_in<kChecked, ExitTest::OwnNone>(in, run, i);
        case ExitTest::Growth: break;
    }
    return process_holdings_in<kChecked, ExitTest::Growth>(in, run, i);
}

int execute_pending_exits(const BacktestInputs& in, RunState& run, Py_ssize_t i) {
    for (size_t k = 0; k < run.pending_exits.size(); ++k) {
        const int signal = run.pending_exits[k];
        const int sid = exit_sid(signal);
        if (run.carry.on && run.carry.exits(sid)) continue;  // its exit is under way
        bool keep_position = false;
        if (run.own_stops) {
            // A signal dies with its trade; otherwise it executes before the
            // row's rebalance, whatever that rebalance will do.
            if (run.ledger->opened(sid).serial != run.pending_serials[k]) continue;
        } else if (run.rebalance_due) {
            const int stop_trading = stop_trading_next_period(in);
            if (stop_trading < 0) return -1;
            if (!stop_trading) {
                View1D<double> row;
                double weight = 0.0;
                if (!in.pos_values.row(run.pos_row, row) || !row.get(sid, weight)) return -1;
                keep_position = weight != 0.0;  // NaN counts as weighted
            }
        }
        if (!run.positions.holds(sid) || run.positions.value(sid) == 0.0 || keep_position) continue;
        const int capped = run.carry.on ? cap_stop_exit(in, run, i, sid, ExitNote{run.pending_reasons[k]}) : 0;
        if (capped < 0) return -1;
        if (capped == 0) {
            run.cash = set_position(run.positions, sid, 0.0, run.cash, in.costs, false, true, 1.0,
                                    ExitNote{run.pending_reasons[k]});
            if (failed(run.cash)) return -1;
        }
        run.executed_exits.push_back(signal);
        reset_growth(run, sid);
        auto& signals = run.close_exit_signals;
        for (size_t j = 0; j < signals.size(); ++j) {
            if (signals[j] == signal || signals[j] == -signal) {
                signals.erase(signals.begin() + static_cast<std::ptrdiff_t>(j));
                run.close_signal_reasons.erase(run.close_signal_reasons.begin() + static_cast<std::ptrdiff_t>(j));
                if (run.own_stops) {
                    run.close_signal_serials.erase(run.close_signal_serials.begin() + static_cast<std::ptrdiff_t>(j));
                }
                break;
            }
        }
    }
    return 0;
}

// The interest of the row on the previous close's cash (at the margin rate
// when negative) and the borrow fee on each short's value at the previous
// close, both at the simple rates the layer worked out for the row.
template <bool kChecked>
int accrue_financing(const BacktestInputs& in, RunState& run, Py_ssize_t i) {
    const TradingRules& l = in.rules;
    const RateTable& cash_table = run.cash < 0.0 && l.margin_rates.given ? l.margin_rates : l.cash_rates;
    if (cash_table.given) {
        const double interest = run.cash * cash_table.rates.at_unchecked(i, 0);
        if (interest != 0.0) {
            run.cash = run.cash + interest;
            record_accrued(-1, 0.0, -interest);
        }
    }
    if (!l.borrow_rates.given || i == 0) return 0;
    // The book is as the previous row's close pass valued it: its values at
    // that close are kept (keep_closing_values), not read from the prices again.
    for (const int sid : run.positions.held) {
        const double value = run.positions.value(sid);
        if (!(value < 0.0)) continue;
        const double at_close = run.closing_values[static_cast<size_t>(sid)];
        const double fee = -at_close * l.borrow_rates.rates.at_unchecked(i, sid);
        if (!(fee != 0.0) || std::isnan(fee)) continue;
        run.cash = run.cash - fee;
        record_accrued(sid, fee, 0.0);
    }
    return 0;
}

// The row after a ruinous close: the holdings left after the row's own exits
// are closed at its trading price, and nothing trades again.
int close_on_ruin(const BacktestInputs& in, RunState& run) {
    run.ruin_closed = true;
    run.rebalance_due = false;
    run.pending_exits.clear();
    run.pending_reasons.clear();
    const std::vector<int> held = run.positions.held;
    for (const int sid : held) {
        if (run.positions.value(sid) == 0.0) continue;
        run.cash =
            set_position(run.positions, sid, 0.0, run.cash, in.costs, false, true, 1.0, ExitNote{ExitReason::Ruin});
        if (failed(run.cash)) return -1;
    }
    return 0;
}

// Each holding's weight at today's close, for the ledger that keeps them.
template <bool kChecked>
int note_closing_weights(const BacktestInputs& in, RunState& run, Py_ssize_t i) {
    const double total = run.equity_data[i];
    for (const int sid : run.positions.held) {
        const int pc = run.price_col(sid);
        double price = 0.0, close = 0.0;
        if (!read_cell<kChecked>(in.price, i, pc, price) || !read_cell<kChecked>(in.close, i, pc, close)) return -1;
        const double value = run.positions.value(sid);
        const double at_close = (std::isnan(price) || std::isnan(close)) ? value : value * close / price;
        run.closing_book->note_weight(sid, at_close / total);
    }
    return 0;
}

// With own-trade stops, after a rebalance (the only step that opens trades):
// the stops of the trades it opened start from their entries. Trading before
// the close, the row's close then tests those trades, for the next row (the
// trades held since the morning were tested then, and those the rebalance
// ended lost their signals); with touched exits trailing the peak, such a
// trade holds through the row's high and low, the peak of its first test.
template <bool kChecked>
int follow_new_trades(const BacktestInputs& in, RunState& run, Py_ssize_t i) {
    const bool touched_peak = in.rules.touched_exit && in.rules.trail_from == TrailFrom::Peak;
    if (!run.close_stops || (in.rules.touched_exit && !touched_peak)) return 0;
    for (const int sid : run.positions.held) {
        const double value = run.positions.value(sid);
        if (value == 0.0) continue;  // NaN counts as held
        bool fresh = false;
        RunState::TradeStops& stops = stops_of(in, run, sid, value > 0.0, fresh);
        if (!fresh || !run.close_test_after_trades) continue;
        const int pc = run.price_col(sid);
        if (touched_peak) {
            double high = 0.0, low = 0.0;
            if (!read_cell<kChecked>(in.high, i, pc, high) || !read_cell<kChecked>(in.low, i, pc, low)) return -1;
            fold_extreme(stops, value > 0.0, high, low);
            continue;
        }
        double close = 0.0;
        if (!read_cell<kChecked>(in.close, i, pc, close)) return -1;
        test_own_close(in, run, sid, stops, close);
    }
    // Handed over already: these are tomorrow's signals too.
    auto move = [](auto& from, auto& to) {
        to.insert(to.end(), from.begin(), from.end());
        from.clear();
    };
    move(run.close_exit_signals, run.pending_exits);
    move(run.close_signal_reasons, run.pending_reasons);
    move(run.close_signal_serials, run.pending_serials);
    return 0;
}

template <bool kChecked>
int run_rows_in(const BacktestInputs& in, RunState& run) {
    const Py_ssize_t rows = in.price_index.size;
    const ExitTest test = exit_test_of(in, run);
    for (Py_ssize_t i = 0; i < rows; ++i) {
        const int64_t date = in.price_index.at_unchecked(i);
        run.last_date = date;
        int64_t first_weight_date = 0;
        if (!in.pos_index.get(0, first_weight_date)) return -1;
        if (date < first_weight_date) {
            run.equity_data[i] = 1.0;
            continue;
        }
        if (call_recorder(g_recorder.record_date, static_cast<int>(i)) < 0) return -1;
        g_recording.mark_row(g_recording.self, static_cast<int>(i));
        run.volume_model.row = i;
        if (run.ruin_closed) {
            run.equity_data[i] = run.cash;  // nothing is held or trades after a ruin
            continue;
        }
        if (run.accrues && !run.ruined && accrue_financing<kChecked>(in, run, i) < 0) return -1;
        if (process_holdings<kChecked>(in, run, i, test) < 0) return -1;
        if (run.ruined) {
            if (close_on_ruin(in, run) < 0 || value_at_close<true>(in, run, i) < 0) return -1;
            continue;
        }
        if (execute_pending_exits(in, run, i) < 0) return -1;

        hand_over_exit_signals(run);
        const bool rebalanced = run.rebalance_due;
        if (run.carry.on && fill_carried_orders(in, run, i, rebalanced) < 0) return -1;
        if (rebalanced && apply_due_weight_row(in, run, i) < 0) return -1;
        if (run.use_delisting && close_delisted<kChecked>(in, run, i) < 0) return -1;
        if (rebalanced && run.own_stops && follow_new_trades<kChecked>(in, run, i) < 0) return -1;
        if (value_at_close<kChecked>(in, run, i) < 0) return -1;
        if (run.closing_book && note_closing_weights<kChecked>(in, run, i) < 0) return -1;
        if (in.rules.close_on_ruin && run.equity_data[i] <= 0.0) run.ruined = true;
        if (choose_next_weight_row(in, run, i) < 0) return -1;
    }
    return 0;
}

}  // namespace

int run_rows(const BacktestInputs& in, RunState& run) {
    return run.cells_in_bounds ? run_rows_in<false>(in, run) : run_rows_in<true>(in, run);
}

}  // namespace korvel::portsim
