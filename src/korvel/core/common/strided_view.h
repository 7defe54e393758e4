// Read-only typed views over NumPy arrays of any layout.
//
// The engine never assumes contiguity or alignment: elements are read through
// the array's strides with memcpy (a plain load once compiled). Every index
// that comes from the caller's shapes goes through a checked accessor that
// raises IndexError instead of reading out of bounds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace korvel {

// Raises IndexError("Out of bounds on buffer access (axis N)") and returns false.
inline bool raise_buffer_index_error(int axis) {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
    return false;
}

// Resolves a possibly negative index against an axis of length n (negative
// indices count from the end). Returns false with IndexError set when outside.
inline bool resolve_index(Py_ssize_t& index, Py_ssize_t n, int axis) {
    if (index < 0) index += n;
    if (index < 0 || index >= n) return raise_buffer_index_error(axis);
    return true;
}

template <typename T>
inline T load_element(const char* where) noexcept {
    T value;
    std::memcpy(&value, where, sizeof(T));
    return value;
}

// A cache hint that the optimiser cannot drop (GCC discards a conditional
// __builtin_prefetch as dead code).
inline void prefetch_line(const char* where) noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("prefetcht0 %0" : : "m"(*where));
#else
    __builtin_prefetch(where);
#endif
}

template <typename T>
struct View1D {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    Py_ssize_t stride = static_cast<Py_ssize_t>(sizeof(T));

    T at_unchecked(Py_ssize_t i) const noexcept { return load_element<T>(data + i * stride); }

    // Reads element i (negative counts from the end). Returns false with
    // IndexError set when i is outside the view.
    bool get(Py_ssize_t i, T& out) const {
        if (!resolve_index(i, size, 0)) return false;
        out = at_unchecked(i);
        return true;
    }
};

template <typename T>
struct View2D {
    const char* data = nullptr;
    Py_ssize_t rows = 0;
    Py_ssize_t cols = 0;
    Py_ssize_t row_stride = 0;
    Py_ssize_t col_stride = 0;

    T at_unchecked(Py_ssize_t i, Py_ssize_t j) const noexcept {
        return load_element<T>(data + i * row_stride + j * col_stride);
    }
    // Asks the cache for element (i, j) ahead of its use; a no-op outside the view.
    void prefetch(Py_ssize_t i, Py_ssize_t j) const noexcept {
        if (contains(i, j)) prefetch_line(data + i * row_stride + j * col_stride);
    }
    // The same for a cell the caller knows to lie inside the view.
    void prefetch_unchecked(Py_ssize_t i, Py_ssize_t j) const noexcept {
        prefetch_line(data + i * row_stride + j * col_stride);
    }
    bool contains(Py_ssize_t i, Py_ssize_t j) const noexcept { return i >= 0 && i < rows && j >= 0 && j < cols; }
    bool get(Py_ssize_t i, Py_ssize_t j, T& out) const {
        if (!resolve_index(i, rows, 0) || !resolve_index(j, cols, 1)) return false;
        out = at_unchecked(i, j);
        return true;
    }
    // Row i as a 1-D view. Returns false with IndexError set when outside.
    bool row(Py_ssize_t i, View1D<T>& out) const {
        if (!resolve_index(i, rows, 0)) return false;
        out.data = data + i * row_stride;
        out.size = cols;
        out.stride = col_stride;
        return true;
    }
};

}  // namespace korvel
