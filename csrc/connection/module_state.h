// Per-module state: the interned names and constants that the methods use.
//
// The module is initialised once per process (the load guards refuse a second
// interpreter and a second module object), so the methods reach the state of
// that one module through entry_state(); it exists only after a successful
// load.
#pragma once

#include "msgpack_objects.h"
#include "ref.h"

namespace vantrel {

// Interned strings, in one table so that creation, traversal and clearing
// stay in step.  X(identifier, text)
#define VANTREL_NAMES(X)                                  \
    /* module globals looked up at each use */            \
    X(MSG_TYPE, "MSG_TYPE")                               \
    X(SERIALIZATION_TYPE, "SERIALIZATION_TYPE")           \
    X(COMPRESSION_METHOD, "COMPRESSION_METHOD")           \
    X(HEADER_LENGTH, "HEADER_LENGTH")                     \
    X(get_error, "get_error")                             \
    X(unpack_header, "unpack_header")                     \
    X(pack_one, "pack_one")                               \
    X(unpack_one, "unpack_one")                           \
    X(DEFAULT_COMPRESSION_METHOD, "DEFAULT_COMPRESSION_METHOD") \
    X(DEFAULT_SERIALIZER_TYPE, "DEFAULT_SERIALIZER_TYPE") \
    X(ProtocolError, "ProtocolError")                     \
    X(Connection, "Connection")                           \
    X(is_connection_normal, "_is_connection_normal")      \
    X(warnings, "warnings")                               \
    X(select, "select")                                   \
    /* enumeration members */                             \
    X(HANDSHAKE, "HANDSHAKE")                             \
    X(REQUEST, "REQUEST")                                 \
    X(RESPONSE, "RESPONSE")                               \
    X(ERROR, "ERROR")                                     \
    X(STREAM_START, "STREAM_START")                       \
    X(STREAM_END, "STREAM_END")                           \
    X(FEED, "FEED")                                       \
    X(TABLE, "TABLE")                                     \
    X(TABLE2, "TABLE2")                                   \
    X(RAW, "RAW")                                         \
    X(MSGPACK, "MSGPACK")                                 \
    X(NONE, "NONE")                                       \
    X(ZSTD, "ZSTD")                                       \
    /* instance attributes */                             \
    X(_socket, "_socket")                                 \
    X(_sf, "_sf")                                         \
    X(_compression_method, "_compression_method")         \
    X(_serializer_type, "_serializer_type")               \
    X(_auth_info, "_auth_info")                           \
    X(_read_one_packet, "_read_one_packet")               \
    X(_do_auth, "_do_auth")                               \
    X(table_unpack, "table_unpack")                       \
    X(table2_unpack, "table2_unpack")                     \
    X(feed_unpack, "feed_unpack")                         \
    X(sock_factory, "sock_factory")                       \
    X(_call_life, "_call_life")                           \
    X(call_failed, "call_failed")                         \
    X(limit, "limit")                                     \
    X(room, "room")                                       \
    X(max_answer_bytes, "max_answer_bytes")               \
    X(deadline, "deadline")                               \
    /* methods of sockets, readers and helpers */         \
    X(read, "read")                                       \
    X(sendall, "sendall")                                 \
    X(makefile, "makefile")                               \
    X(getsockname, "getsockname")                         \
    X(settimeout, "settimeout")                           \
    X(shutdown, "shutdown")                               \
    X(close, "close")                                     \
    X(copy, "copy")                                       \
    X(warn, "warn")                                       \
    X(poll, "poll")                                       \
    X(register_, "register")                              \
    X(POLLIN, "POLLIN")                                   \
    X(POLLERR, "POLLERR")                                 \
    /* texts */                                           \
    X(node, "node")                                       \
    X(rb, "rb")                                           \
    X(empty, "")

struct ModuleState {
#define VANTREL_FIELD(id, text) PyObject* id;
    VANTREL_NAMES(VANTREL_FIELD)
#undef VANTREL_FIELD
    PyObject* module_dict;      // the module's namespace (owned)
    PyObject* int_0;            // 0
    PyObject* int_buffer;       // 131072, the reader's buffer size
    PyObject* int_shut_rdwr;    // socket.SHUT_RDWR
    PyObject* slice_from_1;     // slice(1, None)
    PyObject* kw_force_compress;  // ("force_compress",)
    PyObject* server_error;     // vantrel.share.errors.ServerError, () without one
    PyObject* calls_in_progress;  // set of the addresses of connections inside a call (or close())
    PyObject* close_asked;        // set of the addresses of those whose close() came during a call
    // The native codec, for stream bodies decoded straight into their
    // results; all NULL when vantrel.share._ccodec is not built.
    PyObject* native_unpack_one;  // _ccodec.unpack_one, compared by identity
    PyObject* native_decompress;  // _ccodec.decompress(data, cm, limit)
    PyObject* max_decompressed;   // _ccodec.MAX_DECOMPRESSED, unpack_one's limit
    PyObject* codec_error;        // _codecbase.CodecError
    PyObject* ext_type;           // _codecbase.ExtType
    PyObject* timestamp_from_bytes;  // _codecbase.Timestamp.from_bytes
    msgpack::StrCache strings;
    msgpack::ObjectContext objects;  // borrows the four fields above
};

// The state of the loaded module, for every function and method that the
// module hands out.  NULL, with ImportError set, while no load has completed:
// a callable taken from a module whose load then failed raises instead of
// reading state that does not exist.
ModuleState* entry_state() noexcept;

// The same state, inside a call that has already passed entry_state().
ModuleState& state() noexcept;

// Called by the module's exec function once the load has succeeded.
void publish_state(PyObject* module) noexcept;

}  // namespace vantrel
