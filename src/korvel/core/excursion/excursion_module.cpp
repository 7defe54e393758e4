// Module korvel.core.excursion: the trade recorder.
//
// It has no Python-callable functions. The engine drives it through the
// capsule table in __pyx_capi__; the Python layer reads the finished trade
// records from the lists `trades`, `trade_positions` and `excursion`.
#define KORVEL_IMPORTS_NUMPY
#include "common/numpy_api.h"

#include "common/pyref.h"
#include "excursion/capi_table.h"
#include "excursion/recorder_state.h"

namespace korvel::recorder {
namespace {

PyModuleDef excursion_module = {
    PyModuleDef_HEAD_INIT,
    "korvel.core.excursion",
    "Trade recorder: per-trade entry, exit, position and excursion statistics of the latest backtest run.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add_object(PyObject* module, const char* name, PyObject* value) {
    return PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* create_module() {
    PyRef module(PyModule_Create(&excursion_module));
    if (!module) return nullptr;
    if (!init_state()) return nullptr;
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    PyRef capi(build_capi_table());
    if (!capi) return nullptr;
    if (!add_object(module.get(), "trades", trades) || !add_object(module.get(), "trade_positions", trade_positions) ||
        !add_object(module.get(), "excursion", excursion) || !add_object(module.get(), "org_np", numpy.get()) ||
        !add_object(module.get(), "__pyx_capi__", capi.get())) {
        return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace korvel::recorder

PyMODINIT_FUNC PyInit_excursion(void) {
    import_array();
    return korvel::recorder::create_module();
}
