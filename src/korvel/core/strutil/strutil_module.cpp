// Module korvel.core.strutil: str_to_bytearray(text).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/pyref.h"

namespace korvel::strutil {
namespace {

// One byte per character: the low 8 bits of each code point. This is not an
// encoding: characters above U+00FF are reduced modulo 256, never rejected.
PyObject* str_to_bytearray(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"text", nullptr};
    PyObject* text = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:str_to_bytearray", const_cast<char**>(keywords), &text)) {
        return nullptr;
    }
    if (text == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' is not iterable");
        return nullptr;
    }
    if (!PyUnicode_CheckExact(text)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "text",
                     "str", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    // Written straight into the result: no intermediate buffer whose
    // allocation could fail outside the interpreter's MemoryError. The result
    // is grown from empty because the interpreter's sized constructor leaves
    // the object half-initialised when its buffer cannot be allocated.
    PyRef result(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!result || PyByteArray_Resize(result.get(), length) < 0) return nullptr;
    char* bytes = PyByteArray_AS_STRING(result.get());
    for (Py_ssize_t k = 0; k < length; ++k) {
        bytes[k] = static_cast<char>(PyUnicode_READ(kind, data, k) & 0xFFu);
    }
    return result.release();
}

PyMethodDef strutil_methods[] = {
    {"str_to_bytearray", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(str_to_bytearray)),
     METH_VARARGS | METH_KEYWORDS,
     "str_to_bytearray(text)\n--\n\n"
     "Return a new bytearray with one byte per character of text: the low 8 bits\n"
     "of its code point. text must be exactly a str."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef strutil_module = {
    PyModuleDef_HEAD_INIT,
    "korvel.core.strutil",
    "Text helper: string to byte values.",
    -1,
    strutil_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace korvel::strutil

PyMODINIT_FUNC PyInit_strutil(void) { return PyModule_Create(&korvel::strutil::strutil_module); }
