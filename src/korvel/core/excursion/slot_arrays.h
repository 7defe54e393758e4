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
// Checked on every access, inline: the arrays of the engine's own run pass
// every test, and a record makes several such accesses.
inline char* slot_element(PyArrayObject* array, SlotKind kind, int sid, bool for_writing);

// Raises the error slot_element reports for `array`; returns null.
char* slot_access_error(PyArrayObject* array, SlotKind kind, int sid, bool for_writing);

inline char* slot_element(PyArrayObject* array, SlotKind kind, int sid, bool for_writing) {
    if (array && PyArray_Check(reinterpret_cast<PyObject*>(array)) && PyArray_NDIM(array) == 1) {
        const PyArray_Descr* descr = PyArray_DESCR(array);
        const char wanted_kind = kind == SlotKind::Int64 ? 'i' : 'f';
        const Py_ssize_t n = PyArray_DIM(array, 0);
        const Py_ssize_t index = sid < 0 ? sid + n : sid;
        if (descr->kind == wanted_kind && PyArray_ITEMSIZE(array) == 8 && !PyArray_ISBYTESWAPPED(array) &&
            (!for_writing || PyArray_ISWRITEABLE(array)) && index >= 0 && index < n) {
            return static_cast<char*>(PyArray_DATA(array)) + index * PyArray_STRIDE(array, 0);
        }
    }
    return slot_access_error(array, kind, sid, for_writing);
}

}  // namespace korvel::recorder
