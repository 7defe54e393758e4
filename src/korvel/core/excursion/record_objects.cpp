#include "excursion/record_objects.h"

#include <numpy/arrayscalars.h>

#include <new>
#include <vector>

namespace korvel::recorder {

namespace {

// Shared objects by value, created on first use and kept for the life of the
// process. Values at or above the limit get objects of their own.
constexpr int64_t kSharedLimit = int64_t{1} << 20;

template <typename Make>
PyObject* shared(std::vector<PyObject*>& cache, int64_t value, Make make) {
    if (value < 0 || value >= kSharedLimit) return make(value);
    const auto index = static_cast<size_t>(value);
    if (index >= cache.size()) {
        try {
            cache.resize(index + 1, nullptr);
        } catch (const std::bad_alloc&) {
            return make(value);  // no room to share it: an object of its own
        }
    }
    PyObject*& slot = cache[index];
    if (!slot) {
        slot = make(value);
        if (!slot) return nullptr;
    }
    Py_INCREF(slot);
    return slot;
}

std::vector<PyObject*> int_cache;
std::vector<PyObject*> int64_scalar_cache;

PyObject* make_int(int64_t value) { return PyLong_FromLongLong(value); }

PyObject* make_int64_scalar(int64_t value) {
    PyObject* scalar = PyArrayScalar_New(Long);
    if (!scalar) return nullptr;
    PyArrayScalar_ASSIGN(scalar, Long, static_cast<npy_long>(value));
    return scalar;
}

// Statistics arrays of up to this many values share blocks of kBlockValues.
constexpr int64_t kBlockValues = 8192;
constexpr int64_t kLargestShared = kBlockValues / 4;

PyObject* current_block = nullptr;  // owned; the block being filled
int64_t block_used = kBlockValues;

bool start_block() {
    npy_intp dims[1] = {kBlockValues};
    PyObject* block = PyArray_EMPTY(1, dims, NPY_DOUBLE, 0);
    if (!block) return false;
    Py_XSETREF(current_block, block);
    block_used = 0;
    return true;
}

}  // namespace

PyObject* record_int(int64_t value) { return shared(int_cache, value, make_int); }

PyObject* record_int64_scalar(const int64_t& value, PyArray_Descr* descr, PyObject* base) {
    // Any other descriptor (another int64 spelling, say) gets NumPy's own scalar.
    if (descr->typeobj != &PyLongArrType_Type || sizeof(npy_long) != sizeof(int64_t)) {
        return PyArray_Scalar(const_cast<int64_t*>(&value), descr, base);
    }
    return shared(int64_scalar_cache, value, make_int64_scalar);
}

PyObject* record_float64_scalar(const double& value, PyArray_Descr* descr, PyObject* base) {
    if (descr->typeobj != &PyDoubleArrType_Type) return PyArray_Scalar(const_cast<double*>(&value), descr, base);
    PyObject* scalar = PyArrayScalar_New(Double);
    if (!scalar) return nullptr;
    PyArrayScalar_ASSIGN(scalar, Double, value);
    return scalar;
}

PyObject* new_statistics_array(int64_t n) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    if (n > kLargestShared || n <= 0) return PyArray_EMPTY(1, dims, NPY_DOUBLE, 0);
    if (block_used + n > kBlockValues && !start_block()) return nullptr;
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(current_block))) + block_used;
    // Without strides NumPy lays the view out C-contiguously itself, which
    // costs less than checking given ones.
    PyObject* view = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1, dims, nullptr, data,
                                          NPY_ARRAY_CARRAY, nullptr);
    if (!view) return nullptr;
    Py_INCREF(current_block);
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view), current_block) < 0) {
        Py_DECREF(view);
        return nullptr;
    }
    block_used += n;
    return view;
}

}  // namespace korvel::recorder
