// Includes the NumPy C API for one translation unit of a module.
//
// Each module has its own API table (PY_ARRAY_UNIQUE_SYMBOL is set per module
// by the build). Only the file with the module's init function defines
// KORVEL_IMPORTS_NUMPY before including this header and calls import_array().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef KORVEL_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
