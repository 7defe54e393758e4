#include "portsim/price_validation.h"

#include "common/pyref.h"

namespace korvel::portsim {

int raise_invalid_trade_price(double price, PyObject* label, Py_ssize_t row) {
    PyRef empty_format(PyUnicode_FromString(""));
    if (!empty_format) return -1;
    PyRef label_text(PyObject_Format(label ? label : Py_None, empty_format.get()));
    if (!label_text) return -1;
    PyRef price_obj(PyFloat_FromDouble(price));
    if (!price_obj) return -1;
    PyRef price_text(PyObject_Repr(price_obj.get()));
    if (!price_text) return -1;
    PyErr_Format(PyExc_ValueError,
                 "Invalid trading price for %U at price row %zd: %U. Expected a positive finite price; check the "
                 "trading-price dataset.",
                 label_text.get(), row, price_text.get());
    return -1;
}

}  // namespace korvel::portsim
