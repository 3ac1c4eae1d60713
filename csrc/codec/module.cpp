// vantrel.share._ccodec: the packet codec in C++ (the twin of _pycodec).
//
// pack_header, unpack_header, pack_one and unpack_one have the signatures,
// results and errors of the pure-Python codec.  MessagePack is the codec's
// own (packer.cpp, csrc/common/msgpack_objects.cpp); JSON and the compressors
// are the modules both codecs share (_jsonbody, _compression), called from
// here, so that their libraries, outputs, limits and per-thread contexts are
// the same.
#include "compat.h"
#include "functions.h"
#include "header.h"
#include "module_state.h"

namespace vantrel::codec {

namespace {

PyMethodDef methods[] = {
    {"pack_header", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pack_header)), METH_FASTCALL,
     "pack_header(msg_type, serializer, compression, length, /)\n--\n\n"
     "The header bytes for the given raw fields."},
    {"unpack_header", unpack_header, METH_O,
     "unpack_header(header, /)\n--\n\n"
     "Split a header into (msg_type, serializer, compression, length), all plain integers."},
    {"pack_one", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pack_one)), METH_FASTCALL | METH_KEYWORDS,
     "pack_one(payload, msg_type, serializer, compression, force_compress=False)\n--\n\n"
     "Encode payload into one complete packet, header and body.\n"
     "The codes are integers (or have __index__): TypeError for anything else."},
    {"unpack_one", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpack_one)),
     METH_FASTCALL | METH_KEYWORDS,
     "unpack_one(body, st, cm, limit=MAX_DECOMPRESSED)\n--\n\n"
     "Decode one received body: decompress with cm, then deserialize with st.\n"
     "The codes are integers (or have __index__): TypeError for anything else."},
    {"packb", packb, METH_O,
     "packb(obj, /)\n--\n\n"
     "The MessagePack bytes of obj, as msgpack.packb(obj, use_bin_type=True)."},
    {"unpackb", unpackb, METH_O,
     "unpackb(data, /)\n--\n\n"
     "The value of MessagePack bytes, as msgpack.unpackb(data, raw=False, strict_map_key=False)."},
    {nullptr, nullptr, 0, nullptr},
};

Ref attr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }

bool add(PyObject* module, const char* name, Ref value) {
    if (!value || PyModule_AddObject(module, name, value.get()) < 0) {  // steals only on success
        return false;
    }
    static_cast<void>(value.release());
    return true;
}

// Takes `name` of `source` into the state (a new reference in `field`).
bool keep(PyObject*& field, PyObject* source, const char* name) {
    field = PyObject_GetAttrString(source, name);
    return field != nullptr;
}

int exec_module(PyObject* module) {
    State& st = state_of(module);
    Ref base = Ref::steal(PyImport_ImportModule("vantrel.share._codecbase"));
    Ref compression = base ? Ref::steal(PyImport_ImportModule("vantrel.share._compression")) : Ref();
    Ref json = compression ? Ref::steal(PyImport_ImportModule("vantrel.share._jsonbody")) : Ref();
    Ref struct_module = json ? Ref::steal(PyImport_ImportModule("struct")) : Ref();
    if (!struct_module) {
        return -1;
    }
    if (!keep(st.codec_error, base.get(), "CodecError") ||
        !keep(st.unavailable_error, base.get(), "CodecUnavailableError") ||
        !keep(st.struct_error, struct_module.get(), "error") || !keep(st.ext_type, base.get(), "ExtType") ||
        !keep(st.timestamp, base.get(), "Timestamp") ||
        !keep(st.timestamp_from_bytes, st.timestamp, "from_bytes") ||
        !keep(st.py_compress, compression.get(), "compress") ||
        !keep(st.py_decompress, compression.get(), "decompress") ||
        !keep(st.py_json_dumps, json.get(), "dumps") || !keep(st.py_json_loads, json.get(), "loads") ||
        !keep(st.max_decompressed, base.get(), "MAX_DECOMPRESSED")) {
        return -1;
    }
    st.items_name = PyUnicode_InternFromString("items");
    st.seconds_name = st.items_name ? PyUnicode_InternFromString("seconds") : nullptr;
    st.nanoseconds_name = st.seconds_name ? PyUnicode_InternFromString("nanoseconds") : nullptr;
    if (st.nanoseconds_name == nullptr) {
        return -1;
    }
    Ref threshold = attr(base.get(), "COMPRESS_THRESHOLD");
    if (!threshold) {
        return -1;
    }
    st.compress_threshold = PyLong_AsSize_t(threshold.get());
    if (st.compress_threshold == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        return -1;
    }
    st.objects = msgpack::ObjectContext{st.codec_error, st.ext_type, st.timestamp_from_bytes, &st.strings};
    st.pack_types = PackTypes{st.ext_type, st.timestamp, st.items_name, st.seconds_name, st.nanoseconds_name};

    // `msgpack`: the codec's own MessagePack, never None (see codec.py).
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    Ref namespace_type = types ? attr(types.get(), "SimpleNamespace") : Ref();
    Ref fields = namespace_type ? Ref::steal(PyDict_New()) : Ref();
    if (!fields) {
        return -1;
    }
    for (const char* name : {"packb", "unpackb"}) {
        Ref fn = attr(module, name);
        if (!fn || PyDict_SetItemString(fields.get(), name, fn.get()) < 0) {
            return -1;
        }
    }
    if (PyDict_SetItemString(fields.get(), "ExtType", st.ext_type) < 0 ||
        PyDict_SetItemString(fields.get(), "Timestamp", st.timestamp) < 0) {
        return -1;
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref msgpack_ns = no_args ? Ref::steal(PyObject_Call(namespace_type.get(), no_args.get(), fields.get())) : Ref();
    return add(module, "msgpack", std::move(msgpack_ns)) &&
                   add(module, "CodecError", Ref::new_ref(st.codec_error)) &&
                   add(module, "CodecUnavailableError", Ref::new_ref(st.unavailable_error)) &&
                   add(module, "COMPRESS_THRESHOLD", std::move(threshold)) &&
                   add(module, "MAX_DECOMPRESSED", Ref::new_ref(st.max_decompressed)) &&
                   add(module, "HEADER_LENGTH", Ref::steal(PyLong_FromSize_t(kHeaderLength))) &&
                   add(module, "decompress", Ref::new_ref(st.py_decompress)) &&
                   add(module, "zstd", attr(compression.get(), "zstd")) &&
                   add(module, "brotli", attr(compression.get(), "brotli")) &&
                   add(module, "snappy", attr(compression.get(), "snappy"))
               ? 0
               : -1;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    auto* st = static_cast<State*>(PyModule_GetState(module));
    if (st != nullptr) {
#define VANTREL_VISIT(name) Py_VISIT(st->name);
        VANTREL_CODEC_OBJECTS(VANTREL_VISIT)
#undef VANTREL_VISIT
    }
    return 0;
}

int clear_module(PyObject* module) {
    auto* st = static_cast<State*>(PyModule_GetState(module));
    if (st != nullptr) {
        st->objects = msgpack::ObjectContext{};
        st->pack_types = PackTypes{};
        st->strings.clear();
#define VANTREL_CLEAR(name) Py_CLEAR(st->name);
        VANTREL_CODEC_OBJECTS(VANTREL_CLEAR)
#undef VANTREL_CLEAR
    }
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    VANTREL_SLOT_GIL_USED
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ccodec",
    "The packet codec in C++: the header, MessagePack of its own, JSON and the compressors.",
    sizeof(State),
    methods,
    slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace vantrel::codec

PyMODINIT_FUNC PyInit__ccodec(void) { return PyModuleDef_Init(&vantrel::codec::module_def); }
