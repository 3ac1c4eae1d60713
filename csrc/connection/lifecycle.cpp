#include "lifecycle.h"

#include "execute.h"
#include "pyutil.h"

namespace vantrel {

namespace {

bool set(PyObject* self, PyObject* name, const Ref& value) {
    return value && PyObject_SetAttr(self, name, value.get()) == 0;
}

// self._auth_info["node"] = self._socket.getsockname()[0]
bool record_node(ModuleState& ms, PyObject* self) {
    Ref sock = getattr(self, ms._socket);
    if (!sock) {
        return false;
    }
    Ref address = call_method(ms.getsockname, sock.get());
    if (!address) {
        return false;
    }
    Ref node = Ref::steal(PyObject_GetItem(address.get(), ms.int_0));
    if (!node) {
        return false;
    }
    Ref record = getattr(self, ms._auth_info);
    return record && PyObject_SetItem(record.get(), ms.node, node.get()) == 0;
}

}  // namespace

// Construction: the five attributes, in this order, then the handshake.  A
// failure leaves the socket (and the reader made from it) open: they stay
// the caller's to close.
PyObject* connection_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"sock", "auth"};
    PyObject* bound[2];
    ModuleState* ms = entry_state();
    if (ms == nullptr || !bind_args("__init__", names, 2, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    PyObject* sock = bound[0];
    PyObject* auth = bound[1];
    if (PyObject_SetAttr(self, ms->_socket, sock) < 0 ||
        !set(self, ms->_sf, call_method(ms->makefile, sock, ms->rb, ms->int_buffer)) ||
        !set(self, ms->_compression_method, lookup_global(ms->DEFAULT_COMPRESSION_METHOD)) ||
        !set(self, ms->_serializer_type, global_member(ms->SERIALIZATION_TYPE, ms->MSGPACK)) ||
        !set(self, ms->_auth_info, call_method(ms->copy, auth)) || !record_node(*ms, self)) {
        return nullptr;
    }
    Ref record = getattr(self, ms->_auth_info);
    if (!record || !call_method(ms->_do_auth, self, record.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The handshake: one HANDSHAKE packet each way.  A body in the server's reply
// is a notice for the application and goes to warnings.warn.
PyObject* connection_do_auth(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"auth"};
    PyObject* auth;
    ModuleState* ms = entry_state();
    if (ms == nullptr || !bind_args("_do_auth", names, 1, args, nargs, kwnames, &auth)) {
        return nullptr;
    }
    Ref packet = pack_with_defaults(auth, ms->HANDSHAKE, true);
    if (!packet) {
        return nullptr;
    }
    Ref sock = getattr(self, ms->_socket);
    if (!sock || !call_method(ms->sendall, sock.get(), packet.get())) {
        return nullptr;
    }
    packet.reset();
    Ref msg_type, body;
    if (!read_packet(self, msg_type, body)) {
        return nullptr;
    }
    int mismatch = is_type(msg_type.get(), ms->HANDSHAKE, Py_NE);
    if (mismatch != 0) {
        if (mismatch > 0) {
            raise_unexpected("handshake message expected while %U received", msg_type.get());
        }
        return nullptr;
    }
    if (body.get() != Py_None) {
        Ref module = lookup_global(ms->warnings);
        if (!module || !call_method(ms->warn, module.get(), body.get())) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* connection_set_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"timeout"};
    PyObject* timeout;
    ModuleState* ms = entry_state();
    if (ms == nullptr || !bind_args("set_timeout", names, 1, args, nargs, kwnames, &timeout)) {
        return nullptr;
    }
    Ref sock = getattr(self, ms->_socket);
    if (!sock || !call_method(ms->settimeout, sock.get(), timeout)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

namespace {

// self._sf.close(), then self._socket.close(); if closing the reader fails,
// the socket is left open and the error stays set.
bool close_reader_and_socket(ModuleState& ms, PyObject* self) {
    Ref sf = getattr(self, ms._sf);
    if (!sf || !call_method(ms.close, sf.get())) {
        return false;
    }
    Ref sock = getattr(self, ms._socket);
    return sock && call_method(ms.close, sock.get());
}

}  // namespace

// The reader first, then the socket; if closing the reader fails, the
// socket is left open and the error propagates.  Not refused while another
// thread is inside a call: the call is ended, and it closes the connection.
// A call that begins while close() closes is refused (RuntimeError).
PyObject* connection_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleState* ms = entry_state();
    if (ms == nullptr || !bind_no_args("close", args, nargs, kwnames)) {
        return nullptr;
    }
    // A call in progress on another thread may be inside a read of the
    // reader: closing the reader under it would fail that read with the
    // reader's own errors, or worse.  The socket is shut down instead, which
    // ends the read at once, and the call closes the reader and the socket
    // itself as it ends (end_call); it fails with "the connection was closed
    // during the call".
    int busy = ask_close(*ms, self);
    if (busy < 0) {
        return nullptr;
    }
    if (busy > 0) {
        Ref sock = getattr(self, ms->_socket);
        if (!sock) {
            return nullptr;
        }
        if (!call_method(ms->shutdown, sock.get(), ms->int_shut_rdwr)) {
            if (!PyErr_ExceptionMatches(PyExc_OSError)) {
                return nullptr;
            }
            PyErr_Clear();  // already shut down or closed
        }
        // The shutdown ran Python code: the call may have ended meanwhile,
        // before it saw the request, and then the closing is done here.
        int pending = still_in_call(*ms, self);
        if (pending < 0) {
            return nullptr;
        }
        if (pending > 0) {
            Py_RETURN_NONE;
        }
    }
    bool ok = close_reader_and_socket(*ms, self);
    if (busy == 0) {
        closed(*ms, self);
    }
    if (!ok) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The class is found by name in the module at the time of the call.
PyObject* connection_set_sock_factory(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    ModuleState* ms = entry_state();
    if (ms == nullptr) {
        return nullptr;
    }
    PyObject* func = bind_positional_only("set_sock_factory", true, "func", args, nargs, kwnames);
    if (func == nullptr) {
        return nullptr;
    }
    Ref cls = lookup_global(ms->Connection);
    if (!cls) {
        return nullptr;
    }
    Ref wrapped = Ref::steal(PyStaticMethod_New(func));
    if (!wrapped || PyObject_SetAttr(cls.get(), ms->sock_factory, wrapped.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace vantrel
