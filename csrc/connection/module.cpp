// vantrel.connection: the load sequence, the load guards and the module state.
#include <atomic>

#include "bodies.h"
#include "connection_type.h"
#include "execute.h"
#include "liveness.h"
#include "module_state.h"
#include "pyutil.h"

namespace vantrel {

namespace {

// The module loaded in this process and its interpreter.  Both are set once,
// at the end of a successful load, and never released: the module is never
// torn down.  A failed load leaves them unset, so that a later import can
// try again.
std::atomic<PyInterpreterState*> loaded_interpreter{nullptr};
PyObject* loaded_module = nullptr;
ModuleState* loaded_state = nullptr;

ModuleState* get_state(PyObject* module) noexcept {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

PyMethodDef probe_poll_def = {
    "_is_connection_normal", FASTCALL_KW(is_connection_normal_poll), METH_FASTCALL | METH_KEYWORDS,
    "_is_connection_normal(sock, /)\n--\n\n"
    "True when neither data, end of stream nor an error is pending on sock (poll)."};
PyMethodDef probe_select_def = {
    "_is_connection_normal", FASTCALL_KW(is_connection_normal_select), METH_FASTCALL | METH_KEYWORDS,
    "_is_connection_normal(sock, /)\n--\n\n"
    "True when neither data, end of stream nor an error is pending on sock (select)."};

PyMethodDef begin_call_def = {
    "_begin_call", FASTCALL_KW(module_begin_call), METH_FASTCALL | METH_KEYWORDS,
    "_begin_call(conn, /)\n--\n\n"
    "Mark conn as inside a call (RuntimeError when another call is in progress on it)."};
PyMethodDef end_call_def = {
    "_end_call", FASTCALL_KW(module_end_call), METH_FASTCALL | METH_KEYWORDS,
    "_end_call(conn, /)\n--\n\n"
    "Remove the mark of _begin_call.  True when close() was called during the call:\n"
    "the reader and the socket are then closed here."};
// The asyncio client's straight decoding of stream bodies (bodies.h).
PyMethodDef extend_rows_def = {
    "_extend_rows", FASTCALL_KW(module_extend_rows), METH_FASTCALL | METH_KEYWORDS,
    "_extend_rows(result, keys, body, cm, /)\n--\n\n"
    "Append dict(zip(keys, row)) for each row of a MSGPACK table body to result;\n"
    "False, result unchanged, when the body cannot be decoded that way."};
PyMethodDef extend_items_def = {
    "_extend_items", FASTCALL_KW(module_extend_items), METH_FASTCALL | METH_KEYWORDS,
    "_extend_items(result, body, cm, /)\n--\n\n"
    "Append each element of a MSGPACK array body to result;\n"
    "False, result unchanged, when the body cannot be decoded that way."};

bool bind(PyObject* module, const char* name, const Ref& value) {
    return value && PyObject_SetAttrString(module, name, value.get()) == 0;
}

// from <module_name> import <names...>, binding each name in the module.
bool import_names(PyObject* module, const char* module_name, std::initializer_list<const char*> names) {
    Ref source = Ref::steal(PyImport_ImportModule(module_name));
    if (!source) {
        return false;
    }
    for (const char* name : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(source.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return false;
            }
            PyErr_Clear();
            Ref shown = Ref::steal(PyUnicode_FromString(name));
            if (shown) {
                PyErr_Format(PyExc_ImportError, "cannot import name %S", shown.get());
            }
            return false;
        }
        if (!bind(module, name, value)) {
            return false;
        }
    }
    return true;
}

Ref module_attr(PyObject* module, const char* name) {
    return Ref::steal(PyObject_GetAttrString(module, name));
}

// getattr(getattr(module, name), member)
Ref module_member(PyObject* module, const char* name, const char* member) {
    Ref owner = module_attr(module, name);
    if (!owner) {
        return {};
    }
    return module_attr(owner.get(), member);
}

bool init_state(PyObject* module, ModuleState& ms) {
#define VANTREL_INTERN(id, text)                                    \
    if ((ms.id = PyUnicode_InternFromString(text)) == nullptr) {   \
        return false;                                               \
    }
    VANTREL_NAMES(VANTREL_INTERN)
#undef VANTREL_INTERN
    ms.module_dict = Ref::new_ref(PyModule_GetDict(module)).release();
    ms.int_0 = PyLong_FromLong(0);
    ms.int_buffer = PyLong_FromLong(131072);
    ms.kw_force_compress = Py_BuildValue("(s)", "force_compress");
    ms.calls_in_progress = PySet_New(nullptr);
    ms.close_asked = PySet_New(nullptr);
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) {
        return false;
    }
    ms.slice_from_1 = PySlice_New(one.get(), Py_None, Py_None);
    return ms.module_dict && ms.int_0 && ms.int_buffer && ms.kw_force_compress && ms.calls_in_progress &&
           ms.close_asked &&
           ms.slice_from_1;
}

// The class of server errors, kept for execute: such an error arrives in a
// whole ERROR packet and ends its answer cleanly.  An errors module without
// one gives the empty tuple, of which nothing is an instance.
bool bind_server_error(ModuleState& ms) {
    Ref errors = Ref::steal(PyImport_ImportModule("vantrel.share.errors"));
    if (!errors) {
        return false;
    }
    Ref cls = module_attr(errors.get(), "ServerError");
    if (!cls) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        cls = Ref::steal(PyTuple_New(0));
        if (!cls) {
            return false;
        }
    }
    ms.server_error = cls.release();
    return true;
}

// The default compression: the first available of brotli, zstd and snappy,
// else zlib.  Availability is an identity test against None.
bool bind_default_compression(PyObject* module) {
    const char* compression = "ZLIB";
    const std::pair<const char*, const char*> preference[] = {
        {"brotli", "BROTLI"}, {"zstd", "ZSTD"}, {"snappy", "SNAPPY"}};
    for (const auto& [library, member] : preference) {
        Ref lib = module_attr(module, library);
        if (!lib) {
            return false;
        }
        if (lib.get() != Py_None) {
            compression = member;
            break;
        }
    }
    return bind(module, "DEFAULT_COMPRESSION_METHOD", module_member(module, "COMPRESSION_METHOD", compression));
}

bool bind_default_serializer(PyObject* module) {
    Ref msgpack = module_attr(module, "msgpack");
    if (!msgpack) {
        return false;
    }
    const char* serializer = msgpack.get() == Py_None ? "JSON" : "MSGPACK";
    return bind(module, "DEFAULT_SERIALIZER_TYPE", module_member(module, "SERIALIZATION_TYPE", serializer));
}

// The native codec's decoding, taken for stream bodies decoded straight into
// their results (bodies.h).  Without the native codec there is nothing to
// take, and every body goes through unpack_one.
bool bind_native_codec(ModuleState& ms) {
    Ref codec = Ref::steal(PyImport_ImportModule("vantrel.share._ccodec"));
    if (!codec) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    Ref base = Ref::steal(PyImport_ImportModule("vantrel.share._codecbase"));
    if (!base) {
        return false;
    }
    Ref timestamp = module_attr(base.get(), "Timestamp");
    if (!timestamp) {
        return false;
    }
    ms.native_unpack_one = module_attr(codec.get(), "unpack_one").release();
    ms.native_decompress = module_attr(codec.get(), "decompress").release();
    ms.max_decompressed = module_attr(codec.get(), "MAX_DECOMPRESSED").release();
    ms.codec_error = module_attr(base.get(), "CodecError").release();
    ms.ext_type = module_attr(base.get(), "ExtType").release();
    ms.timestamp_from_bytes = module_attr(timestamp.get(), "from_bytes").release();
    if (!ms.native_unpack_one || !ms.native_decompress || !ms.max_decompressed || !ms.codec_error ||
        !ms.ext_type || !ms.timestamp_from_bytes) {
        return false;
    }
    ms.objects = msgpack::ObjectContext{ms.codec_error, ms.ext_type, ms.timestamp_from_bytes, &ms.strings};
    return true;
}

// _fast_paths: the paths over CPython's internals compiled into this build
// (compat.h), a frozenset of their names; empty in a public-API build.
bool bind_fast_paths(PyObject* module) {
    Ref names = Ref::steal(PyFrozenSet_New(nullptr));
    const char* compiled[] = {
        VANTREL_DICT_LAYOUT != 0 ? "dict_entries" : nullptr,
        VANTREL_DICT_VERSION != 0 ? "globals_cache" : nullptr,
        VANTREL_DEFERRED_GC != 0 ? "deferred_collection" : nullptr,
    };
    for (const char* name : compiled) {
        if (!names) {
            return false;
        }
        if (name != nullptr) {
            Ref text = Ref::steal(PyUnicode_InternFromString(name));
            if (!text || PySet_Add(names.get(), text.get()) < 0) {
                return false;
            }
        }
    }
    return bind(module, "_fast_paths", names);
}

// The load sequence; the first failing step ends the load with its exception.
bool load(PyObject* module, ModuleState& ms) {
    if (!init_state(module, ms)) {
        return false;
    }
    for (const char* name : {"socket", "select", "warnings"}) {
        if (!bind(module, name, Ref::steal(PyImport_ImportModule(name)))) {
            return false;
        }
    }
    if (!import_names(module, "vantrel.share.protocol",
                      {"MSG_TYPE", "SERIALIZATION_TYPE", "COMPRESSION_METHOD", "HEADER_LENGTH"}) ||
        !import_names(module, "vantrel.share.errors", {"get_error"}) || !bind_server_error(ms) ||
        !import_names(module, "vantrel.share.codec",
                      {"snappy", "brotli", "msgpack", "unpack_header", "pack_one", "unpack_one", "zstd"}) ||
        !import_names(module, "vantrel.utils", {"connection_error"}) || !bind_native_codec(ms)) {
        return false;
    }
    if (!bind_default_compression(module) || !bind_default_serializer(module) || !bind_fast_paths(module)) {
        return false;
    }
    Ref select = module_attr(module, "select");
    if (!select) {
        return false;
    }
    ms.int_shut_rdwr = module_member(module, "socket", "SHUT_RDWR").release();
    if (ms.int_shut_rdwr == nullptr) {
        return false;
    }
    // Any failure of the look-up (an Exception) counts as no poll().  Not
    // PyObject_HasAttrString: from 3.13 on it reports such a failure as
    // unraisable, and it would swallow a KeyboardInterrupt as well.
    Ref poll = module_attr(select.get(), "poll");
    if (!poll) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return false;
        }
        PyErr_Clear();
    }
    PyMethodDef* probe = poll ? &probe_poll_def : &probe_select_def;
    Ref module_name = module_attr(module, "__name__");
    if (!module_name ||
        !bind(module, "_is_connection_normal", Ref::steal(PyCFunction_NewEx(probe, module, module_name.get())))) {
        return false;
    }
    Ref base = module_attr(module, "connection_error");
    if (!base || !bind(module, "ProtocolError",
                       Ref::steal(PyErr_NewException("vantrel.connection.ProtocolError", base.get(), nullptr)))) {
        return false;
    }
    Ref create_connection = module_member(module, "socket", "create_connection");
    if (!create_connection) {
        return false;
    }
    if (!bind(module, "Connection", make_connection_class(module_name.get(), create_connection.get()))) {
        return false;
    }
    // Private helpers of the package's other readers of answers.
    for (PyMethodDef* def : {&begin_call_def, &end_call_def, &extend_rows_def, &extend_items_def}) {
        if (!bind(module, def->ml_name, Ref::steal(PyCFunction_NewEx(def, module, module_name.get())))) {
            return false;
        }
    }
    return true;
}

int exec_module(PyObject* module) {
    PyInterpreterState* interp = PyInterpreterState_Get();
    PyInterpreterState* first = loaded_interpreter.load();
    if (first != nullptr && first != interp) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return -1;
    }
    if (loaded_module != nullptr) {
        if (loaded_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'connection' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    ModuleState* ms = get_state(module);
    if (ms == nullptr || !load(module, *ms)) {
        return -1;  // the state is released with the module object
    }
    publish_state(module);
    loaded_interpreter.store(interp);
    return 0;
}

#define VANTREL_VISIT(id, text) Py_VISIT(ms->id);
#define VANTREL_CLEAR(id, text) Py_CLEAR(ms->id);
#define VANTREL_CONSTANTS(X) \
    X(module_dict, _)        \
    X(int_0, _)              \
    X(int_buffer, _)         \
    X(int_shut_rdwr, _)      \
    X(slice_from_1, _)       \
    X(kw_force_compress, _)  \
    X(server_error, _)       \
    X(calls_in_progress, _)  \
    X(close_asked, _)        \
    X(native_unpack_one, _)  \
    X(native_decompress, _)  \
    X(max_decompressed, _)   \
    X(codec_error, _)        \
    X(ext_type, _)           \
    X(timestamp_from_bytes, _)

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* ms = get_state(module);
    if (ms != nullptr) {
        VANTREL_NAMES(VANTREL_VISIT)
        VANTREL_CONSTANTS(VANTREL_VISIT)
    }
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState* ms = get_state(module);
    if (ms != nullptr) {
        ms->objects = msgpack::ObjectContext{};
        ms->strings.clear();
        VANTREL_NAMES(VANTREL_CLEAR)
        VANTREL_CONSTANTS(VANTREL_CLEAR)
    }
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Any interpreter may attempt the load; the guard above refuses all but
    // the first with its own error, so no state is ever shared.
    VANTREL_SLOT_MULTIPLE_INTERPRETERS(Py_MOD_PER_INTERPRETER_GIL_SUPPORTED)
    VANTREL_SLOT_GIL_USED
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "connection",
    "The vantrel client connection: packets, handshake, remote calls and streams.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

ModuleState* entry_state() noexcept {
    if (loaded_state == nullptr) {
        PyErr_SetString(PyExc_ImportError, "vantrel.connection did not finish loading");
    }
    return loaded_state;
}

ModuleState& state() noexcept { return *loaded_state; }

void publish_state(PyObject* module) noexcept {
    loaded_module = Ref::new_ref(module).release();  // kept for the life of the process
    loaded_state = get_state(module);
}

}  // namespace vantrel

PyMODINIT_FUNC PyInit_connection(void) { return PyModuleDef_Init(&vantrel::module_def); }
