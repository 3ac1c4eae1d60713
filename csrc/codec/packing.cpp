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

// The serialized body of `payload`: MSGPACK is appended to `buf`, JSON and
// RAW come as a bytes object in `body` (copied once, into the packet).
bool serialize(State& st, PyObject* payload, PyObject* code, long serializer, Buffer& buf, Ref& body) {
    if (serializer == kMsgpack) {
        return pack_msgpack(st.pack_types, payload, buf);
    }
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
        body = PyBytes_CheckExact(payload) ? Ref::new_ref(payload) : Ref::steal(PyBytes_FromObject(payload));
    } else {
        PyErr_Format(st.codec_error, "unknown serializer type: %R", code);
        return false;
    }
    return static_cast<bool>(body);
}

}  // namespace

PyObject* pack_one(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"payload", "msg_type", "serializer", "compression", "force_compress"};
    PyObject* a[5];
    if (!bind_args("pack_one", names, 5, 4, args, nargs, kwnames, a)) {
        return nullptr;
    }
    State& st = state_of(module);
    long msg_type = 0;
    long serializer = 0;
    long compression = 0;
    Ref mt_code = code_of(a[1], msg_type);
    Ref st_code = mt_code ? code_of(a[2], serializer) : Ref();
    Ref cm_code = st_code ? code_of(a[3], compression) : Ref();
    if (!cm_code) {
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
    Ref body;  // the body as bytes, or null while it is in `buf` behind the header's room
    if (!buf.skip(kHeaderLength) || !serialize(st, a[0], st_code.get(), serializer, buf, body)) {
        return nullptr;
    }
    if (compression < kNone || compression > kZstd) {
        PyErr_Format(st.codec_error, "unknown compression method: %R", cm_code.get());
        return nullptr;
    }
    const std::size_t body_length =
        body ? static_cast<std::size_t>(PyBytes_GET_SIZE(body.get())) : buf.size() - kHeaderLength;
    if (compression != kNone && !force && body_length < st.compress_threshold) {
        compression = kNone;  // too short to be worth it
    }
    if (compression != kNone) {
        if (!body) {
            body = Ref::steal(PyBytes_FromStringAndSize(buf.data() + kHeaderLength,
                                                        static_cast<Py_ssize_t>(body_length)));
        }
        body = body ? compress(st, body.get(), compression) : Ref();
        if (!body) {
            return nullptr;
        }
    }
    std::uint8_t mt = 0;
    if (!header_byte_value(st.struct_error, msg_type, mt)) {
        return nullptr;
    }
    if (!body) {  // MSGPACK, uncompressed: the header goes into the room left for it
        write_header(buf.data(), mt, static_cast<std::uint8_t>(serializer), kNone, static_cast<std::int64_t>(body_length));
        return PyBytes_FromStringAndSize(buf.data(), static_cast<Py_ssize_t>(buf.size()));
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(body.get());
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(kHeaderLength) + n);
    if (out != nullptr) {
        char* p = PyBytes_AS_STRING(out);
        write_header(p, mt, static_cast<std::uint8_t>(serializer), static_cast<std::uint8_t>(compression), n);
        std::memcpy(p + kHeaderLength, PyBytes_AS_STRING(body.get()), static_cast<std::size_t>(n));
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
