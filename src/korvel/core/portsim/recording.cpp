#include "portsim/recording.h"

#include <map>

#include "common/pyref.h"
#include "portsim/position_book.h"
#include "portsim/recorder_binding.h"
#include "portsim/trade_ledger.h"

namespace korvel::portsim {

namespace {

bool recorder_enter(void*, int sid, double weight, int entry_transaction) {
    return call_recorder(g_recorder.record_entry, sid, weight, entry_transaction) == 0;
}

bool recorder_exit(void*, int sid, int exit_transaction, const ExitNote& note) {
    if (note.fill) return call_recorder(g_recorder.record_exit_at, sid, exit_transaction, *note.fill) == 0;
    return call_recorder(g_recorder.record_exit, sid, exit_transaction) == 0;
}

// The recorder learns the row from record_date, which every run calls.
void recorder_mark_row(void*, int) {}

bool recorder_finish(void*, const PositionBook& book) {
    std::map<int, double> held = book.as_map();
    PyRef ended(g_recorder.end_analysis(held));
    note_caller_code_may_have_run();
    return static_cast<bool>(ended);
}

TradeLedger& as_ledger(void* self) { return *static_cast<TradeLedger*>(self); }

bool ledger_enter(void* self, int sid, double weight, int entry_transaction) {
    return as_ledger(self).enter(sid, weight, entry_transaction);
}

bool ledger_exit(void* self, int sid, int exit_transaction, const ExitNote& note) {
    return as_ledger(self).exit(sid, exit_transaction, note);
}

void ledger_charge(void* self, int sid, const Paid& paid) { as_ledger(self).charge(sid, paid); }

template <bool kSlippage>
void ledger_charge_commission(void* self, int sid, const Paid& paid) {
    as_ledger(self).charge_commission<kSlippage>(sid, paid);
}

void ledger_accrue(void* self, int sid, double borrow, double financing) {
    as_ledger(self).accrue(sid, borrow, financing);
}

void ledger_mark_row(void* self, int row) { as_ledger(self).mark_row(row); }

bool ledger_finish(void* self, const PositionBook& book) { return as_ledger(self).finish(book); }

}  // namespace

Recording recorder_recording() {
    return Recording{recorder_enter, recorder_exit, nullptr, nullptr, recorder_mark_row, recorder_finish, nullptr};
}

Recording ledger_recording(TradeLedger& ledger, LedgerFills fills) {
    void (*charge)(void*, int, const Paid&) = ledger_charge;
    if (fills == LedgerFills::Commission) charge = ledger_charge_commission<false>;
    if (fills == LedgerFills::Slipped) charge = ledger_charge_commission<true>;
    return Recording{ledger_enter, ledger_exit, charge, ledger_accrue, ledger_mark_row, ledger_finish, &ledger};
}

Recording g_recording = recorder_recording();

}  // namespace korvel::portsim
