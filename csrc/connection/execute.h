// Request execution: Connection.execute(method, *args, **kwargs).
#pragma once

#include "ref.h"

namespace vantrel {

PyObject* connection_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vantrel
