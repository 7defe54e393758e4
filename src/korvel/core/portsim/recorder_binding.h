// The trade recorder's native entry points, bound from the excursion module's
// exported table when this module is imported.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/recorder_api.h"

namespace korvel::portsim {

extern recorder::Interface g_recorder;

// Imports korvel.core.excursion, checks every exported entry's signature and
// fills g_recorder. Returns the module (new reference) or NULL with
// ImportError/TypeError (or the import's own error) pending.
PyObject* bind_recorder();

}  // namespace korvel::portsim
