#include "portsim/column_mapping.h"

#include <string>

#include "common/pyref.h"

namespace portsim {

namespace {

// The UTF-8 bytes of a column label, through the label's own `encode`.
int encoded_name(PyObject* label, std::string& out) {
    if (!label) label = Py_None;  // an object array slot never filled in
    PyRef encoded(PyObject_CallMethod(label, "encode", nullptr));
    if (!encoded) return -1;
    char* bytes = nullptr;
    Py_ssize_t length = 0;
    if (!PyBytes_Check(encoded.get())) {
        PyErr_Format(PyExc_TypeError, "column label encode() must return bytes, not %.200s",
                     Py_TYPE(encoded.get())->tp_name);
        return -1;
    }
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &length) < 0) return -1;
    out.assign(bytes, static_cast<size_t>(length));
    return 0;
}

}  // namespace

int map_columns(const korvel::View1D<PyObject*>& price_columns, const korvel::View1D<PyObject*>& pos_columns,
                std::map<int, int>& pos2price) {
    std::map<std::string, int> price_col_of;
    std::string name;
    for (Py_ssize_t i = 0; i < price_columns.size; ++i) {
        if (encoded_name(price_columns.at_unchecked(i), name) < 0) return -1;
        price_col_of[name] = static_cast<int>(i);
    }
    pos2price.clear();
    for (Py_ssize_t j = 0; j < pos_columns.size; ++j) {
        if (encoded_name(pos_columns.at_unchecked(j), name) < 0) return -1;
        auto found = price_col_of.find(name);
        if (found != price_col_of.end()) pos2price.emplace_hint(pos2price.end(), static_cast<int>(j), found->second);
    }
    return 0;
}

}  // namespace portsim
