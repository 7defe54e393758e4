// normalize_weight(weights, position_limit): scale a mapping of weights down
// to a gross exposure of 1 (never up), then cap each weight at
// +/- position_limit. Host arithmetic throughout, so any numbers mix as they
// would in Python; the mapping is changed in place and returned.
#include "common/pyref.h"
#include "portsim/listing.h"

namespace korvel::portsim {

namespace {

int gross_exposure(PyObject* weights, PyRef& weight_sum) {
    PyRef items(PyObject_CallMethod(weights, "items", nullptr));
    if (!items) return -1;
    PyRef iterator(PyObject_GetIter(items.get()));
    if (!iterator) return -1;
    weight_sum.reset(PyFloat_FromDouble(0.0));
    if (!weight_sum) return -1;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        PyRef key(PySequence_GetItem(item.get(), 0));
        if (!key) return -1;
        PyRef weight(PyObject_GetItem(weights, key.get()));
        if (!weight) return -1;
        PyRef magnitude(PyNumber_Absolute(weight.get()));
        if (!magnitude) return -1;
        PyRef sum(PyNumber_Add(weight_sum.get(), magnitude.get()));
        if (!sum) return -1;
        weight_sum = std::move(sum);
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Calls visit(key) for every key of the mapping, in iteration order.
template <typename Visit>
int for_each_key(PyObject* weights, Visit visit) {
    PyRef iterator(PyObject_GetIter(weights));
    if (!iterator) return -1;
    while (PyRef key{PyIter_Next(iterator.get())}) {
        if (visit(key.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject* py_normalize_weight(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"weights", "position_limit", nullptr};
    PyObject* weights = nullptr;
    PyObject* position_limit = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:normalize_weight", const_cast<char**>(keywords), &weights,
                                     &position_limit)) {
        return nullptr;
    }
    PyRef weight_sum;
    if (gross_exposure(weights, weight_sum) < 0) return nullptr;

    PyRef one(PyLong_FromLong(1));
    if (!one) return nullptr;
    const int scale_down = PyObject_RichCompareBool(weight_sum.get(), one.get(), Py_GT);
    if (scale_down < 0) return nullptr;
    if (scale_down) {
        const int rc = for_each_key(weights, [&](PyObject* key) {
            PyRef weight(PyObject_GetItem(weights, key));
            if (!weight) return -1;
            PyRef factor(PyNumber_TrueDivide(one.get(), weight_sum.get()));
            if (!factor) return -1;
            PyRef scaled(PyNumber_Multiply(weight.get(), factor.get()));
            if (!scaled) return -1;
            return PyObject_SetItem(weights, key, scaled.get());
        });
        if (rc < 0) return nullptr;
    }

    const int rc = for_each_key(weights, [&](PyObject* key) {
        PyRef weight(PyObject_GetItem(weights, key));
        if (!weight) return -1;
        const int above = PyObject_RichCompareBool(weight.get(), position_limit, Py_GT);
        if (above < 0) return -1;
        if (above) return PyObject_SetItem(weights, key, position_limit);
        PyRef floor(PyNumber_Negative(position_limit));
        if (!floor) return -1;
        const int below = PyObject_RichCompareBool(weight.get(), floor.get(), Py_LT);
        if (below < 0) return -1;
        return below ? PyObject_SetItem(weights, key, floor.get()) : 0;
    });
    if (rc < 0) return nullptr;
    Py_INCREF(weights);
    return weights;
}

}  // namespace korvel::portsim
