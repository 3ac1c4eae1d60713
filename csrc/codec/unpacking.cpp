// unpack_one and unpackb: a received body back to an object.
#include "args.h"
#include "compression.h"
#include "functions.h"
#include "module_state.h"

namespace vantrel::codec {

namespace {

// The MessagePack value of a bytes-like body.
PyObject* decode_msgpack(State& st, PyObject* body) {
    if (PyBytes_Check(body)) {
        return msgpack::decode(st.objects, PyBytes_AS_STRING(body), static_cast<std::size_t>(PyBytes_GET_SIZE(body)))
            .release();
    }
    Py_buffer view;
    if (PyObject_GetBuffer(body, &view, PyBUF_SIMPLE) < 0) {
        return nullptr;
    }
    Ref v = msgpack::decode(st.objects, static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return v.release();
}

}  // namespace

PyObject* unpack_one(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"body", "st", "cm", "limit"};
    PyObject* a[4];
    if (!bind_args("unpack_one", names, 4, 3, args, nargs, kwnames, a)) {
        return nullptr;
    }
    State& st = state_of(module);
    PyObject* cm = a[2];
    Ref body = Ref::new_ref(a[0]);
    // Anything but NONE (unknown codes included) goes to the decompressors.
    bool none = false;
    if (PyLong_Check(cm)) {
        int overflow = 0;
        none = PyLong_AsLongLongAndOverflow(cm, &overflow) == kNone && overflow == 0;
    }
    if (!none) {
        body = decompress(st, body.get(), cm, a[3]);
        if (!body) {
            return nullptr;
        }
    }
    long serializer = -1;
    if (PyLong_Check(a[1])) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(a[1], &overflow);
        serializer = overflow == 0 && v >= kRaw && v <= kMsgpack ? static_cast<long>(v) : -1;
    }
    switch (serializer) {
        case kMsgpack:
            return decode_msgpack(st, body.get());
        case kJson:
            return PyObject_CallOneArg(st.py_json_loads, body.get());
        case kRaw:
            return PyBytes_CheckExact(body.get()) ? body.release() : PyBytes_FromObject(body.get());
        default:
            PyErr_Format(st.codec_error, "unknown serializer type: %R", a[1]);
            return nullptr;
    }
}

PyObject* unpackb(PyObject* module, PyObject* data) {
    return decode_msgpack(state_of(module), data);
}

}  // namespace vantrel::codec
