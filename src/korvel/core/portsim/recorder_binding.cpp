#include "portsim/recorder_binding.h"

#include <cstring>

#include "common/pyref.h"

namespace korvel::portsim {

recorder::Interface g_recorder = {};

namespace {

using recorder::kModuleName;

// Finds `key` in the exported table and checks the capsule's signature.
// Returns the capsule's pointer, or NULL with the binding error pending.
void* exported_pointer(PyObject* table, const char* key, const char* signature, bool is_function) {
    PyObject* capsule = PyDict_GetItemString(table, key);  // borrowed
    if (!capsule) {
        PyErr_Format(PyExc_ImportError,
                     is_function ? "%.200s does not export expected C function %.200s"
                                 : "%.200s does not export expected C variable %.200s",
                     kModuleName, key);
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
                     kModuleName, key, signature, actual);
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, actual);
}

bool bind_entry(PyObject* table, const char* key, const char* signature, recorder::ArrayVariable& out) {
    void* pointer = exported_pointer(table, key, signature, false);
    if (!pointer) return false;
    out = static_cast<recorder::ArrayVariable>(pointer);
    return true;
}

template <typename Fn>
bool bind_entry(PyObject* table, const char* key, const char* signature, Fn& out) {
    void* pointer = exported_pointer(table, key, signature, true);
    if (!pointer) return false;
    out = reinterpret_cast<Fn>(pointer);
    return true;
}

}  // namespace

PyObject* bind_recorder() {
    PyRef module(PyImport_ImportModule(kModuleName));
    if (!module) return nullptr;
    PyRef table(PyObject_GetAttrString(module.get(), recorder::kTableAttribute));
    if (!table) return nullptr;
    if (!PyDict_Check(table.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s must be a dict, not %.200s", kModuleName,
                     recorder::kTableAttribute, Py_TYPE(table.get())->tp_name);
        return nullptr;
    }
    // Variables, then functions, each in the order of the interface lists;
    // the first failure ends the binding.
    recorder::Interface api;
#define KORVEL_BIND(name, type, signature) \
    if (!bind_entry(table.get(), #name, signature, api.name)) return nullptr;
    KORVEL_RECORDER_VARIABLES(KORVEL_BIND)
    KORVEL_RECORDER_FUNCTIONS(KORVEL_BIND)
#undef KORVEL_BIND
    g_recorder = api;
    return module.release();
}

}  // namespace korvel::portsim
