// The operations record, the trade list with dates and labels, and ioft.
#include "portsim/listing.h"

#include "common/array_checks.h"
#include "common/numpy_api.h"
#include "common/pyref.h"
#include "portsim/module_state.h"

namespace korvel::portsim {

namespace {

// An optional 1-D array argument: None reads as an array without elements.
bool optional_array(PyObject* obj, const char* name, ElementKind kind, PyArrayObject*& out) {
    out = nullptr;
    if (obj == Py_None) return true;
    if (!check_is_ndarray(obj, name)) return false;
    out = reinterpret_cast<PyArrayObject*>(obj);
    return check_array_layout(out, kind, 1);
}

bool element_pointer(PyArrayObject* array, Py_ssize_t index, const char*& where) {
    const Py_ssize_t size = array ? PyArray_DIM(array, 0) : 0;
    if (!resolve_index(index, size, 0)) return false;
    where = static_cast<const char*>(PyArray_DATA(array)) + index * PyArray_STRIDE(array, 0);
    return true;
}

// The date at `row` as NumPy returns it (an int64 scalar).
PyObject* date_at(PyArrayObject* price_index, Py_ssize_t row) {
    const char* where = nullptr;
    if (!element_pointer(price_index, row, where)) return nullptr;
    return PyArray_Scalar(const_cast<char*>(where), PyArray_DESCR(price_index),
                          reinterpret_cast<PyObject*>(price_index));
}

PyObject* label_at(PyArrayObject* pos_columns, Py_ssize_t sid) {
    const char* where = nullptr;
    if (!element_pointer(pos_columns, sid, where)) return nullptr;
    PyObject* label = load_element<PyObject*>(where);
    if (!label) label = Py_None;
    Py_INCREF(label);
    return label;
}

bool as_index(PyObject* value, Py_ssize_t& out) {
    PyRef index(PyNumber_Index(value));
    if (!index) return false;
    out = PyLong_AsSsize_t(index.get());
    return !(out == -1 && PyErr_Occurred());
}

// One 9-element row of the trade list.
PyObject* trade_row(PyObject* trade, PyObject* position, PyArrayObject* pos_columns, PyArrayObject* price_index,
                    bool touched_exit) {
    PyRef sid_obj(PySequence_GetItem(trade, 0));
    PyRef entry_obj(sid_obj ? PySequence_GetItem(trade, 1) : nullptr);
    PyRef exit_obj(entry_obj ? PySequence_GetItem(trade, 2) : nullptr);
    if (!exit_obj) return nullptr;
    Py_ssize_t sid = 0, entry = 0, exit = 0;
    if (!as_index(sid_obj.get(), sid) || !as_index(entry_obj.get(), entry) || !as_index(exit_obj.get(), exit)) {
        return nullptr;
    }
    const bool open = exit == -1;
    PyRef items[9];
    items[0].reset(label_at(pos_columns, sid));
    if (!items[0]) return nullptr;
    items[1].reset(date_at(price_index, entry));
    if (!items[1]) return nullptr;
    items[2].reset(open ? PyLong_FromLong(-1) : date_at(price_index, exit));
    if (!items[2]) return nullptr;
    items[3].reset(date_at(price_index, entry - 1));
    if (!items[3]) return nullptr;
    items[4].reset(open ? PyLong_FromLong(-1) : date_at(price_index, touched_exit ? exit : exit - 1));
    if (!items[4]) return nullptr;
    items[5] = PyRef::borrow(position);
    if (open) {
        const Py_ssize_t rows = price_index ? PyArray_DIM(price_index, 0) : 0;
        PyRef length(PyLong_FromSsize_t(rows));
        if (!length) return nullptr;
        items[6].reset(PyNumber_Subtract(length.get(), entry_obj.get()));
    } else {
        items[6].reset(PyNumber_Subtract(exit_obj.get(), entry_obj.get()));
    }
    if (!items[6]) return nullptr;
    items[7] = std::move(entry_obj);
    items[8] = std::move(exit_obj);
    PyRef row(PyList_New(9));
    if (!row) return nullptr;
    for (Py_ssize_t k = 0; k < 9; ++k) PyList_SET_ITEM(row.get(), k, items[k].release());
    return row.release();
}

}  // namespace

PyObject* py_get_stock_operations(PyObject*, PyObject*) { return PyDict_Copy(g_stock_operations); }

PyObject* py_get_trade_stocks(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"pos_columns", "price_index", "touched_exit", nullptr};
    PyObject *pos_columns_obj = nullptr, *price_index_obj = nullptr, *touched_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:get_trade_stocks", const_cast<char**>(keywords),
                                     &pos_columns_obj, &price_index_obj, &touched_obj)) {
        return nullptr;
    }
    const int touched_exit = PyObject_IsTrue(touched_obj);
    if (touched_exit < 0) return nullptr;
    PyArrayObject *pos_columns = nullptr, *price_index = nullptr;
    if (!optional_array(pos_columns_obj, "pos_columns", ElementKind::Object, pos_columns) ||
        !optional_array(price_index_obj, "price_index", ElementKind::Int64, price_index)) {
        return nullptr;
    }
    PyRef trades(PyObject_GetAttr(g_excursion_module, g_names.trades));
    if (!trades) return nullptr;
    PyRef positions(PyObject_GetAttr(g_excursion_module, g_names.trade_positions));
    if (!positions) return nullptr;
    const Py_ssize_t count = PySequence_Size(trades.get());
    if (count < 0) return nullptr;
    PyRef listing(PyList_New(0));
    if (!listing) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef trade(PySequence_GetItem(trades.get(), i));
        if (!trade) return nullptr;
        PyRef position(PySequence_GetItem(positions.get(), i));
        if (!position) return nullptr;
        PyRef row(trade_row(trade.get(), position.get(), pos_columns, price_index, touched_exit != 0));
        if (!row || PyList_Append(listing.get(), row.get()) < 0) return nullptr;
    }
    return PyTuple_Pack(2, listing.get(), g_stock_operations);
}

PyObject* py_ioft(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"v", nullptr};
    PyObject* v = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:ioft", const_cast<char**>(keywords), &v)) return nullptr;
    PyRef datetime_module(lookup_module_global(g_names.datetime));
    if (!datetime_module) return nullptr;
    PyRef datetime_type(PyObject_GetAttrString(datetime_module.get(), "datetime"));
    if (!datetime_type) return nullptr;
    PyRef scale(PyFloat_FromDouble(1e9));
    if (!scale) return nullptr;
    PyRef seconds(PyNumber_TrueDivide(v, scale.get()));
    if (!seconds) return nullptr;
    return PyObject_CallMethod(datetime_type.get(), "fromtimestamp", "O", seconds.get());
}

}  // namespace korvel::portsim
