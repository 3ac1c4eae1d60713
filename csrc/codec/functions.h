// The codec's functions on bodies: pack_one, unpack_one and the MessagePack
// pair packb/unpackb.
#pragma once

#include "ref.h"

namespace vantrel::codec {

PyObject* pack_one(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* unpack_one(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* packb(PyObject* module, PyObject* obj);
PyObject* unpackb(PyObject* module, PyObject* data);

}  // namespace vantrel::codec
