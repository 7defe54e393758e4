// Process-wide state of the engine module: its namespace (where the rule flags
// live), the operations record of the latest run, and the recorder module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvel::portsim {

// Borrowed: the module's namespace dict (the module is never unloaded).
extern PyObject* g_module_dict;
// Owned: the module object of korvel.core.excursion, bound at import.
extern PyObject* g_excursion_module;
// Owned: the operations record of the latest run (a dict, never null after import).
extern PyObject* g_stock_operations;

// Truth value of a module global looked up by name now (module namespace,
// then builtins), so a flag changed between runs is seen. -1 with NameError
// (or the truth test's error) pending on failure.
int read_module_flag(PyObject* interned_name);

// Counts the points of a run at which code of the caller's may have run (and
// so changed a module global): the truth tests of caller objects. A flag read
// twice with no such point between gives the same answer both times.
extern unsigned long long g_caller_code_epoch;
inline void note_caller_code_may_have_run() { ++g_caller_code_epoch; }

// A module flag's truth value as last read, valid for one epoch.
struct FlagCache {
    unsigned long long epoch = ~0ull;
    int truth = 0;
};

// read_module_flag, answered from `cache` while no caller code can have run
// since it was filled. Only flags that are plain True, False or None are
// cached (reading them runs no code), and only while the cyclic collector is
// off: when on, it may run callbacks at any allocation. It is off during a
// run unless caller code switched it on, which a new epoch then reflects.
int fill_module_flag(PyObject* interned_name, FlagCache& cache);

inline int read_module_flag(PyObject* interned_name, FlagCache& cache) {
    if (cache.epoch == g_caller_code_epoch) return cache.truth;
    return fill_module_flag(interned_name, cache);
}

// Looks up a module global by name (module namespace, then builtins).
// New reference, or NULL with NameError pending.
PyObject* lookup_module_global(PyObject* interned_name);

// Interned names used on hot paths, created at import.
struct InternedNames {
    PyObject* retain_cost_when_rebalance;
    PyObject* resample;
    PyObject* normalize_weight;
    PyObject* datetime;
    PyObject* trades;
    PyObject* trade_positions;
};
extern InternedNames g_names;

}  // namespace korvel::portsim
