// The fields of the trade ledger, declared once: the ledger's buffers, the
// record it appends, the arrays of its dict and the entry point's docstring
// all derive from these lists.
#pragma once

#include <cstdint>

// One element per trade, in the order the recorder lists its records:
// X(key in the ledger's dict, element type).
#define KORVEL_LEDGER_TRADE_FIELDS(X) \
    X(sid, int64_t)                   \
    X(entry_row, int64_t)             \
    X(exit_row, int64_t)              \
    X(side, int8_t)                   \
    X(weight, double)                 \
    X(entry_price, double)            \
    X(exit_price, double)             \
    X(exit_reason, int8_t)            \
    X(fees, double)                   \
    X(taxes, double)                  \
    X(slippage, double)               \
    X(borrow, double)                 \
    X(impact, double)                 \
    X(filled_fraction, double)        \
    X(fill_rows, int64_t)

// One element per price row: X(key, element type).
#define KORVEL_LEDGER_ROW_FIELDS(X) \
    X(row_traded, double)           \
    X(row_costs, double)            \
    X(row_financing, double)        \
    X(row_long, double)             \
    X(row_short, double)            \
    X(row_impact, double)           \
    X(row_unestimated, int64_t)     \
    X(row_below_lot, int64_t)       \
    X(row_uncapped, int64_t)

// The keys as one comma-separated text, for the docstring.
#define KORVEL_LEDGER_KEY_TEXT(key, type) #key ", "
