// The liveness check: is anything pending on an idle connection's socket?
#pragma once

#include "ref.h"

namespace vantrel {

// _is_connection_normal(sock), the variant over select.poll().
PyObject* is_connection_normal_poll(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// _is_connection_normal(sock), the variant over select.select().
PyObject* is_connection_normal_select(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);
// Connection.is_normal(self): the module's probe applied to self._socket.
PyObject* connection_is_normal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vantrel
