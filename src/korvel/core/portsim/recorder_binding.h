// The trade recorder's native entry points, bound from the excursion module's
// exported table when this module is imported.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/ndarraytypes.h>

#include <map>

namespace portsim {

struct RecorderApi {
    PyArrayObject** entry;
    PyArrayObject** position;
    void (*start_analysis)(PyArrayObject*, PyArrayObject*, std::map<int, int>, int, double, double, int, int);
    void (*record_date)(int);
    void (*record_entry)(int, double, int);
    void (*record_exit)(int, int);
    PyObject* (*end_analysis)(std::map<int, double>&);
    void (*record_exit_at)(int, int, double);
};

extern RecorderApi g_recorder;

// Imports korvel.core.excursion, checks every exported entry's signature and
// fills g_recorder. Returns the module (new reference) or NULL with
// ImportError/TypeError (or the import's own error) pending.
PyObject* bind_recorder();

}  // namespace portsim
