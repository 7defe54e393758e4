// Definitions of the recorder's globals and their import-time values.
#include "excursion/recorder_state.h"

namespace korvel::recorder {

PyArrayObject* price = nullptr;
PyArrayObject* close = nullptr;
std::map<int, int> pos2price;
std::vector<int> price_col_of_slot;
int window = 0;
int window_step = 0;
double fee_ratio = 0.0;
double tax_ratio = 0.0;
int date = 0;

PyArrayObject* entry = nullptr;
PyArrayObject* position = nullptr;
PyArrayObject* entry_trasnaction = nullptr;

PyObject* trades = nullptr;
PyObject* trade_positions = nullptr;
PyObject* excursion = nullptr;

void replace_array(PyArrayObject*& slot, PyObject* fresh) {
    PyArrayObject* old = slot;
    slot = reinterpret_cast<PyArrayObject*>(fresh);
    Py_XDECREF(old);
}

namespace {

bool init_array(PyArrayObject*& slot, int ndim, int typenum) {
    if (slot) return true;
    npy_intp dims[2] = {0, 0};
    PyObject* fresh = PyArray_ZEROS(ndim, dims, typenum, 0);
    if (!fresh) return false;
    replace_array(slot, fresh);
    return true;
}

bool init_list(PyObject*& slot) {
    if (slot) return true;
    slot = PyList_New(0);
    return slot != nullptr;
}

}  // namespace

bool init_state() {
    return init_array(price, 2, NPY_DOUBLE) && init_array(close, 2, NPY_DOUBLE) && init_array(entry, 1, NPY_INT64) &&
           init_array(position, 1, NPY_DOUBLE) && init_array(entry_trasnaction, 1, NPY_INT64) && init_list(trades) &&
           init_list(trade_positions) && init_list(excursion);
}

}  // namespace korvel::recorder
