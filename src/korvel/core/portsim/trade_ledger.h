// The trade ledger: every trade of a run in columnar native buffers.
//
// backtest_ledger runs the engine with a ledger in place of the trade
// recorder's entries and exits: the same calls, at the same points of the
// run, fill plain vectors instead of Python records, and the whole ledger
// leaves the run as a dict of NumPy arrays. The statistics of each trade are
// those of the recorder, computed by the same code (excursion_analysis.cpp is
// compiled into this module too), so both agree bit for bit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "excursion/excursion_analysis.h"
#include "portsim/exit_reason.h"
#include "portsim/ledger_fields.h"
#include "portsim/position_book.h"

namespace korvel::portsim {

class TradeLedger {
public:
    // Sizes the ledger for a run: n_slots instrument slots (as many as the
    // recorder gets), `rows` price rows, the tables and settings the
    // statistics are taken over, and each slot's price column.
    // With `record_positions`, the ledger also keeps every holding's value
    // over the portfolio value at each close (note_close).
    void start(int n_slots, Py_ssize_t rows, bool record_positions, const analysis::Tables& tables,
               const analysis::Settings& settings, const std::vector<int>& price_col_of_slot);

    bool records_positions() const { return record_positions_; }
    // The value of the long and of the short holdings at the close of `row`.
    void note_exposure(Py_ssize_t row, double long_value, double short_value) {
        per_row_.row_long[static_cast<size_t>(row)] = long_value;
        per_row_.row_short[static_cast<size_t>(row)] = short_value;
    }
    // The weight of slot sid at the close of the current row.
    void note_weight(int sid, double weight) {
        positions_[static_cast<size_t>(row_) * slots_.size() + static_cast<size_t>(sid)] = weight;
    }

    // With fills recorded, the ledger also keeps every fill: its row, slot
    // and |value traded|, in the order they were made.
    // With a volume model, each fill's ADV (NaN without an estimate) too.
    void record_fills(const VolumeModel* model) {
        record_fills_ = true;
        fill_model_ = model;
    }

    // Participation caps: the trade opened on slot sid by a capped order of
    // `ordered` (a value over the price) got `filled` of it; a later row
    // filled `filled` more of that order; the rest of an order on slot sid
    // that was not done (replaced, dropped or still open at the end).
    void note_capped_entry(int sid, double ordered, double filled);
    void note_carried_fill(int sid, double filled);
    void note_unfilled(int sid, double rest);
    void record_unfilled() { record_unfilled_ = true; }
    // A capped stop exit filled on one more row.
    void note_exit_row(int sid);
    // A fill on the current row that no cap could apply to: its cell has no
    // volume estimate.
    void note_uncapped() {
        if (row_ >= 0 && static_cast<size_t>(row_) < per_row_.row_uncapped.size()) {
            per_row_.row_uncapped[static_cast<size_t>(row_)] += 1;
        }
    }

    // Targets of the current row that rounded to no lot at all.
    void note_below_lot(int64_t count) {
        if (row_ >= 0 && static_cast<size_t>(row_) < per_row_.row_below_lot.size()) {
            per_row_.row_below_lot[static_cast<size_t>(row_)] += count;
        }
    }

    // The row being simulated (set before any trade of the row).
    void mark_row(int row) { row_ = row; }

    // As the recorder's record_entry and record_exit: a trade opens on slot
    // sid at the current row; the slot's trade ends (a split at a rebalance
    // when exit_transaction is 0). Each returns false with the recorder's
    // exception pending.
    bool enter(int sid, double weight, int entry_transaction);
    bool exit(int sid, int exit_transaction, const ExitNote& note);

    // A fill on slot sid at the current row: charged to the slot's open
    // trade, or to the trade it has just ended.
    void charge(int sid, const Paid& paid);
    // As charge, for a run whose fills pay commission and tax alone, and
    // slippage with kSlippage (no impact, no fills kept): what charge would
    // add to the other fields is 0 there.
    template <bool kSlippage>
    void charge_commission(int sid, const Paid& paid);
    // What accrued between fills at the current row: a short's borrow fee,
    // charged to the slot's trade as charge would, or the cash's interest
    // (sid -1), kept by row.
    void accrue(int sid, double borrow, double financing);

    // The trade last opened on slot sid: a number no other trade of the run
    // has (-1 before the first) and its entry price (the trading price of its
    // entry row, as quoted: stop levels are measured from the quote, as the
    // touched stops are, and a fill at the level then slips from it). The
    // stops of a trade are its own.
    struct Opened {
        int64_t serial;
        double entry_price;
    };
    Opened opened(int sid) const {
        if (sid < 0 || static_cast<size_t>(sid) >= slots_.size()) return Opened{-1, 0.0};
        const Slot& slot = slots_[static_cast<size_t>(sid)];
        return Opened{slot.serial, slot.quoted_entry};
    }

    // The trades still held at the end of the run, in ascending sid order, as
    // the recorder's end_analysis lists them. False with an exception pending.
    bool finish(const PositionBook& book);

    // The ledger as a dict of NumPy arrays (new reference), or null.
    PyObject* to_dict() const;

private:
    struct Slot {
        int entry_row = 0;
        double weight = 0.0;
        int entry_transaction = 0;
        double entry_price = 0.0;   // the fill, after slippage
        double quoted_entry = 0.0;  // the trading price of the entry row
        double fees = 0.0;
        double taxes = 0.0;
        double slippage = 0.0;
        double borrow = 0.0;
        double impact = 0.0;
        double entry_order = 0.0;  // a capped entry's order (value over price); 0: not capped
        double entry_filled = 0.0;
        int64_t fill_rows = 1;
        bool open = false;
        int64_t serial = -1;
        // The trade the slot ended last (charged for its exit), -1 if none.
        int64_t ended = -1;
    };

    bool append(int sid, const Slot& slot, int exit_row, int analysed_row, int exit_transaction, const ExitNote& note);
    bool slot_of(int sid, Slot*& out);
    double price_at(int row, int sid) const;
    double exit_price(int sid, const Slot& slot, int exit_row, int exit_transaction, const ExitNote& note) const;

    std::vector<Slot> slots_;
    std::vector<int> price_col_;
    analysis::Tables tables_{};
    analysis::Settings settings_{};
    int64_t stats_size_ = 6;
    int row_ = 0;
    int64_t opened_ = 0;  // trades opened so far
    analysis::Snapshots snapshots_;

#define KORVEL_LEDGER_VECTOR(key, type) std::vector<type> key;
    // One trade as appended; one buffer per field.
    struct Record {
#define KORVEL_LEDGER_MEMBER(key, type) type key;
        KORVEL_LEDGER_TRADE_FIELDS(KORVEL_LEDGER_MEMBER)
    };
    struct TradeBuffers {
        KORVEL_LEDGER_TRADE_FIELDS(KORVEL_LEDGER_VECTOR)
    };
    struct RowBuffers {
        KORVEL_LEDGER_ROW_FIELDS(KORVEL_LEDGER_VECTOR)
    };
#undef KORVEL_LEDGER_MEMBER
#undef KORVEL_LEDGER_VECTOR

    TradeBuffers trades_;
    std::vector<double> stats_;  // stats_size_ per trade
    RowBuffers per_row_;
    bool record_positions_ = false;
    std::vector<double> positions_;  // rows x slots, with record_positions
    bool record_fills_ = false;
    std::vector<int64_t> fill_row_, fill_sid_;  // with record_fills
    std::vector<double> fill_traded_, fill_adv_;
    const VolumeModel* fill_model_ = nullptr;
    bool record_unfilled_ = false;
    std::vector<int64_t> unfilled_row_, unfilled_sid_;
    std::vector<double> unfilled_rest_;
};

}  // namespace korvel::portsim
