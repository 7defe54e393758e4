#include "portsim/column_mapping.h"

#include <string>
#include <string_view>
#include <unordered_map>

#include "common/pyref.h"

namespace korvel::portsim {

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

// Labels that are all exact str objects: their UTF-8 bytes are what
// `encode()` returns, read without a method call (and without running any
// code of the caller's, so the labels cannot change meanwhile). Returns 1 when
// it built the map, 0 to leave it to the general path (another label type, or
// a string UTF-8 cannot encode, whose error the general path raises).
int map_str_columns(const View1D<PyObject*>& price_columns, const View1D<PyObject*>& pos_columns,
                    std::map<int, int>& pos2price) {
    for (const auto* labels : {&price_columns, &pos_columns}) {
        for (Py_ssize_t i = 0; i < labels->size; ++i) {
            PyObject* label = labels->at_unchecked(i);
            if (!label || !PyUnicode_CheckExact(label)) return 0;
        }
    }
    auto utf8 = [](PyObject* label, std::string_view& out) {
        Py_ssize_t length = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(label, &length);
        if (!bytes) {
            PyErr_Clear();
            return false;
        }
        out = std::string_view(bytes, static_cast<size_t>(length));
        return true;
    };
    std::unordered_map<std::string_view, int> price_col_of;
    price_col_of.reserve(static_cast<size_t>(price_columns.size));
    std::string_view name;
    for (Py_ssize_t i = 0; i < price_columns.size; ++i) {
        if (!utf8(price_columns.at_unchecked(i), name)) return 0;
        price_col_of[name] = static_cast<int>(i);  // the last occurrence wins
    }
    pos2price.clear();
    for (Py_ssize_t j = 0; j < pos_columns.size; ++j) {
        if (!utf8(pos_columns.at_unchecked(j), name)) {
            pos2price.clear();
            return 0;
        }
        auto found = price_col_of.find(name);
        if (found != price_col_of.end()) pos2price.emplace_hint(pos2price.end(), static_cast<int>(j), found->second);
    }
    return 1;
}

}  // namespace

int map_columns(const View1D<PyObject*>& price_columns, const View1D<PyObject*>& pos_columns,
                std::map<int, int>& pos2price) {
    if (map_str_columns(price_columns, pos_columns, pos2price)) return 0;
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

}  // namespace korvel::portsim
