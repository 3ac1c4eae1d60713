// The stream collectors: table, table2 and feed answers read to STREAM_END
// and returned whole.
#pragma once

#include "ref.h"

namespace vantrel {

PyObject* connection_feed_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* connection_table_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* connection_table2_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vantrel
