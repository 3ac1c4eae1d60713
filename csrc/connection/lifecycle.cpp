#include "lifecycle.h"

#include "pyutil.h"

namespace vantrel {

namespace {

bool set(Borrowed self, Borrowed name, const Ref& value) {
    return value && PyObject_SetAttr(self, name, value.get()) == 0;
}

// self._auth_info["node"] = self._socket.getsockname()[0]
bool record_node(ModuleState& st, Borrowed self) {
    Ref sock = getattr(self, st._socket);
    Ref address = sock ? call_method(st.getsockname, sock.borrowed()) : Ref();
    Ref node = address ? Ref::steal(PyObject_GetItem(address.get(), st.int_0)) : Ref();
    if (!node) {
        return false;
    }
    Ref record = getattr(self, st._auth_info);
    return record && PyObject_SetItem(record.get(), st.node, node.get()) == 0;
}

}  // namespace

// Construction: the five attributes, in this order, then the handshake.  A
// failure leaves the socket (and the reader made from it) open: they stay
// the caller's to close.
PyObject* connection_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"sock", "auth"};
    PyObject* bound[2];
    if (!bind_args("__init__", names, 2, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    Borrowed sock = bound[0], auth = bound[1];
    ModuleState& st = state();
    if (PyObject_SetAttr(self, st._socket, sock) < 0 ||
        !set(self, st._sf, call_method(st.makefile, sock, st.rb, st.int_buffer)) ||
        !set(self, st._compression_method, lookup_global(st.DEFAULT_COMPRESSION_METHOD)) ||
        !set(self, st._serializer_type, global_member(st.SERIALIZATION_TYPE, st.MSGPACK)) ||
        !set(self, st._auth_info, call_method(st.copy, auth)) || !record_node(st, self)) {
        return nullptr;
    }
    Ref record = getattr(self, st._auth_info);
    Ref done = record ? call_method(st._do_auth, self, record.get()) : Ref();
    if (!done) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The handshake: one HANDSHAKE packet each way.  A body in the server's reply
// is a notice for the application and goes to warnings.warn.
PyObject* connection_do_auth(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"auth"};
    PyObject* auth;
    if (!bind_args("_do_auth", names, 1, args, nargs, kwnames, &auth)) {
        return nullptr;
    }
    ModuleState& st = state();
    Ref pack = lookup_global(st.pack_one);
    Ref handshake = pack ? global_member(st.MSG_TYPE, st.HANDSHAKE) : Ref();
    Ref serializer = handshake ? lookup_global(st.DEFAULT_SERIALIZER_TYPE) : Ref();
    Ref compression = serializer ? lookup_global(st.DEFAULT_COMPRESSION_METHOD) : Ref();
    if (!compression) {
        return nullptr;
    }
    PyObject* argv[] = {nullptr, auth, handshake.get(), serializer.get(), compression.get(), Py_True};
    Ref packet = Ref::steal(PyObject_Vectorcall(pack.get(), argv + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                st.kw_force_compress));
    Ref sock = packet ? getattr(self, st._socket) : Ref();
    Ref sent = sock ? call_method(st.sendall, sock.borrowed(), packet.get()) : Ref();
    if (!sent) {
        return nullptr;
    }
    packet.reset();
    Ref reply = call_method(st._read_one_packet, self);
    Ref fields[2];  // message type, decoded body
    if (!reply || !unpack_exact(reply.borrowed(), 2, fields)) {
        return nullptr;
    }
    Ref expected = global_member(st.MSG_TYPE, st.HANDSHAKE);
    int mismatch = expected ? compare(fields[0].borrowed(), expected.borrowed(), Py_NE) : -1;
    if (mismatch != 0) {
        if (mismatch > 0) {
            raise_unexpected("handshake message expected while %U received", fields[0].borrowed());
        }
        return nullptr;
    }
    if (fields[1].get() != Py_None) {
        Ref module = lookup_global(st.warnings);
        Ref warned = module ? call_method(st.warn, module.borrowed(), fields[1].get()) : Ref();
        if (!warned) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* connection_set_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"timeout"};
    PyObject* timeout;
    if (!bind_args("set_timeout", names, 1, args, nargs, kwnames, &timeout)) {
        return nullptr;
    }
    ModuleState& st = state();
    Ref sock = getattr(self, st._socket);
    Ref done = sock ? call_method(st.settimeout, sock.borrowed(), timeout) : Ref();
    if (!done) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The reader first, then the socket; if closing the reader fails, the
// socket is left open and the error propagates.
PyObject* connection_close(PyObject* self, PyObject* /*unused*/) {
    ModuleState& st = state();
    Ref sf = getattr(self, st._sf);
    if (!sf || !call_method(st.close, sf.borrowed())) {
        return nullptr;
    }
    Ref sock = getattr(self, st._socket);
    if (!sock || !call_method(st.close, sock.borrowed())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The class is found by name in the module at the time of the call.
PyObject* connection_set_sock_factory(PyObject* /*unused*/, PyObject* func) {
    ModuleState& st = state();
    Ref cls = lookup_global(st.Connection);
    Ref wrapped = cls ? Ref::steal(PyStaticMethod_New(func)) : Ref();
    if (!wrapped || PyObject_SetAttr(cls.get(), st.sock_factory, wrapped.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace vantrel
