// The state of vantrel.share._ccodec: the Python objects its functions use,
// taken from the package at load and released with the module.
#pragma once

#include "msgpack_objects.h"
#include "packer.h"

namespace vantrel::codec {

#define VANTREL_CODEC_OBJECTS(X)                                                          \
    X(codec_error)          /* _codecbase.CodecError */                                   \
    X(unavailable_error)    /* _codecbase.CodecUnavailableError */                        \
    X(struct_error)         /* struct.error, for header fields out of range */           \
    X(ext_type)             /* _codecbase.ExtType */                                      \
    X(timestamp)            /* _codecbase.Timestamp */                                    \
    X(timestamp_from_bytes) /* Timestamp.from_bytes */                                    \
    X(py_compress)          /* _compression.compress(data, cm) */                         \
    X(py_decompress)        /* _compression.decompress(data, cm, limit) */                \
    X(py_json_dumps)        /* _jsonbody.dumps(payload) */                                \
    X(py_json_loads)        /* _jsonbody.loads(body) */                                   \
    X(max_decompressed)     /* MAX_DECOMPRESSED, the default limit */                     \
    X(items_name)           /* "items", what a dict subclass is packed from */            \
    X(seconds_name)         /* "seconds" and ...                                */        \
    X(nanoseconds_name)     /* "nanoseconds": what a Timestamp is packed from */

struct State {
#define VANTREL_FIELD(name) PyObject* name;
    VANTREL_CODEC_OBJECTS(VANTREL_FIELD)
#undef VANTREL_FIELD
    std::size_t compress_threshold;  // COMPRESS_THRESHOLD
    msgpack::StrCache strings;
    msgpack::ObjectContext objects;  // borrows from the fields above and `strings`
    PackTypes pack_types;            // likewise
};

inline State& state_of(PyObject* module) noexcept { return *static_cast<State*>(PyModule_GetState(module)); }

// The codes of the serializers and compression methods (vantrel.share.protocol).
enum : long { kRaw = 0, kJson = 1, kMsgpack = 2 };
enum : long { kNone = 0, kZstd = 4 };

}  // namespace vantrel::codec
