// The ArrowArrayStream of a table answer and its PyCapsule.
#pragma once

#include "ref.h"

namespace vantrel::arrow {

// A new PyCapsule named "arrow_array_stream" over a stream that builds one
// batch with `decoder` per body that pull() returns, as its consumer asks.
// The stream holds references to the three objects until it is released
// (to pull() and close() only until it ends or fails).
PyObject* make_stream_capsule(PyObject* decoder, PyObject* pull, PyObject* close);

// Registers the atexit hook that closes the streams being read and keeps
// the callbacks out of the interpreter from then on; false with a Python
// exception set.
bool register_exit_hook();

}  // namespace vantrel::arrow
