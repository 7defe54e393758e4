// The table of native entry points that the engine binds at its import.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvel::recorder {

// A new dict: exported name -> capsule whose name is the C++ signature the
// binder checks byte for byte. Returns null with an exception set.
PyObject* build_capi_table();

}  // namespace korvel::recorder
