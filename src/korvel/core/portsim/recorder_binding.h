// The trade recorder's native entry points, bound from the excursion module's
// exported table when this module is imported.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/recorder_api.h"
#include "portsim/module_state.h"

#include <utility>

namespace korvel::portsim {

extern recorder::Interface g_recorder;

// The recorder's void entry points report a failure by returning with an
// exception set; this is the one place that looks for it. Returns 0, or -1
// with the exception set. A recorder call may free Python objects (records,
// a statistics block), whose deallocation can run caller code (a weakref
// callback, __del__), so no module flag read before it still holds.
template <typename... Params, typename... Args>
int call_recorder(void (*entry_point)(Params...), Args&&... args) {
    entry_point(std::forward<Args>(args)...);
    note_caller_code_may_have_run();
    return PyErr_Occurred() ? -1 : 0;
}

// Imports korvel.core.excursion, checks every exported entry's signature and
// fills g_recorder. Returns the module (new reference) or NULL with
// ImportError/TypeError (or the import's own error) pending.
PyObject* bind_recorder();

}  // namespace korvel::portsim
