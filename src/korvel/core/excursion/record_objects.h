// The objects a trade record is made of, made cheaply.
//
// A run can leave hundreds of thousands of records, and creating their small
// objects one by one is most of a record's cost. These helpers make objects
// of exactly the types and values the records hold, more cheaply: ints and
// numpy.int64 scalars are immutable, so one object per small value is shared
// by all records; float64 scalars are made directly; the statistics arrays
// are views into blocks of a few thousand values each.
#pragma once

#include "common/numpy_api.h"

#include <cstdint>

namespace korvel::recorder {

// A Python int of `value` (new reference), or null with MemoryError.
PyObject* record_int(int64_t value);

// The scalar NumPy gives for `value` read from a slot array with descriptor
// `descr` (new reference), or null with an exception. Descriptors other than
// the plain int64 / float64 ones get NumPy's own scalar.
PyObject* record_int64_scalar(const int64_t& value, PyArray_Descr* descr, PyObject* base);
PyObject* record_float64_scalar(const double& value, PyArray_Descr* descr, PyObject* base);

// A new writeable, C-contiguous 1-D float64 array of n elements that shares
// no element with any other (new reference), or null with an exception. Small
// arrays are views into a shared block (their `base` is that block).
PyObject* new_statistics_array(int64_t n);

}  // namespace korvel::recorder
