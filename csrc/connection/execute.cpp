#include "execute.h"

#include "pyutil.h"

namespace vantrel {

namespace {

// The request payload (method, args, kwargs): a tuple of the positional
// arguments after `method` and a new dict of the keyword arguments.
Ref build_payload(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* method = nargs > 0 ? args[0] : nullptr;
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) {
        return {};
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (PyUnicode_CompareWithASCIIString(key, "method") == 0) {
            if (method != nullptr) {
                Ref name = shown_name("execute");
                if (name) {
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument 'method'", name.get());
                }
                return {};
            }
            method = value;
        } else if (PyDict_SetItem(kwargs.get(), key, value) < 0) {
            return {};
        }
    }
    if (method == nullptr) {
        Ref name = shown_name("execute");
        if (name) {
            PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: 'method'", name.get());
        }
        return {};
    }
    Ref positional = Ref::steal(PyTuple_New(nargs > 0 ? nargs - 1 : 0));
    if (!positional) {
        return {};
    }
    for (Py_ssize_t i = 1; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.get(), i - 1, Ref::borrow(args[i]).release());
    }
    return Ref::steal(PyTuple_Pack(3, method, positional.get(), kwargs.get()));
}

// pack_one(payload, MSG_TYPE.REQUEST, DEFAULT_SERIALIZER_TYPE, DEFAULT_COMPRESSION_METHOD)
Ref pack_request(ModuleState& st, Borrowed payload) {
    Ref pack = lookup_global(st.pack_one);
    Ref request = pack ? global_member(st.MSG_TYPE, st.REQUEST) : Ref();
    Ref serializer = request ? lookup_global(st.DEFAULT_SERIALIZER_TYPE) : Ref();
    Ref compression = serializer ? lookup_global(st.DEFAULT_COMPRESSION_METHOD) : Ref();
    if (!compression) {
        return {};
    }
    return call(pack.borrowed(), payload.get(), request.get(), serializer.get(), compression.get());
}

// Sends the request and reads its whole answer.
Ref exchange(ModuleState& st, Borrowed self, Borrowed sock, Borrowed packet) {
    if (!call_method(st.sendall, sock, packet.get())) {
        return {};
    }
    Ref fields[2];  // message type, decoded body
    Ref answer = call_method(st._read_one_packet, self);
    if (!answer || !unpack_exact(answer.borrowed(), 2, fields)) {
        return {};
    }
    answer.reset();
    Ref expected = global_member(st.MSG_TYPE, st.RESPONSE);
    int c = expected ? compare(fields[0].borrowed(), expected.borrowed(), Py_EQ) : -1;
    if (c != 0) {
        return c > 0 ? std::move(fields[1]) : Ref();
    }
    expected = global_member(st.MSG_TYPE, st.STREAM_START);
    c = expected ? compare(fields[0].borrowed(), expected.borrowed(), Py_NE) : -1;
    if (c != 0) {
        if (c > 0) {
            raise_unexpected("got %U when STREAM_START expected", fields[0].borrowed());
        }
        return {};
    }
    // A stream: the STREAM_START body is not looked at.
    answer = call_method(st._read_one_packet, self);
    if (!answer || !unpack_exact(answer.borrowed(), 2, fields)) {
        return {};
    }
    answer.reset();
    struct Branch {
        PyObject* member;
        PyObject* collector;  // NULL: the empty stream
    };
    const Branch branches[] = {
        {st.STREAM_END, nullptr},
        {st.TABLE, st.table_unpack},
        {st.TABLE2, st.table2_unpack},
        {st.FEED, st.feed_unpack},
    };
    for (const Branch& branch : branches) {
        expected = global_member(st.MSG_TYPE, branch.member);
        c = expected ? compare(fields[0].borrowed(), expected.borrowed(), Py_EQ) : -1;
        if (c < 0) {
            return {};
        }
        if (c > 0) {
            if (branch.collector == nullptr) {
                return Ref::steal(PyList_New(0));
            }
            return call_method(branch.collector, self, fields[1].get());
        }
    }
    raise_unexpected("unexpected message in stream: %U", fields[0].borrowed());
    return {};
}

// True when the exception is a server error: it came from an ERROR packet
// that was read whole and ended the answer, so the stream is at a packet
// boundary and the connection stays usable.
bool ends_answer(Borrowed exc) {
    Ref errors = Ref::steal(PyImport_ImportModule("vantrel.share.errors"));
    Ref server_error = errors ? getattr(errors.borrowed(), state().ServerError) : Ref();
    int is_server_error = server_error ? PyObject_IsInstance(exc, server_error.get()) : -1;
    if (is_server_error < 0) {
        PyErr_Clear();
        return false;
    }
    return is_server_error != 0;
}

// The answer was not read to its end, so what is left of it would be taken
// for the answer of the next call.  The socket is shut down both ways before
// the exception propagates: later requests fail at once with the socket's own
// error and the liveness check reports the connection as not normal.  The
// exception itself passes on unchanged; an error of the shutdown is dropped.
void put_out_of_use(Borrowed sock) {
    Ref exc = fetch_exception();
    if (!ends_answer(exc.borrowed())) {
        Ref done = call_method(state().shutdown, sock, state().int_shut_rdwr);
        if (!done) {
            if (PyErr_ExceptionMatches(PyExc_Exception)) {
                PyErr_Clear();
            } else {
                chain_to(exc.borrowed());
                return;
            }
        }
    }
    restore_exception(std::move(exc));
}

}  // namespace

PyObject* connection_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleState& st = state();
    Ref payload = build_payload(args, nargs, kwnames);
    Ref packet = payload ? pack_request(st, payload.borrowed()) : Ref();
    if (!packet) {
        return nullptr;  // nothing was sent: the connection is as it was
    }
    payload.reset();
    Ref sock = getattr(self, st._socket);
    if (!sock) {
        return nullptr;
    }
    Ref result = exchange(st, self, sock.borrowed(), packet.borrowed());
    if (!result) {
        put_out_of_use(sock.borrowed());
    }
    return result.release();
}

}  // namespace vantrel
