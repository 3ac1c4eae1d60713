// A connection's life outside the request exchange: construction and the
// handshake, time-outs, closing and the class-wide socket factory.
#pragma once

#include "ref.h"

namespace vantrel {

PyObject* connection_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* connection_do_auth(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* connection_set_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* connection_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Connection.set_sock_factory(func), a static method.
PyObject* connection_set_sock_factory(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vantrel
