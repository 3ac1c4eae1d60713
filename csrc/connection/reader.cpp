#include "reader.h"

#include "pyutil.h"

namespace vantrel {

namespace {

// header = self._sf.read(HEADER_LENGTH), then the length check.
Ref read_header(ModuleState& ms, PyObject* self) {
    Ref header_length = lookup_global(ms.HEADER_LENGTH);
    if (!header_length) {
        return {};
    }
    Ref sf = getattr(self, ms._sf);
    if (!sf) {
        return {};
    }
    Ref header = call_method(ms.read, sf.get(), header_length.get());
    if (!header) {
        return {};
    }
    Py_ssize_t received = PyObject_Size(header.get());
    if (received < 0) {
        return {};
    }
    int short_read = compare_length(received, header_length.get(), Py_NE);
    if (short_read < 0) {
        return {};
    }
    if (short_read) {
        if (received == 0) {
            raise_protocol_error(Ref::steal(PyUnicode_FromString("Disconnected from the remote server")));
        } else {
            raise_protocol_error(Ref::steal(PyUnicode_FromFormat("incomplete header, %zd", received)));
        }
        return {};
    }
    return header;
}

// low <= value <= high, with the bounds read from an enumeration; the upper
// bound is only looked at when the lower test holds.
int in_range(PyObject* enumeration, PyObject* low, PyObject* high, PyObject* value) {
    Ref table = lookup_global(enumeration);
    if (!table) {
        return -1;
    }
    Ref lower = getattr(table.get(), low);
    if (!lower) {
        return -1;
    }
    int ok = compare(lower.get(), value, Py_LE);
    if (ok <= 0) {
        return ok;
    }
    Ref upper = getattr(table.get(), high);
    if (!upper) {
        return -1;
    }
    return compare(value, upper.get(), Py_LE);
}

// The header is validated field by field, in a fixed order, before any body
// byte is read: message type, then serializer, then compression method.
bool validate_header(ModuleState& ms, PyObject* mt, PyObject* ser, PyObject* cm) {
    Ref types = lookup_global(ms.MSG_TYPE);
    if (!types) {
        return false;
    }
    int ok = PySequence_Contains(types.get(), mt);
    if (ok < 0) {
        return false;
    }
    if (ok == 0) {
        return raise_protocol_error_format("invalid message type: %U", mt);
    }
    ok = in_range(ms.SERIALIZATION_TYPE, ms.RAW, ms.MSGPACK, ser);
    if (ok < 0) {
        return false;
    }
    if (ok == 0) {
        return raise_protocol_error_format("invalid serializer type: %U", ser);
    }
    ok = in_range(ms.COMPRESSION_METHOD, ms.NONE, ms.ZSTD, cm);
    if (ok < 0) {
        return false;
    }
    if (ok == 0) {
        return raise_protocol_error_format("invalid compression method: %U", cm);
    }
    return true;
}

// With the decoder's ordinary exception set: raise ProtocolError(repr(e))
// instead, with e as its context.
void replace_decoder_error(ModuleState& ms) {
    Ref error = fetch_exception();
    Ref text = Ref::steal(PyObject_Repr(error.get()));
    if (!text) {
        chain_to(error.get());
        return;
    }
    Ref cls = lookup_global(ms.ProtocolError);
    if (!cls) {
        chain_to(error.get());
        return;
    }
    Ref replacement = call(cls.get(), text.get());
    if (!replacement) {
        chain_to(error.get());
        return;
    }
    if (!PyExceptionInstance_Check(replacement.get())) {
        raise_object(replacement.get());
        chain_to(error.get());
        return;
    }
    if (replacement.get() != error.get()) {
        PyException_SetContext(replacement.get(), error.release());
    }
    restore_exception(std::move(replacement));
}

// An ERROR packet's body is (code, msg); raise get_error(code)(msg).
void raise_server_error(ModuleState& ms, PyObject* body) {
    Ref pair[2];
    if (!unpack_exact(body, 2, pair)) {
        return;
    }
    Ref factory = lookup_global(ms.get_error);
    if (!factory) {
        return;
    }
    Ref cls = call(factory.get(), pair[0].get());
    if (!cls) {
        return;
    }
    Ref exc = call(cls.get(), pair[1].get());
    if (exc) {
        raise_object(exc.get());
    }
}

// The body of `length` bytes, read whole; empty with ProtocolError when the
// stream ends first.
Ref read_body(ModuleState& ms, PyObject* self, PyObject* length) {
    Ref sf = getattr(self, ms._sf);
    if (!sf) {
        return {};
    }
    Ref body = call_method(ms.read, sf.get(), length);
    if (!body) {
        return {};
    }
    Py_ssize_t received = PyObject_Size(body.get());
    if (received < 0) {
        return {};
    }
    int short_read = compare_length(received, length, Py_NE);
    if (short_read < 0) {
        return {};
    }
    if (short_read) {
        raise_protocol_error(Ref::steal(PyUnicode_FromString("incomplete body")));
        return {};
    }
    return body;
}

// The packet's body length against the bytes left of the answer.
bool check_room(ModuleState& ms, PyObject* life, PyObject* length, PyObject* room) {
    int over = compare(length, room, Py_GT);
    if (over <= 0) {
        return over == 0;
    }
    Ref limit = getattr(life, ms.max_answer_bytes);
    if (limit) {
        raise_protocol_error(Ref::steal(PyUnicode_FromFormat(
            "the answer exceeds max_answer_bytes (%S): a packet of %S bytes with %S bytes of it left",
            limit.get(), length, room)));
    }
    return false;
}

// The body expanded within the bytes left (a failure is the decoder's, as
// ProtocolError(repr(e))), and what it takes deducted from them.
bool spend_room(ModuleState& ms, PyObject* life, RawPacket& p, PyObject* room) {
    int compressed = compare(p.cm.get(), ms.int_0, Py_NE);
    if (compressed < 0) {
        return false;
    }
    if (compressed && ms.native_decompress != nullptr) {
        PyObject* argv[] = {p.body.get(), p.cm.get(), room};
        Ref data = Ref::steal(PyObject_Vectorcall(ms.native_decompress, argv, 3, nullptr));
        if (!data) {
            if (PyErr_ExceptionMatches(PyExc_Exception)) {
                replace_decoder_error(ms);
            }
            return false;
        }
        p.body = std::move(data);
        p.cm = Ref::new_ref(ms.int_0);
    }
    Py_ssize_t used = PyObject_Size(p.body.get());
    if (used < 0) {
        return false;
    }
    Ref taken = Ref::steal(PyLong_FromSsize_t(used));
    Ref left = taken ? Ref::steal(PyNumber_Subtract(room, taken.get())) : Ref{};
    return left && PyObject_SetAttr(life, ms.room, left.get()) == 0;
}

}  // namespace

int optional_attr(PyObject* obj, PyObject* name, Ref& out) {
    PyObject* value = nullptr;
    int found = compat::get_optional_attr(obj, name, &value);
    out = Ref::steal(value);
    return found;
}

bool read_raw_packet(ModuleState& ms, PyObject* self, RawPacket& p) {
    Ref header = read_header(ms, self);
    if (!header) {
        return false;
    }
    Ref unpacker = lookup_global(ms.unpack_header);
    if (!unpacker) {
        return false;
    }
    Ref fields_obj = call(unpacker.get(), header.get());
    if (!fields_obj) {
        return false;
    }
    Ref fields[4];  // message type, serializer, compression, body length
    if (!unpack_exact(fields_obj.get(), 4, fields)) {
        return false;
    }
    p.mt = std::move(fields[0]);
    p.st = std::move(fields[1]);
    p.cm = std::move(fields[2]);
    PyObject* length = fields[3].get();
    if (!validate_header(ms, p.mt.get(), p.st.get(), p.cm.get())) {
        return false;
    }
    int has_body = compare(length, ms.int_0, Py_GT);
    if (has_body < 0) {
        return false;
    }
    if (!has_body) {
        return true;
    }
    // A connection of vantrel.connect has a call life (`_call_life`): its
    // `room` is the bytes left of the answer.
    Ref life;
    Ref room;
    int limited = optional_attr(self, ms._call_life, life);
    if (limited > 0) {
        room = getattr(life.get(), ms.room);
        if (!room) {
            return false;
        }
    }
    if (limited < 0) {
        return false;
    }
    limited = limited > 0 && PyLong_CheckExact(room.get());
    if (limited && !check_room(ms, life.get(), length, room.get())) {
        return false;
    }
    p.body = read_body(ms, self, length);
    if (!p.body) {
        return false;
    }
    return !limited || spend_room(ms, life.get(), p, room.get());
}

Ref decode_with(ModuleState& ms, PyObject* decoder, PyObject* body, PyObject* st, PyObject* cm) {
    Ref decoded = call(decoder, body, st, cm);
    if (!decoded && PyErr_ExceptionMatches(PyExc_Exception)) {
        replace_decoder_error(ms);
    }
    return decoded;
}

bool finish_packet(ModuleState& ms, RawPacket& p, PyObject* decoder, Ref& msg_type, Ref& body) {
    if (!p.body) {
        // No body is read and nothing is decoded; this includes an ERROR
        // packet without a body, which the caller then sees as such.
        msg_type = std::move(p.mt);
        body = Ref::new_ref(Py_None);
        return true;
    }
    Ref decoded = decode_with(ms, decoder, p.body.get(), p.st.get(), p.cm.get());
    if (!decoded) {
        return false;
    }
    p.body.reset();
    int is_error = is_type(p.mt.get(), ms.ERROR);
    if (is_error < 0) {
        return false;
    }
    if (is_error) {
        raise_server_error(ms, decoded.get());
        return false;
    }
    msg_type = std::move(p.mt);
    body = std::move(decoded);
    return true;
}

namespace {

Ref read_one_packet(ModuleState& ms, PyObject* self) {
    RawPacket p;
    if (!read_raw_packet(ms, self, p)) {
        return {};
    }
    Ref decoder;
    if (p.body) {
        decoder = lookup_global(ms.unpack_one);
        if (!decoder) {
            return {};
        }
    }
    Ref msg_type, body;
    if (!finish_packet(ms, p, decoder.get(), msg_type, body)) {
        return {};
    }
    return Ref::steal(PyTuple_Pack(2, msg_type.get(), body.get()));
}

}  // namespace

PyObject* connection_read_one_packet(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleState* ms = entry_state();
    if (ms == nullptr || !bind_no_args("_read_one_packet", args, nargs, kwnames)) {
        return nullptr;
    }
    return read_one_packet(*ms, self).release();
}

}  // namespace vantrel
