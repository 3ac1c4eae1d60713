#include "reader.h"

#include "pyutil.h"

namespace vantrel {

namespace {

// header = self._sf.read(HEADER_LENGTH), then the length check.
Ref read_header(ModuleState& st, Borrowed self) {
    Ref header_length = lookup_global(st.HEADER_LENGTH);
    if (!header_length) {
        return {};
    }
    Ref sf = getattr(self, st._sf);
    if (!sf) {
        return {};
    }
    Ref header = call_method(st.read, sf.borrowed(), header_length.get());
    if (!header) {
        return {};
    }
    Py_ssize_t received = PyObject_Size(header.get());
    if (received < 0) {
        return {};
    }
    int short_read = compare_length(received, header_length.borrowed(), Py_NE);
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
int in_range(Borrowed enumeration, Borrowed low, Borrowed high, Borrowed value) {
    Ref table = lookup_global(enumeration);
    if (!table) {
        return -1;
    }
    Ref lower = getattr(table.borrowed(), low);
    if (!lower) {
        return -1;
    }
    int ok = compare(lower.borrowed(), value, Py_LE);
    if (ok <= 0) {
        return ok;
    }
    Ref upper = getattr(table.borrowed(), high);
    if (!upper) {
        return -1;
    }
    return compare(value, upper.borrowed(), Py_LE);
}

// The header is validated field by field, in a fixed order, before any body
// byte is read: message type, then serializer, then compression method.
bool validate_header(ModuleState& st, Borrowed mt, Borrowed ser, Borrowed cm) {
    Ref types = lookup_global(st.MSG_TYPE);
    if (!types) {
        return false;
    }
    int known = PySequence_Contains(types.get(), mt);
    if (known < 0) {
        return false;
    }
    if (!known) {
        return raise_protocol_error_format("invalid message type: %U", mt);
    }
    int ok = in_range(st.SERIALIZATION_TYPE, st.RAW, st.MSGPACK, ser);
    if (ok <= 0) {
        return ok < 0 ? false : raise_protocol_error_format("invalid serializer type: %U", ser);
    }
    ok = in_range(st.COMPRESSION_METHOD, st.NONE, st.ZSTD, cm);
    if (ok <= 0) {
        return ok < 0 ? false : raise_protocol_error_format("invalid compression method: %U", cm);
    }
    return true;
}

// unpack_one(body, st, cm).  An ordinary exception of the decoder becomes
// ProtocolError(repr(e)) with e as its context; interpreter exits and
// keyboard interrupts pass through untouched.
Ref decode_body(ModuleState& st, Borrowed body, Borrowed ser, Borrowed cm) {
    Ref decoder = lookup_global(st.unpack_one);
    Ref decoded = decoder ? call(decoder.borrowed(), body.get(), ser.get(), cm.get()) : Ref();
    if (decoded || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return decoded;
    }
    Ref error = fetch_exception();
    Ref text = Ref::steal(PyObject_Repr(error.get()));
    Ref cls = text ? lookup_global(st.ProtocolError) : Ref();
    Ref replacement = cls ? call(cls.borrowed(), text.get()) : Ref();
    if (!replacement) {
        chain_to(error.borrowed());
        return {};
    }
    if (!PyExceptionInstance_Check(replacement.get())) {
        raise_object(replacement.borrowed());
        chain_to(error.borrowed());
        return {};
    }
    if (replacement.get() != error.get()) {
        PyException_SetContext(replacement.get(), error.release());
    }
    restore_exception(std::move(replacement));
    return {};
}

// An ERROR packet's body is (code, msg); raise get_error(code)(msg).
void raise_server_error(ModuleState& st, Borrowed body) {
    Ref pair[2];
    if (!unpack_exact(body, 2, pair)) {
        return;
    }
    Ref factory = lookup_global(st.get_error);
    Ref cls = factory ? call(factory.borrowed(), pair[0].get()) : Ref();
    Ref exc = cls ? call(cls.borrowed(), pair[1].get()) : Ref();
    if (exc) {
        raise_object(exc.borrowed());
    }
}

Ref read_one_packet(Borrowed self) {
    ModuleState& st = state();
    Ref header = read_header(st, self);
    if (!header) {
        return {};
    }
    Ref unpacker = lookup_global(st.unpack_header);
    Ref fields_obj = unpacker ? call(unpacker.borrowed(), header.get()) : Ref();
    Ref fields[4];  // message type, serializer, compression, body length
    if (!fields_obj || !unpack_exact(fields_obj.borrowed(), 4, fields)) {
        return {};
    }
    Borrowed mt = fields[0].borrowed(), ser = fields[1].borrowed(), cm = fields[2].borrowed(),
             length = fields[3].borrowed();
    if (!validate_header(st, mt, ser, cm)) {
        return {};
    }
    int has_body = compare(length, st.int_0, Py_GT);
    if (has_body < 0) {
        return {};
    }
    if (!has_body) {
        // No body is read and nothing is decoded; this includes an ERROR
        // packet without a body, which the caller then sees as such.
        return Ref::steal(PyTuple_Pack(2, mt.get(), Py_None));
    }
    Ref sf = getattr(self, st._sf);
    Ref body = sf ? call_method(st.read, sf.borrowed(), length.get()) : Ref();
    if (!body) {
        return {};
    }
    Py_ssize_t received = PyObject_Size(body.get());
    if (received < 0) {
        return {};
    }
    int short_read = compare_length(received, length, Py_NE);
    if (short_read != 0) {
        if (short_read > 0) {
            raise_protocol_error(Ref::steal(PyUnicode_FromString("incomplete body")));
        }
        return {};
    }
    Ref decoded = decode_body(st, body.borrowed(), ser, cm);
    if (!decoded) {
        return {};
    }
    body.reset();
    Ref error_type = global_member(st.MSG_TYPE, st.ERROR);
    int is_error = error_type ? compare(mt, error_type.borrowed(), Py_EQ) : -1;
    if (is_error != 0) {
        if (is_error > 0) {
            raise_server_error(st, decoded.borrowed());
        }
        return {};
    }
    return Ref::steal(PyTuple_Pack(2, mt.get(), decoded.get()));
}

}  // namespace

PyObject* connection_read_one_packet(PyObject* self, PyObject* /*unused*/) {
    return read_one_packet(self).release();
}

}  // namespace vantrel
