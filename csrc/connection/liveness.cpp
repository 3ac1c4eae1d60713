#include "liveness.h"

#include "pyutil.h"

namespace vantrel {

// Nothing pending means normal: no data to read (the end of the stream
// included) and no error condition.  Nothing is read from the socket.
PyObject* is_connection_normal_poll(PyObject* /*module*/, PyObject* sock) {
    ModuleState& st = state();
    Ref select = lookup_global(st.select);
    Ref poller = select ? call_method(st.poll, select.borrowed()) : Ref();
    if (!poller) {
        return nullptr;
    }
    Ref pollin = getattr(select.borrowed(), st.POLLIN);
    Ref pollerr = pollin ? getattr(select.borrowed(), st.POLLERR) : Ref();
    Ref mask = pollerr ? Ref::steal(PyNumber_Or(pollin.get(), pollerr.get())) : Ref();
    if (!mask || !call_method(st.register_, poller.borrowed(), sock, mask.get())) {
        return nullptr;
    }
    Ref events = call_method(st.poll, poller.borrowed(), st.int_0);
    if (!events) {
        return nullptr;
    }
    int pending = PyObject_IsTrue(events.get());
    if (pending < 0) {
        return nullptr;
    }
    return PyBool_FromLong(!pending);
}

PyObject* is_connection_normal_select(PyObject* /*module*/, PyObject* sock) {
    ModuleState& st = state();
    Ref select = lookup_global(st.select);
    Ref read_list = select ? Ref::steal(PyList_New(1)) : Ref();
    Ref write_list = read_list ? Ref::steal(PyList_New(0)) : Ref();
    Ref error_list = write_list ? Ref::steal(PyList_New(1)) : Ref();
    if (!error_list) {
        return nullptr;
    }
    PyList_SET_ITEM(read_list.get(), 0, Ref::borrow(sock).release());
    PyList_SET_ITEM(error_list.get(), 0, Ref::borrow(sock).release());
    Ref ready = call_method(st.select, select.borrowed(), read_list.get(), write_list.get(), error_list.get(),
                            st.int_0);
    Ref lists[3];  // readable, writable (unused), exceptional
    if (!ready || !unpack_exact(ready.borrowed(), 3, lists)) {
        return nullptr;
    }
    int readable = PyObject_IsTrue(lists[0].get());
    if (readable != 0) {
        return readable < 0 ? nullptr : Ref::borrow(Py_False).release();
    }
    int exceptional = PyObject_IsTrue(lists[2].get());
    if (exceptional < 0) {
        return nullptr;
    }
    return PyBool_FromLong(!exceptional);
}

PyObject* connection_is_normal(PyObject* self, PyObject* /*unused*/) {
    ModuleState& st = state();
    Ref probe = lookup_global(st.is_connection_normal);
    Ref sock = probe ? getattr(self, st._socket) : Ref();
    return sock ? call(probe.borrowed(), sock.get()).release() : nullptr;
}

}  // namespace vantrel
