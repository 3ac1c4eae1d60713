// The packet reader: Connection._read_one_packet.
#pragma once

#include "ref.h"

namespace vantrel {

// Reads one packet through self._sf, validates its header, decodes its body
// and returns the new tuple (message type, decoded body).  An ERROR packet
// with a body is raised as the server's exception.
PyObject* connection_read_one_packet(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vantrel
