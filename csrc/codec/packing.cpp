// pack_one and packb: a payload to a whole packet, header and body.
#include <cstring>

#include "args.h"
#include "buffer.h"
#include "compression.h"
#include "functions.h"
#include "header.h"
#include "module_state.h"

namespace vantrel::codec {

namespace {

// int(o), as the pure-Python codec reads a code.
bool code_of(PyObject* o, long& out) {
    Ref number = PyLong_Check(o) ? Ref::new_ref(o) : Ref::steal(PyNumber_Long(o));
    if (!number) {
        return false;
    }
    out = PyLong_AsLong(number.get());
    return !(out == -1 && PyErr_Occurred());
}

// The serialized body of `payload`, appended to `buf`.
bool serialize(State& st, PyObject* payload, long serializer, Buffer& buf) {
    if (serializer == kMsgpack) {
        return pack_msgpack(st.pack_types, payload, buf);
    }
    Ref body;
    if (serializer == kJson) {
        body = Ref::steal(PyObject_CallOneArg(st.py_json_dumps, payload));
    } else if (serializer == kRaw) {
        if (!PyBytes_Check(payload) && !PyByteArray_Check(payload) && !PyMemoryView_Check(payload)) {
            Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(payload)), "__name__"));
            if (name) {
                PyErr_Format(st.codec_error, "RAW bodies must be bytes-like, not %S", name.get());
            }
            return false;
        }
        body = PyBytes_Check(payload) ? Ref::new_ref(payload) : Ref::steal(PyBytes_FromObject(payload));
    } else {
        PyErr_Format(st.codec_error, "unknown serializer type: %ld", serializer);
        return false;
    }
    return body && buf.append(PyBytes_AS_STRING(body.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(body.get())));
}

}  // namespace

PyObject* pack_one(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"payload", "msg_type", "serializer", "compression", "force_compress"};
    PyObject* a[5];
    if (!bind_args("pack_one", names, 5, 4, args, nargs, kwnames, a)) {
        return nullptr;
    }
    State& st = state_of(module);
    long serializer = 0;
    long compression = 0;
    if (!code_of(a[2], serializer) || !code_of(a[3], compression)) {
        return nullptr;
    }
    bool force = false;
    if (a[4] != nullptr) {
        int truth = PyObject_IsTrue(a[4]);
        if (truth < 0) {
            return nullptr;
        }
        force = truth != 0;
    }
    Buffer buf;
    if (!buf.skip(kHeaderLength) || !serialize(st, a[0], serializer, buf)) {
        return nullptr;
    }
    const std::size_t body_length = buf.size() - kHeaderLength;
    if (compression != kNone && (compression < kNone || compression > kZstd)) {
        PyErr_Format(st.codec_error, "unknown compression method: %ld", compression);
        return nullptr;
    }
    if (compression != kNone && !force && body_length < kCompressThreshold) {
        compression = kNone;  // too short to be worth it
    }
    Ref compressed;
    if (compression != kNone) {
        compressed = compress(st, buf.data() + kHeaderLength, body_length, compression);
        if (!compressed) {
            return nullptr;
        }
    }
    std::uint8_t mt = 0;
    if (!header_byte(st.struct_error, a[1], mt)) {
        return nullptr;
    }
    if (!compressed) {
        write_header(buf.data(), mt, static_cast<std::uint8_t>(serializer), kNone, static_cast<std::int64_t>(body_length));
        return PyBytes_FromStringAndSize(buf.data(), static_cast<Py_ssize_t>(buf.size()));
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(compressed.get());
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(kHeaderLength) + n);
    if (out != nullptr) {
        char* p = PyBytes_AS_STRING(out);
        write_header(p, mt, static_cast<std::uint8_t>(serializer), static_cast<std::uint8_t>(compression), n);
        std::memcpy(p + kHeaderLength, PyBytes_AS_STRING(compressed.get()), static_cast<std::size_t>(n));
    }
    return out;
}

PyObject* packb(PyObject* module, PyObject* obj) {
    Buffer buf;
    if (!pack_msgpack(state_of(module).pack_types, obj, buf)) {
        return nullptr;
    }
    return PyBytes_FromStringAndSize(buf.data(), static_cast<Py_ssize_t>(buf.size()));
}

}  // namespace vantrel::codec
