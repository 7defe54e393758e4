// A move-only owner of one strong reference to a Python object.
//
// Every PyObject* that a C++ scope creates goes into a PyRef at once, so an
// early return on error releases it and no path can leak or double-free.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvel {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (may be null, e.g. a failed API call).
    explicit PyRef(PyObject* owned) noexcept : ptr_(owned) {}
    // Adds a reference to a borrowed pointer.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller (e.g. as a function's result).
    PyObject* release() noexcept {
        PyObject* out = ptr_;
        ptr_ = nullptr;
        return out;
    }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = ptr_;
        ptr_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace korvel
