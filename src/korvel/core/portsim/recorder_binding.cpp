#include "portsim/recorder_binding.h"

#include <cstring>

#include "common/pyref.h"

namespace portsim {

RecorderApi g_recorder = {};

namespace {

constexpr const char* kRecorderModule = "korvel.core.excursion";

// Finds `key` in the exported table and checks the capsule's signature.
// Returns the capsule's pointer, or NULL with the binding error pending.
void* exported_pointer(PyObject* table, const char* key, const char* signature, bool is_function) {
    PyObject* capsule = PyDict_GetItemString(table, key);  // borrowed
    if (!capsule) {
        PyErr_Format(PyExc_ImportError,
                     is_function ? "%.200s does not export expected C function %.200s"
                                 : "%.200s does not export expected C variable %.200s",
                     kRecorderModule, key);
        return nullptr;
    }
    const char* actual = PyCapsule_GetName(capsule);
    if (!actual) {
        if (PyErr_Occurred()) return nullptr;
        actual = "";
    }
    if (std::strcmp(actual, signature) != 0) {
        PyErr_Format(PyExc_TypeError,
                     is_function ? "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)"
                                 : "C variable %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     kRecorderModule, key, signature, actual);
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, actual);
}

template <typename Fn>
bool bind_function(PyObject* table, const char* key, const char* signature, Fn& out) {
    void* pointer = exported_pointer(table, key, signature, true);
    if (!pointer) return false;
    out = reinterpret_cast<Fn>(pointer);
    return true;
}

}  // namespace

PyObject* bind_recorder() {
    PyRef module(PyImport_ImportModule(kRecorderModule));
    if (!module) return nullptr;
    PyRef table(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    if (!table) return nullptr;
    if (!PyDict_Check(table.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.__pyx_capi__ must be a dict, not %.200s", kRecorderModule,
                     Py_TYPE(table.get())->tp_name);
        return nullptr;
    }
    RecorderApi api = {};
    void* entry = exported_pointer(table.get(), "entry", "PyArrayObject *", false);
    if (!entry) return nullptr;
    void* position = exported_pointer(table.get(), "position", "PyArrayObject *", false);
    if (!position) return nullptr;
    api.entry = static_cast<PyArrayObject**>(entry);
    api.position = static_cast<PyArrayObject**>(position);
    if (!bind_function(table.get(), "start_analysis",
                       "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)",
                       api.start_analysis) ||
        !bind_function(table.get(), "record_date", "void (int)", api.record_date) ||
        !bind_function(table.get(), "record_entry", "void (int, double, int)", api.record_entry) ||
        !bind_function(table.get(), "record_exit", "void (int, int)", api.record_exit) ||
        !bind_function(table.get(), "end_analysis", "PyObject *(std::map<int,double>  &)", api.end_analysis) ||
        !bind_function(table.get(), "record_exit_at", "void (int, int, double)", api.record_exit_at)) {
        return nullptr;
    }
    g_recorder = api;
    return module.release();
}

}  // namespace portsim
