// Checked element access to the recorder's per-slot arrays.
//
// The slot arrays are reachable from other modules through the capsule table
// (by address), so nothing here trusts their layout: every access checks the
// rank, element type and index before touching memory.
#pragma once

#include "common/numpy_api.h"

namespace korvel::recorder {

enum class SlotKind { Int64, Float64 };

// A new 1-D zero-filled slot array of n elements. A negative n raises
// ValueError. Returns null with an exception set.
PyObject* new_slot_array(int n, SlotKind kind);

// Address of element `sid` of a slot array; a negative sid counts from the
// end. Raises IndexError for a sid outside the array and TypeError/ValueError
// for an array that is not a 1-D array of the expected kind (or not writeable,
// when for_writing). Returns null with an exception set.
char* slot_element(PyArrayObject* array, SlotKind kind, int sid, bool for_writing);

}  // namespace korvel::recorder
