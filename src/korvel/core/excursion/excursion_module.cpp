// Placeholder until the recorder lands.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
static PyModuleDef excursion_module = {PyModuleDef_HEAD_INIT, "korvel.core.excursion", nullptr, -1, nullptr,
                                       nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_excursion(void) { return PyModule_Create(&excursion_module); }
