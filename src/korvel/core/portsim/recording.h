// Where a run records its trades. backtest_ records into the trade recorder
// (the excursion module's Python records), backtest_ledger into the trade
// ledger (columnar buffers); the engine calls the same entry points at
// the same points of the run whichever is in place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/costs.h"
#include "portsim/exit_reason.h"

namespace korvel::portsim {

struct PositionBook;
class TradeLedger;

struct Recording {
    // A trade opens on slot sid at the current row (false with an exception pending).
    bool (*enter)(void* self, int sid, double weight, int entry_transaction);
    // The slot's trade ends: a split at a rebalance when exit_transaction is 0.
    bool (*exit)(void* self, int sid, int exit_transaction, const ExitNote& note);
    // What a fill on slot sid paid; null where costs are not kept per trade.
    void (*charge)(void* self, int sid, const Paid& paid);
    // What accrued between fills: a short's borrow fee on slot sid, or the
    // cash's interest (sid -1, negative when earned); null where not kept.
    void (*accrue)(void* self, int sid, double borrow, double financing);
    // The row being simulated, before any trade of the row.
    void (*mark_row)(void* self, int row);
    // The trades still held at the end of the run (false with an exception pending).
    bool (*finish)(void* self, const PositionBook& book);
    void* self;
};

// What the fills of a ledger's run can pay, decided once for the run: commission
// and tax alone, those and slippage, or anything (impact too, or fills kept).
// The first two are charged the short way.
enum class LedgerFills : int8_t { Commission, Slipped, Any };

// The trade recorder, and a ledger, as recordings.
Recording recorder_recording();
Recording ledger_recording(TradeLedger& ledger, LedgerFills fills = LedgerFills::Any);

// The recording of the run in progress (the recorder outside backtest_ledger).
extern Recording g_recording;

}  // namespace korvel::portsim
