// The packet reader: Connection._read_one_packet.
#pragma once

#include "module_state.h"
#include "ref.h"

namespace vantrel {

// Reads one packet through self._sf, validates its header, decodes its body
// and returns the new tuple (message type, decoded body).  An ERROR packet
// with a body is raised as the server's exception.  Any other failure may
// leave a packet read in part; the caller puts the connection out of use.
PyObject* connection_read_one_packet(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The same in its steps, for callers that decode some bodies themselves.
// A packet read and checked, its body not yet decoded.
struct RawPacket {
    Ref mt, st, cm;  // message type, serializer and compression, as unpack_header gave them
    Ref body;        // the body as read; empty when the packet has none
};

// Reads the header, validates it and reads the body, with the reader's
// checks, texts and order.  On a connection with a call life (`_call_life`,
// whose int `room` is the bytes left of the answer, see begin_call) a packet
// longer than what is left is refused before its body is read, and a
// compressed body is expanded here within what is left (its compression
// then NONE); what the body takes is deducted.
bool read_raw_packet(ModuleState& ms, PyObject* self, RawPacket& p);

// getattr(obj, name) for an attribute that may be missing, without raising
// then: 1 with `out` set, 0 missing, -1 with the error.
int optional_attr(PyObject* obj, PyObject* name, Ref& out);

// decoder(body, st, cm); an ordinary exception of the decoder becomes
// ProtocolError(repr(e)) with e as its context, interrupts pass through.
Ref decode_with(ModuleState& ms, PyObject* decoder, PyObject* body, PyObject* st, PyObject* cm);

// The rest of the reader: the body decoded with `decoder` (unpack_one as
// looked up after the body was read; unused without a body), an ERROR packet
// raised, else msg_type and body set.
bool finish_packet(ModuleState& ms, RawPacket& p, PyObject* decoder, Ref& msg_type, Ref& body);

}  // namespace vantrel
