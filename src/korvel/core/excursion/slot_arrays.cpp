// Checked element access to the recorder's per-slot arrays.
#include "excursion/slot_arrays.h"

#include "common/strided_view.h"

namespace korvel::recorder {

namespace {

int typenum_of(SlotKind kind) { return kind == SlotKind::Int64 ? NPY_INT64 : NPY_DOUBLE; }

bool has_slot_layout(PyArrayObject* array, SlotKind kind) {
    if (PyArray_NDIM(array) != 1) return false;
    PyArray_Descr* descr = PyArray_DESCR(array);
    const char wanted_kind = kind == SlotKind::Int64 ? 'i' : 'f';
    return descr->kind == wanted_kind && PyArray_ITEMSIZE(array) == 8 && !PyArray_ISBYTESWAPPED(array);
}

}  // namespace

PyObject* new_slot_array(int n, SlotKind kind) {
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
        return nullptr;
    }
    npy_intp dims[1] = {n};
    return PyArray_ZEROS(1, dims, typenum_of(kind), 0);
}

char* slot_access_error(PyArrayObject* array, SlotKind kind, int sid, bool for_writing) {
    if (!array || !PyArray_Check(reinterpret_cast<PyObject*>(array))) {
        PyErr_SetString(PyExc_TypeError, "recorder slot array is not a NumPy array");
        return nullptr;
    }
    if (!has_slot_layout(array, kind)) {
        PyErr_Format(PyExc_ValueError, "recorder slot array must be a 1-D array of %s",
                     kind == SlotKind::Int64 ? "int64" : "float64");
        return nullptr;
    }
    if (for_writing && !PyArray_ISWRITEABLE(array)) {
        PyErr_SetString(PyExc_ValueError, "recorder slot array is read-only");
        return nullptr;
    }
    Py_ssize_t index = sid;
    if (resolve_index(index, PyArray_DIM(array, 0), 0)) {
        PyErr_SetString(PyExc_SystemError, "recorder slot access refused a valid slot");
    }
    return nullptr;
}

}  // namespace korvel::recorder
