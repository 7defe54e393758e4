#include "portsim/trade_ledger.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "common/numpy_api.h"
#include "common/pyref.h"
#include "excursion/analysis_errors.h"

namespace korvel::portsim {

namespace {

constexpr const char* kReasonNames[] = {
#define KORVEL_EXIT_REASON_NAME(name, text) text,
    KORVEL_EXIT_REASONS(KORVEL_EXIT_REASON_NAME)
#undef KORVEL_EXIT_REASON_NAME
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A new NumPy array of `n` elements (shape {n} or {n, width}) holding `data`.
template <typename T>
PyObject* array_of(const std::vector<T>& data, int typenum, npy_intp n, npy_intp width = -1) {
    npy_intp dims[2] = {n, width};
    PyObject* array = PyArray_EMPTY(width < 0 ? 1 : 2, dims, typenum, 0);
    if (array && !data.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), data.data(), data.size() * sizeof(T));
    }
    return array;
}

// The NumPy element type of a ledger field's C++ type.
template <typename T>
constexpr int typenum_of();
template <>
constexpr int typenum_of<int64_t>() {
    return NPY_INT64;
}
template <>
constexpr int typenum_of<int8_t>() {
    return NPY_INT8;
}
template <>
constexpr int typenum_of<double>() {
    return NPY_FLOAT64;
}

int set_item(PyObject* dict, const char* key, PyObject* owned) {
    PyRef value(owned);
    if (!value) return -1;
    return PyDict_SetItemString(dict, key, value.get());
}

}  // namespace

void TradeLedger::start(int n_slots, Py_ssize_t rows, bool record_positions, const analysis::Tables& tables,
                        const analysis::Settings& settings, const std::vector<int>& price_col_of_slot) {
    slots_.assign(static_cast<size_t>(n_slots), Slot{});
    price_col_.assign(static_cast<size_t>(n_slots), 0);
    for (size_t sid = 0; sid < price_col_.size() && sid < price_col_of_slot.size(); ++sid) {
        price_col_[sid] = price_col_of_slot[sid];
    }
    tables_ = tables;
    settings_ = settings;
    opened_ = 0;
    // A step of 0 fails at the first trade; a ledger without trades then
    // still has the exit snapshot's six columns.
    if (analysis::result_size(settings, stats_size_) != analysis::Status::Ok) stats_size_ = 6;
#define KORVEL_LEDGER_ZEROS(key, type) per_row_.key.assign(static_cast<size_t>(rows), type{});
    KORVEL_LEDGER_ROW_FIELDS(KORVEL_LEDGER_ZEROS)
#undef KORVEL_LEDGER_ZEROS
    record_positions_ = record_positions;
    if (record_positions) positions_.assign(static_cast<size_t>(rows) * static_cast<size_t>(n_slots), 0.0);
}

// The recorder keeps one slot per weight label; a sid beyond them fails as
// its slot arrays do.
bool TradeLedger::slot_of(int sid, Slot*& out) {
    if (sid < 0 || static_cast<size_t>(sid) >= slots_.size()) return raise_buffer_index_error(0);
    out = &slots_[static_cast<size_t>(sid)];
    return true;
}

double TradeLedger::price_at(int row, int sid) const {
    const int col = price_col_[static_cast<size_t>(sid)];
    return tables_.price.contains(row, col) ? tables_.price.at_unchecked(row, col) : kNaN;
}

bool TradeLedger::enter(int sid, double weight, int entry_transaction) {
    Slot* slot = nullptr;
    if (!slot_of(sid, slot)) return false;
    slot->entry_row = row_;
    slot->weight = weight;
    slot->entry_transaction = entry_transaction;
    const double quoted = price_at(row_, sid);
    slot->entry_price = entry_transaction != 0 ? settings_.costs.entry_fill(quoted, weight > 0.0) : quoted;
    slot->quoted_entry = quoted;
    slot->fees = 0.0;
    slot->taxes = 0.0;
    slot->slippage = 0.0;
    slot->borrow = 0.0;
    slot->impact = 0.0;
    slot->entry_order = 0.0;
    slot->entry_filled = 0.0;
    slot->fill_rows = 1;
    slot->open = true;
    slot->serial = opened_++;
    return true;
}

bool TradeLedger::exit(int sid, int exit_transaction, const ExitNote& note) {
    Slot* slot = nullptr;
    if (!slot_of(sid, slot)) return false;
    if (!append(sid, *slot, row_, row_, exit_transaction, note)) return false;
    slot->open = false;
    slot->ended = static_cast<int64_t>(trades_.sid.size()) - 1;
    return true;
}

void TradeLedger::charge(int sid, const Paid& paid) {
    const double traded = paid.traded, cost = paid.cost, fees = paid.fees, taxes = paid.taxes();
    if (row_ >= 0 && static_cast<size_t>(row_) < per_row_.row_traded.size()) {
        per_row_.row_traded[static_cast<size_t>(row_)] += traded;
        per_row_.row_costs[static_cast<size_t>(row_)] += cost;
        per_row_.row_impact[static_cast<size_t>(row_)] += paid.impact;
        if (paid.unestimated) per_row_.row_unestimated[static_cast<size_t>(row_)] += 1;
    }
    if (record_fills_ && traded > 0.0) {
        fill_row_.push_back(row_);
        fill_sid_.push_back(sid);
        fill_traded_.push_back(traded);
        if (fill_model_ != nullptr) fill_adv_.push_back(fill_model_->adv(row_, fill_model_->column(sid)));
    }
    if (sid < 0 || static_cast<size_t>(sid) >= slots_.size()) return;
    Slot& slot = slots_[static_cast<size_t>(sid)];
    if (slot.open) {
        slot.fees += fees;
        slot.taxes += taxes;
        slot.slippage += paid.slippage;
        slot.impact += paid.impact;
    } else if (slot.ended >= 0) {
        const auto ended = static_cast<size_t>(slot.ended);
        trades_.fees[ended] += fees;
        trades_.taxes[ended] += taxes;
        trades_.slippage[ended] += paid.slippage;
        trades_.impact[ended] += paid.impact;
    }
}

template <bool kSlippage>
void TradeLedger::charge_commission(int sid, const Paid& paid) {
    const double fees = paid.fees, taxes = paid.taxes();
    if (row_ >= 0 && static_cast<size_t>(row_) < per_row_.row_traded.size()) {
        per_row_.row_traded[static_cast<size_t>(row_)] += paid.traded;
        per_row_.row_costs[static_cast<size_t>(row_)] += paid.cost;
    }
    if (sid < 0 || static_cast<size_t>(sid) >= slots_.size()) return;
    Slot& slot = slots_[static_cast<size_t>(sid)];
    if (slot.open) {
        slot.fees += fees;
        slot.taxes += taxes;
        if (kSlippage) slot.slippage += paid.slippage;
    } else if (slot.ended >= 0) {
        const auto ended = static_cast<size_t>(slot.ended);
        trades_.fees[ended] += fees;
        trades_.taxes[ended] += taxes;
        if (kSlippage) trades_.slippage[ended] += paid.slippage;
    }
}

template void TradeLedger::charge_commission<false>(int, const Paid&);
template void TradeLedger::charge_commission<true>(int, const Paid&);

void TradeLedger::accrue(int sid, double borrow, double financing) {
    if (financing != 0.0 && row_ >= 0 && static_cast<size_t>(row_) < per_row_.row_financing.size()) {
        per_row_.row_financing[static_cast<size_t>(row_)] += financing;
    }
    if (borrow == 0.0 || sid < 0 || static_cast<size_t>(sid) >= slots_.size()) return;
    Slot& slot = slots_[static_cast<size_t>(sid)];
    if (slot.open) {
        slot.borrow += borrow;
    } else if (slot.ended >= 0) {
        trades_.borrow[static_cast<size_t>(slot.ended)] += borrow;
    }
}

void TradeLedger::note_capped_entry(int sid, double ordered, double filled) {
    if (sid < 0 || static_cast<size_t>(sid) >= slots_.size()) return;
    Slot& slot = slots_[static_cast<size_t>(sid)];
    if (!slot.open) return;
    slot.entry_order = ordered;
    slot.entry_filled = filled;
    slot.fill_rows = 1;
}

void TradeLedger::note_carried_fill(int sid, double filled) {
    if (sid < 0 || static_cast<size_t>(sid) >= slots_.size()) return;
    Slot& slot = slots_[static_cast<size_t>(sid)];
    if (!slot.open || slot.entry_order <= 0.0) return;
    slot.entry_filled += filled;
    slot.fill_rows += 1;
}

void TradeLedger::note_exit_row(int sid) {
    if (sid < 0 || static_cast<size_t>(sid) >= slots_.size()) return;
    Slot& slot = slots_[static_cast<size_t>(sid)];
    if (slot.open) slot.fill_rows += 1;
}

void TradeLedger::note_unfilled(int sid, double rest) {
    unfilled_row_.push_back(row_);
    unfilled_sid_.push_back(sid);
    unfilled_rest_.push_back(rest);
}

// One trade: its statistics as the recorder takes them (an open trade is
// analysed up to the current row, without exit costs or revaluation).
bool TradeLedger::append(int sid, const Slot& slot, int exit_row, int analysed_row, int exit_transaction,
                         const ExitNote& note) {
    const bool ends = exit_row >= 0;
    analysis::Trade trade{price_col_[static_cast<size_t>(sid)],
                          slot.entry_row,
                          analysed_row,
                          slot.weight > 0.0,
                          slot.entry_transaction,
                          exit_transaction,
                          note.fill,
                          ends && exit_transaction == 0};
    analysis::Status status = analysis::trace_trade(tables_, settings_, trade, snapshots_);
    int64_t size = 0;
    if (status == analysis::Status::Ok) status = analysis::result_size(settings_, size);
    if (status == analysis::Status::Ok && size != stats_size_) status = analysis::Status::SnapshotOutOfBounds;
    const size_t at = stats_.size();
    if (status == analysis::Status::Ok) {
        stats_.resize(at + static_cast<size_t>(size));
        status = analysis::write_snapshots(snapshots_, stats_.data() + at, size);
    }
    if (status != analysis::Status::Ok) {
        stats_.resize(at);
        analysis::raise_status(status, slot.entry_row, tables_.price.rows, settings_);
        return false;
    }
    const Record record{sid,
                        slot.entry_row,
                        ends ? exit_row : -1,
                        static_cast<int8_t>(slot.weight > 0.0 ? 1 : -1),
                        slot.weight,
                        slot.entry_price,
                        ends ? exit_price(sid, slot, exit_row, exit_transaction, note) : kNaN,
                        static_cast<int8_t>(ends ? note.reason : ExitReason::Open),
                        slot.fees,
                        slot.taxes,
                        slot.slippage,
                        slot.borrow,
                        slot.impact,
                        slot.entry_order > 0.0 ? slot.entry_filled / slot.entry_order : 1.0,
                        slot.fill_rows};
#define KORVEL_LEDGER_PUSH(key, type) trades_.key.push_back(record.key);
    KORVEL_LEDGER_TRADE_FIELDS(KORVEL_LEDGER_PUSH)
#undef KORVEL_LEDGER_PUSH
    return true;
}

// The price an exit filled at: its intraday fill or the row's trading
// price, after slippage unless the record only splits the holding.
double TradeLedger::exit_price(int sid, const Slot& slot, int exit_row, int exit_transaction,
                               const ExitNote& note) const {
    const double quoted = note.fill.value_or(price_at(exit_row, sid));
    return exit_transaction != 0 ? settings_.costs.exit_fill(quoted, slot.weight > 0.0) : quoted;
}

bool TradeLedger::finish(const PositionBook& book) {
    for (const int sid : book.held) {
        if (book.value(sid) == 0.0) continue;  // NaN compares unequal: still held
        Slot* slot = nullptr;
        if (!slot_of(sid, slot)) return false;
        if (!append(sid, *slot, -1, row_, 0, ExitNote{ExitReason::Open})) return false;
    }
    return true;
}

PyObject* TradeLedger::to_dict() const {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    const auto n = static_cast<npy_intp>(trades_.sid.size());
    const auto rows = static_cast<npy_intp>(per_row_.row_traded.size());
    PyObject* d = dict.get();
#define KORVEL_LEDGER_TRADE_ITEM(key, type) \
    if (set_item(d, #key, array_of(trades_.key, typenum_of<type>(), n)) < 0) return nullptr;
#define KORVEL_LEDGER_ROW_ITEM(key, type) \
    if (set_item(d, #key, array_of(per_row_.key, typenum_of<type>(), rows)) < 0) return nullptr;
    KORVEL_LEDGER_TRADE_FIELDS(KORVEL_LEDGER_TRADE_ITEM)
    if (set_item(d, "statistics", array_of(stats_, NPY_FLOAT64, n, static_cast<npy_intp>(stats_size_))) < 0) {
        return nullptr;
    }
    KORVEL_LEDGER_ROW_FIELDS(KORVEL_LEDGER_ROW_ITEM)
    if (record_positions_ &&
        set_item(d, "positions", array_of(positions_, NPY_FLOAT64, rows, static_cast<npy_intp>(slots_.size()))) < 0) {
        return nullptr;
    }
    if (record_unfilled_) {
        const auto count = static_cast<npy_intp>(unfilled_row_.size());
        if (set_item(d, "unfilled_row", array_of(unfilled_row_, NPY_INT64, count)) < 0 ||
            set_item(d, "unfilled_sid", array_of(unfilled_sid_, NPY_INT64, count)) < 0 ||
            set_item(d, "unfilled_rest", array_of(unfilled_rest_, NPY_FLOAT64, count)) < 0) {
            return nullptr;
        }
    }
    if (record_fills_) {
        const auto count = static_cast<npy_intp>(fill_row_.size());
        if (set_item(d, "fill_row", array_of(fill_row_, NPY_INT64, count)) < 0 ||
            set_item(d, "fill_sid", array_of(fill_sid_, NPY_INT64, count)) < 0 ||
            set_item(d, "fill_traded", array_of(fill_traded_, NPY_FLOAT64, count)) < 0) {
            return nullptr;
        }
        if (fill_model_ != nullptr && set_item(d, "fill_adv", array_of(fill_adv_, NPY_FLOAT64, count)) < 0) {
            return nullptr;
        }
    }
#undef KORVEL_LEDGER_TRADE_ITEM
#undef KORVEL_LEDGER_ROW_ITEM
    constexpr Py_ssize_t kReasons = sizeof kReasonNames / sizeof kReasonNames[0];
    PyRef names(PyTuple_New(kReasons));
    if (!names) return nullptr;
    for (Py_ssize_t k = 0; k < kReasons; ++k) {
        PyObject* name = PyUnicode_InternFromString(kReasonNames[k]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(names.get(), k, name);
    }
    if (PyDict_SetItemString(d, "reason_names", names.get()) < 0) return nullptr;
    return dict.release();
}

}  // namespace korvel::portsim
