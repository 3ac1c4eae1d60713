#include "connection_type.h"

#include "collectors.h"
#include "execute.h"
#include "lifecycle.h"
#include "liveness.h"
#include "pyutil.h"
#include "reader.h"

namespace vantrel {

namespace {

// The methods, in the order in which the class namespace holds them.
PyMethodDef connection_methods[] = {
    {"__init__", FASTCALL_KW(connection_init), METH_FASTCALL | METH_KEYWORDS,
     "__init__($self, /, sock, auth)\n--\n\n"
     "Wrap a connected socket and authenticate with the record `auth`."},
    {"set_timeout", FASTCALL_KW(connection_set_timeout), METH_FASTCALL | METH_KEYWORDS,
     "set_timeout($self, /, timeout)\n--\n\n"
     "Set the time-out of the connection's socket (None blocks, 0 never waits)."},
    {"is_normal", FASTCALL_KW(connection_is_normal), METH_FASTCALL | METH_KEYWORDS,
     "is_normal($self, /)\n--\n\n"
     "True when nothing is pending on the idle connection's socket."},
    {"_read_one_packet", FASTCALL_KW(connection_read_one_packet), METH_FASTCALL | METH_KEYWORDS,
     "_read_one_packet($self, /)\n--\n\n"
     "Read, validate and decode one packet; return (message type, body)."},
    {"_do_auth", FASTCALL_KW(connection_do_auth), METH_FASTCALL | METH_KEYWORDS,
     "_do_auth($self, /, auth)\n--\n\n"
     "Run the handshake with the authentication record `auth`."},
    {"close", FASTCALL_KW(connection_close), METH_FASTCALL | METH_KEYWORDS,
     "close($self, /)\n--\n\n"
     "Close the reader, then the socket."},
    {"execute", FASTCALL_KW(connection_execute), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, /, method, *args, **kwargs)\n--\n\n"
     "Run one remote call and return its whole answer."},
    {"feed_unpack", FASTCALL_KW(connection_feed_unpack), METH_FASTCALL | METH_KEYWORDS,
     "feed_unpack($self, /, first)\n--\n\n"
     "Collect a feed stream into one list of its items."},
    {"table_unpack", FASTCALL_KW(connection_table_unpack), METH_FASTCALL | METH_KEYWORDS,
     "table_unpack($self, /, first)\n--\n\n"
     "Collect a table stream into a list of row dictionaries."},
    {"table2_unpack", FASTCALL_KW(connection_table2_unpack), METH_FASTCALL | METH_KEYWORDS,
     "table2_unpack($self, /, first)\n--\n\n"
     "Collect a table2 stream into the pair (head, data)."},
};

PyMethodDef set_sock_factory_def = {
    "set_sock_factory", FASTCALL_KW(connection_set_sock_factory), METH_FASTCALL | METH_KEYWORDS,
    "set_sock_factory(func, /)\n--\n\n"
    "Replace the socket factory shared by all connections."};

const char class_doc[] =
    "Connection(sock, auth)\n\n"
    "A client connection over a connected stream socket.  The constructor\n"
    "authenticates with the record `auth` before it returns; `execute` runs\n"
    "remote calls.";

}  // namespace

Ref make_connection_class(PyObject* module_name, PyObject* create_connection) {
    // The namespace is laid out as a class statement would: every member is
    // entered at its place first, then the methods, which need the class
    // itself, replace their placeholders.
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) {
        return {};
    }
    Ref qualname = Ref::steal(PyUnicode_InternFromString("Connection"));
    if (!qualname) {
        return {};
    }
    Ref doc = Ref::steal(PyUnicode_FromString(class_doc));
    if (!doc) {
        return {};
    }
    Ref factory = Ref::steal(PyStaticMethod_New(create_connection));
    if (!factory || PyDict_SetItemString(ns.get(), "__module__", module_name) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "sock_factory", factory.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "set_sock_factory", Py_None) < 0) {
        return {};
    }
    for (PyMethodDef& def : connection_methods) {
        if (PyDict_SetItemString(ns.get(), def.ml_name, Py_None) < 0) {
            return {};
        }
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!bases) {
        return {};
    }
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), qualname.get(), bases.get(), ns.get());
    if (!cls) {
        return {};
    }
    // A static method whose function belongs to the class, so that its
    // qualified name is "Connection.set_sock_factory".
    Ref setter = Ref::steal(PyCFunction_NewEx(&set_sock_factory_def, cls.get(), module_name));
    if (!setter) {
        return {};
    }
    Ref static_setter = Ref::steal(PyStaticMethod_New(setter.get()));
    if (!static_setter || PyObject_SetAttrString(cls.get(), "set_sock_factory", static_setter.get()) < 0) {
        return {};
    }
    for (PyMethodDef& def : connection_methods) {
        Ref descr = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.get()), &def));
        if (!descr || PyObject_SetAttrString(cls.get(), def.ml_name, descr.get()) < 0) {
            return {};
        }
    }
    return cls;
}

}  // namespace vantrel
