// The stream collectors: table, table2 and feed answers read to STREAM_END
// and returned whole.  A failure leaves the stream read only in part: execute
// then puts the connection out of use (execute.cpp); a caller of a collector
// outside execute must close the connection itself.
#pragma once

#include "module_state.h"
#include "ref.h"

namespace vantrel {

PyObject* connection_feed_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* connection_table_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* connection_table2_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The next packet of a stream as a reader of the collectors gives it: a
// packet (msg_type and body set, as self._read_one_packet() gives them), a
// body already taken into the result, or an error set.
enum class Next { error, taken, packet };

// The packet after STREAM_START, for execute: Next::packet with msg_type and
// body set; Next::taken with `result` set when that packet began a table that
// was collected here, as table_unpack (the class's own) collects it, its
// bodies going straight (decoded directly) into the rows; or Next::error.
Next read_stream_head(ModuleState& ms, PyObject* self, Ref& msg_type, Ref& body, Ref& result);

}  // namespace vantrel
