#include "liveness.h"

#include "execute.h"
#include "pyutil.h"

namespace vantrel {

namespace {

// What both probes start with: the module state, the one argument `sock`,
// and the module global `select` (empty with the error set).
Ref probe_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ModuleState*& ms,
                    PyObject*& sock) {
    ms = entry_state();
    if (ms == nullptr) {
        return {};
    }
    sock = bind_positional_only("_is_connection_normal", false, "sock", args, nargs, kwnames);
    if (sock == nullptr) {
        return {};
    }
    return lookup_global(ms->select);
}

}  // namespace

// Nothing pending means normal: no data to read (the end of the stream
// included) and no error condition.  Nothing is read from the socket.
PyObject* is_connection_normal_poll(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    ModuleState* ms = nullptr;
    PyObject* sock = nullptr;
    Ref select = probe_arguments(args, nargs, kwnames, ms, sock);
    if (!select) {
        return nullptr;
    }
    Ref poller = call_method(ms->poll, select.get());
    if (!poller) {
        return nullptr;
    }
    Ref pollin = getattr(select.get(), ms->POLLIN);
    if (!pollin) {
        return nullptr;
    }
    Ref pollerr = getattr(select.get(), ms->POLLERR);
    if (!pollerr) {
        return nullptr;
    }
    Ref mask = Ref::steal(PyNumber_Or(pollin.get(), pollerr.get()));
    if (!mask || !call_method(ms->register_, poller.get(), sock, mask.get())) {
        return nullptr;
    }
    Ref events = call_method(ms->poll, poller.get(), ms->int_0);
    if (!events) {
        return nullptr;
    }
    int pending = PyObject_IsTrue(events.get());
    if (pending < 0) {
        return nullptr;
    }
    return PyBool_FromLong(!pending);
}

PyObject* is_connection_normal_select(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    ModuleState* ms = nullptr;
    PyObject* sock = nullptr;
    Ref select = probe_arguments(args, nargs, kwnames, ms, sock);
    if (!select) {
        return nullptr;
    }
    Ref read_list = Ref::steal(PyList_New(1));
    Ref write_list = Ref::steal(PyList_New(0));
    Ref error_list = Ref::steal(PyList_New(1));
    if (!read_list || !write_list || !error_list) {
        return nullptr;
    }
    PyList_SET_ITEM(read_list.get(), 0, Ref::new_ref(sock).release());
    PyList_SET_ITEM(error_list.get(), 0, Ref::new_ref(sock).release());
    Ref ready = call_method(ms->select, select.get(), read_list.get(), write_list.get(), error_list.get(), ms->int_0);
    Ref lists[3];  // readable, writable (unused), exceptional
    if (!ready || !unpack_exact(ready.get(), 3, lists)) {
        return nullptr;
    }
    int readable = PyObject_IsTrue(lists[0].get());
    if (readable < 0) {
        return nullptr;
    }
    if (readable) {
        Py_RETURN_FALSE;
    }
    int exceptional = PyObject_IsTrue(lists[2].get());
    if (exceptional < 0) {
        return nullptr;
    }
    return PyBool_FromLong(!exceptional);
}

// A connection inside a call is not idle, so not normal, whatever its socket
// shows; the probe is not consulted then.
PyObject* connection_is_normal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleState* ms = entry_state();
    if (ms == nullptr || !bind_no_args("is_normal", args, nargs, kwnames)) {
        return nullptr;
    }
    int busy = call_in_progress(*ms, self);
    if (busy != 0) {
        return busy > 0 ? Ref::new_ref(Py_False).release() : nullptr;
    }
    Ref probe = lookup_global(ms->is_connection_normal);
    if (!probe) {
        return nullptr;
    }
    Ref sock = getattr(self, ms->_socket);
    if (!sock) {
        return nullptr;
    }
    return call(probe.get(), sock.get()).release();
}

}  // namespace vantrel
