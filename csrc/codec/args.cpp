#include "args.h"

namespace vantrel::codec {

bool bind_args(const char* fname, const char* const* names, int count, int required, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd were given", fname,
                     required, count, nargs);
        return false;
    }
    for (int k = 0; k < count; ++k) {
        out[k] = k < nargs ? args[k] : nullptr;
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        int k = 0;
        while (k < count && PyUnicode_CompareWithASCIIString(key, names[k]) != 0) {
            ++k;
        }
        if (k == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", fname, key);
            return false;
        }
        if (out[k] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, names[k]);
            return false;
        }
        out[k] = args[nargs + j];
    }
    for (int k = 0; k < required; ++k) {
        if (out[k] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", fname, names[k]);
            return false;
        }
    }
    return true;
}

}  // namespace vantrel::codec
