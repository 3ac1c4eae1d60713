// unpack_one and unpackb: a received body back to an object.
#include "args.h"
#include "compression.h"
#include "functions.h"
#include "header.h"
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
    long serializer = 0;
    long compression = 0;
    Ref st_code = code_of(a[1], serializer);
    Ref cm_code = st_code ? code_of(a[2], compression) : Ref();
    if (!cm_code) {
        return nullptr;
    }
    Ref body = Ref::new_ref(a[0]);
    // Anything but NONE (unknown codes included) goes to the decompressors.
    if (compression != kNone) {
        body = decompress(st, body.get(), cm_code.get(), a[3]);
        if (!body) {
            return nullptr;
        }
    }
    switch (serializer) {
        case kMsgpack:
            return decode_msgpack(st, body.get());
        case kJson:
            return PyObject_CallOneArg(st.py_json_loads, body.get());
        case kRaw:
            return PyBytes_CheckExact(body.get()) ? body.release() : PyBytes_FromObject(body.get());
        default:
            PyErr_Format(st.codec_error, "unknown serializer type: %R", st_code.get());
            return nullptr;
    }
}

PyObject* unpackb(PyObject* module, PyObject* data) {
    return decode_msgpack(state_of(module), data);
}

}  // namespace vantrel::codec
