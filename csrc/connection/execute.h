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
// Removes the mark; a pending exception stays as it is.  When close() was
// asked for during the call, closes the reader and the socket now, on the
// call's own thread (never under one of its reads), and returns 1; else 0.
// -1 when an interrupt arrived while closing.
int end_call(ModuleState& ms, PyObject* conn, const Ref& mark);
// 1 while `conn` is inside a call, else 0; -1 on error.
int call_in_progress(ModuleState& ms, PyObject* conn);
// close(): when a call is in progress, records that the call is to close the
// connection as it ends and returns 1; else marks the connection as closing
// (a call that begins meanwhile is refused) and returns 0, and the caller
// closes, then calls closed().  -1 on error.
int ask_close(ModuleState& ms, PyObject* conn);
// Removes the closing mark of ask_close; a pending exception stays as it is.
void closed(ModuleState& ms, PyObject* conn);
// 1 while the call that was asked to close `conn` has not ended yet; 0 once
// it has (or none was asked); -1 on error.
int still_in_call(ModuleState& ms, PyObject* conn);
// With the error of a call whose connection was closed under it: the error
// becomes ProtocolError("the connection was closed during the call"), the
// original as its context; a server error or an interrupt stays.  Returns false.
bool closed_during_call(ModuleState& ms);

// _begin_call(conn, /) and _end_call(conn, /): the same mark for the readers
// of an answer outside execute (vantrel.results), which hold a connection
// from their request to the end of its answer.
PyObject* module_begin_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* module_end_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vantrel
