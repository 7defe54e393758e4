// Placeholder until the engine lands.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
static PyModuleDef portsim_module = {PyModuleDef_HEAD_INIT, "korvel.core.portsim", nullptr, -1, nullptr,
                                     nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_portsim(void) { return PyModule_Create(&portsim_module); }
