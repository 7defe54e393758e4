// Process-wide state of the trade recorder.
//
// The engine drives one backtest run at a time; everything the recorder needs
// between its entry points lives here. The array globals own one reference
// each. `entry` and `position` are published by address in the capsule table,
// so they stay plain `PyArrayObject*` variables: a binder dereferences the
// address and always sees the array of the current run.
#pragma once

#include "common/numpy_api.h"

#include <map>
#include <vector>

namespace korvel::recorder {

// Tables and settings of the run in progress.
extern PyArrayObject* price;  // trade prices, rows x price columns
extern PyArrayObject* close;  // closes, same layout
extern std::map<int, int> pos2price;
// pos2price flattened for the slots 0 .. n_slots - 1 (0 where unmapped, as a
// lookup of a missing slot gives); other slots go through the map.
extern std::vector<int> price_col_of_slot;
extern int window;
extern int window_step;
extern double fee_ratio;
extern double tax_ratio;
// Row the engine is simulating; kept across runs on purpose.
extern int date;

// One slot per position column, replaced at every start.
extern PyArrayObject* entry;              // int64: row the slot's trade began on
extern PyArrayObject* position;           // float64: position given at entry
extern PyArrayObject* entry_trasnaction;  // int64: 1 when the entry was a real trade

// Trade records. Created once and only ever emptied in place, because the
// engine and the Python layer hold on to these very objects.
extern PyObject* trades;
extern PyObject* trade_positions;
extern PyObject* excursion;

// Creates the import-time state: empty tables and slot arrays, empty lists.
// Keeps whatever already exists, so a second call cannot orphan the lists.
// Returns false with an exception set.
bool init_state();

// Stores `fresh` (a new reference, not null) in `slot` and releases the old one.
void replace_array(PyArrayObject*& slot, PyObject* fresh);

}  // namespace korvel::recorder
