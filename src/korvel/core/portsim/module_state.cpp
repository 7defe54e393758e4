#include "portsim/module_state.h"

namespace korvel::portsim {

PyObject* g_module_dict = nullptr;
PyObject* g_excursion_module = nullptr;
PyObject* g_stock_operations = nullptr;
InternedNames g_names = {};
unsigned long long g_caller_code_epoch = 0;

PyObject* lookup_module_global(PyObject* interned_name) {
    PyObject* value = PyDict_GetItemWithError(g_module_dict, interned_name);
    if (!value) {
        if (PyErr_Occurred()) return nullptr;
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), interned_name);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", interned_name);
            return nullptr;
        }
    }
    Py_INCREF(value);
    return value;
}

int read_module_flag(PyObject* interned_name) {
    PyObject* value = PyDict_GetItemWithError(g_module_dict, interned_name);
    if (value) {
        // The common case: a bool stored by the last run; no reference needed.
        if (value == Py_True) return 1;
        if (value == Py_False || value == Py_None) return 0;
        Py_INCREF(value);
        const int truth = PyObject_IsTrue(value);
        Py_DECREF(value);
        note_caller_code_may_have_run();
        return truth;
    }
    if (PyErr_Occurred()) return -1;
    PyObject* fallback = lookup_module_global(interned_name);
    if (!fallback) return -1;
    const int truth = PyObject_IsTrue(fallback);
    Py_DECREF(fallback);
    note_caller_code_may_have_run();
    return truth;
}

int fill_module_flag(PyObject* interned_name, FlagCache& cache) {
    PyObject* value = PyDict_GetItemWithError(g_module_dict, interned_name);
    if (value == Py_True || value == Py_False || value == Py_None) {
        cache.epoch = PyGC_IsEnabled() ? ~0ull : g_caller_code_epoch;
        cache.truth = value == Py_True;
        return cache.truth;
    }
    if (!value && PyErr_Occurred()) return -1;
    return read_module_flag(interned_name);
}

}  // namespace korvel::portsim
