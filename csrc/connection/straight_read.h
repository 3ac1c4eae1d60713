// The reads of the connection's reader `_sf`, made without SocketIO's
// Python code when that gives the same bytes, errors and later state.
//
// `sock.makefile("rb", ...)` gives an io.BufferedReader over a socket.SocketIO,
// whose readinto is Python code; a small answer spent more in it than in the
// rest of its reading.  For a reader of exactly that kind, this module does
// what BufferedReader's read(n) does, on the reader itself: it hands out
// buffered bytes, and fills the empty buffer with one raw read of up to its
// size under the reader's lock, as the reader's own read would, so the same
// bytes end up buffered and the socket sees the same calls.  Each raw read is
// SocketIO.readinto's steps done here: the socket's own recv_into (its
// time-out, blocking mode and errors), then SocketIO's handling of a time-out
// and of a socket that would block.  Anything else (another reader, one in use,
// closed, detached or with attributes of its own, a read of part of what is
// buffered, a SocketIO or socket of another class or with any attribute
// changed, a class changed since load) goes through `sf.read(n)` itself.
#pragma once

#include "module_state.h"
#include "ref.h"

namespace vantrel {

// At load: takes the classes involved and checks the reader's instance
// layout on a reader made for the purpose.  When anything is not as
// expected, every read goes through sf.read.  False only for an interrupt
// (a failure of the checks themselves just leaves the straight reads off).
bool init_straight_reads(ModuleState& ms);

// sf.read(n), with n an object as the caller has it.
Ref reader_read(ModuleState& ms, PyObject* sf, PyObject* n);

}  // namespace vantrel
