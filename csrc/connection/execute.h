// Request execution: Connection.execute(method, *args, **kwargs), and the
// mark that keeps a connection to one call at a time.
#pragma once

#include "module_state.h"
#include "ref.h"

namespace vantrel {

PyObject* connection_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Marks `conn` as inside a call.  Empty, with RuntimeError "another call is
// in progress on this connection", when it already is.
Ref begin_call(ModuleState& ms, PyObject* conn);
// Removes the mark; a pending exception stays as it is.
void end_call(ModuleState& ms, const Ref& mark);
// 1 while `conn` is inside a call, else 0; -1 on error.
int call_in_progress(ModuleState& ms, PyObject* conn);

// _begin_call(conn, /) and _end_call(conn, /): the same mark for the readers
// of an answer outside execute (vantrel.results), which hold a connection
// from their request to the end of its answer.
PyObject* module_begin_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* module_end_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vantrel
