// The trade recorder's native interface, declared once for both sides.
//
// The excursion module publishes each entry below in its "__pyx_capi__" table
// as a capsule whose name spells the entry's C++ type; the engine binds the
// table at its import and compares every capsule name byte for byte (blanks
// included) before it casts the pointer back to that type. Both sides expand
// the same lists, so a name, a type and its spelling cannot drift apart.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/ndarraytypes.h>

#include <map>

namespace korvel::recorder {

inline constexpr char kModuleName[] = "korvel.core.excursion";
inline constexpr char kTableAttribute[] = "__pyx_capi__";

// Variables are published by address, so a binder always reads the array of
// the current run.
using ArrayVariable = PyArrayObject**;
using StartAnalysisFn = void (*)(PyArrayObject*, PyArrayObject*, std::map<int, int>, int, double, double, int, int);
using RecordDateFn = void (*)(int);
using RecordEntryFn = void (*)(int, double, int);
using RecordExitFn = void (*)(int, int);
using EndAnalysisFn = PyObject* (*)(std::map<int, double>&);
using RecordExitAtFn = void (*)(int, int, double);

// X(name, type, capsule name), in the order of publication and binding.
// clang-format off
#define KORVEL_RECORDER_VARIABLES(X)                                                                    \
    X(entry, ArrayVariable, "PyArrayObject *")                                                          \
    X(position, ArrayVariable, "PyArrayObject *")

#define KORVEL_RECORDER_FUNCTIONS(X)                                                                    \
    X(start_analysis, StartAnalysisFn,                                                                  \
      "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)")     \
    X(record_date, RecordDateFn, "void (int)")                                                          \
    X(record_entry, RecordEntryFn, "void (int, double, int)")                                           \
    X(record_exit, RecordExitFn, "void (int, int)")                                                     \
    X(end_analysis, EndAnalysisFn, "PyObject *(std::map<int,double>  &)")                               \
    X(record_exit_at, RecordExitAtFn, "void (int, int, double)")
// clang-format on

// The bound interface: one member per entry, named as exported.
struct Interface {
#define KORVEL_RECORDER_MEMBER(name, type, signature) type name = nullptr;
    KORVEL_RECORDER_VARIABLES(KORVEL_RECORDER_MEMBER)
    KORVEL_RECORDER_FUNCTIONS(KORVEL_RECORDER_MEMBER)
#undef KORVEL_RECORDER_MEMBER
};

}  // namespace korvel::recorder
