// Argument checks for NumPy array parameters, with the engine's messages.
//
// Include after numpy_api.h. Checks run in a fixed order that callers rely on:
// first "is it an ndarray", later "number of dimensions", then "element type".
#pragma once

#include "common/numpy_api.h"
#include "common/strided_view.h"

#include <string>

namespace korvel {

enum class ElementKind { Float64, Int64, Object };

inline const char* expected_element_name(ElementKind kind) {
    switch (kind) {
        case ElementKind::Float64: return "float64_t";
        case ElementKind::Int64: return "int64_t";
        case ElementKind::Object: return "Python object";
    }
    return "?";
}

// The C-level name of a type character (NumPy's or the buffer protocol's),
// quoted as in the messages; null for a character without one.
inline const char* describe_type_char(char c) {
    switch (c) {
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'c': return "'char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'e': return "'half'";
        case 'f': return "'float'";
        case 'd': return "'double'";
        case 'g': return "'long double'";
        case 'F': return "'complex float'";
        case 'D': return "'complex double'";
        case 'G': return "'complex long double'";
        case '?': return "'bool'";
        case 'O': return "Python object";
        default: return nullptr;
    }
}

// The name of an array's element type: its C-level name, or the dtype's own.
inline std::string describe_element_type(PyArray_Descr* descr) {
    if (const char* name = describe_type_char(descr->type)) return name;
    PyObject* text = PyObject_Str(reinterpret_cast<PyObject*>(descr));
    std::string name = "'?'";
    if (text) {
        const char* utf8 = PyUnicode_AsUTF8(text);
        if (utf8) name = std::string("'") + utf8 + "'";
        Py_DECREF(text);
    }
    PyErr_Clear();
    return name;
}

inline bool element_kind_matches(PyArray_Descr* descr, ElementKind kind) {
    const int type = descr->type_num;
    switch (kind) {
        case ElementKind::Float64: return type == NPY_DOUBLE;
        case ElementKind::Int64:
            return (type == NPY_LONG && sizeof(long) == 8) || (type == NPY_LONGLONG && sizeof(long long) == 8);
        case ElementKind::Object: return type == NPY_OBJECT;
    }
    return false;
}

// The buffer errors, one wording for every array or buffer argument. Each
// returns false with ValueError set.
inline bool raise_buffer_ndim_error(int expected, int got) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", expected, got);
    return false;
}

inline bool raise_buffer_dtype_error(const char* expected, const std::string& got) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", expected, "'",
                 got.c_str());
    return false;
}

inline bool raise_buffer_byte_order_error() {
    PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
    return false;
}

// TypeError unless obj is an ndarray (or a subclass). None is rejected too:
// the engine has no meaning for a missing array.
inline bool check_is_ndarray(PyObject* obj, const char* param) {
    if (PyArray_Check(obj)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 "numpy.ndarray", Py_TYPE(obj)->tp_name);
    return false;
}

// ValueError unless the array has ndim dimensions and the element kind.
inline bool check_array_layout(PyArrayObject* array, ElementKind kind, int ndim) {
    if (PyArray_NDIM(array) != ndim) return raise_buffer_ndim_error(ndim, PyArray_NDIM(array));
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (!element_kind_matches(descr, kind)) {
        return raise_buffer_dtype_error(expected_element_name(kind), describe_element_type(descr));
    }
    if (PyArray_ISBYTESWAPPED(array)) return raise_buffer_byte_order_error();
    return true;
}

template <typename T>
inline View1D<T> view_1d(PyArrayObject* array) {
    View1D<T> v;
    v.data = static_cast<const char*>(PyArray_DATA(array));
    v.size = PyArray_DIM(array, 0);
    v.stride = PyArray_STRIDE(array, 0);
    return v;
}

template <typename T>
inline View2D<T> view_2d(PyArrayObject* array) {
    View2D<T> v;
    v.data = static_cast<const char*>(PyArray_DATA(array));
    v.rows = PyArray_DIM(array, 0);
    v.cols = PyArray_DIM(array, 1);
    v.row_stride = PyArray_STRIDE(array, 0);
    v.col_stride = PyArray_STRIDE(array, 1);
    return v;
}

}  // namespace korvel
