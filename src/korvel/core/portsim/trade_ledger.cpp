#include "portsim/trade_ledger.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "common/numpy_api.h"
#include "common/pyref.h"
#include "excursion/analysis_errors.h"

namespace korvel::portsim {

TradeLedger* g_ledger = nullptr;

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

int set_item(PyObject* dict, const char* key, PyObject* owned) {
    PyRef value(owned);
    if (!value) return -1;
    return PyDict_SetItemString(dict, key, value.get());
}

}  // namespace

void TradeLedger::start(int n_slots, Py_ssize_t rows, const analysis::Tables& tables,
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
    row_traded_.assign(static_cast<size_t>(rows), 0.0);
    row_costs_.assign(static_cast<size_t>(rows), 0.0);
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
    slot->entry_price = price_at(row_, sid);
    slot->fees = 0.0;
    slot->taxes = 0.0;
    slot->open = true;
    slot->serial = opened_++;
    return true;
}

bool TradeLedger::exit(int sid, int exit_transaction, const ExitNote& note) {
    Slot* slot = nullptr;
    if (!slot_of(sid, slot)) return false;
    if (!append(sid, *slot, row_, row_, exit_transaction, note)) return false;
    slot->open = false;
    slot->ended = static_cast<int64_t>(sid_.size()) - 1;
    return true;
}

void TradeLedger::charge(int sid, double traded, double cost, double fees) {
    const double taxes = cost - fees;
    if (row_ >= 0 && static_cast<size_t>(row_) < row_traded_.size()) {
        row_traded_[static_cast<size_t>(row_)] += traded;
        row_costs_[static_cast<size_t>(row_)] += cost;
    }
    if (sid < 0 || static_cast<size_t>(sid) >= slots_.size()) return;
    Slot& slot = slots_[static_cast<size_t>(sid)];
    if (slot.open) {
        slot.fees += fees;
        slot.taxes += taxes;
    } else if (slot.ended >= 0) {
        fees_[static_cast<size_t>(slot.ended)] += fees;
        taxes_[static_cast<size_t>(slot.ended)] += taxes;
    }
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
    sid_.push_back(sid);
    entry_row_.push_back(slot.entry_row);
    exit_row_.push_back(ends ? exit_row : -1);
    side_.push_back(slot.weight > 0.0 ? 1 : -1);
    weight_.push_back(slot.weight);
    entry_price_.push_back(slot.entry_price);
    exit_price_.push_back(ends ? note.fill.value_or(price_at(exit_row, sid)) : kNaN);
    reason_.push_back(static_cast<int8_t>(ends ? note.reason : ExitReason::Open));
    fees_.push_back(slot.fees);
    taxes_.push_back(slot.taxes);
    return true;
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
    const auto n = static_cast<npy_intp>(sid_.size());
    const auto rows = static_cast<npy_intp>(row_traded_.size());
    PyObject* d = dict.get();
    if (set_item(d, "sid", array_of(sid_, NPY_INT64, n)) < 0 ||
        set_item(d, "entry_row", array_of(entry_row_, NPY_INT64, n)) < 0 ||
        set_item(d, "exit_row", array_of(exit_row_, NPY_INT64, n)) < 0 ||
        set_item(d, "side", array_of(side_, NPY_INT8, n)) < 0 ||
        set_item(d, "weight", array_of(weight_, NPY_FLOAT64, n)) < 0 ||
        set_item(d, "entry_price", array_of(entry_price_, NPY_FLOAT64, n)) < 0 ||
        set_item(d, "exit_price", array_of(exit_price_, NPY_FLOAT64, n)) < 0 ||
        set_item(d, "exit_reason", array_of(reason_, NPY_INT8, n)) < 0 ||
        set_item(d, "fees", array_of(fees_, NPY_FLOAT64, n)) < 0 ||
        set_item(d, "taxes", array_of(taxes_, NPY_FLOAT64, n)) < 0 ||
        set_item(d, "statistics", array_of(stats_, NPY_FLOAT64, n, static_cast<npy_intp>(stats_size_))) < 0 ||
        set_item(d, "row_traded", array_of(row_traded_, NPY_FLOAT64, rows)) < 0 ||
        set_item(d, "row_costs", array_of(row_costs_, NPY_FLOAT64, rows)) < 0) {
        return nullptr;
    }
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
