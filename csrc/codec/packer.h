// Python objects to MessagePack: the encoding half of the MSGPACK serializer.
//
// The bytes are those of msgpack-python's packb(obj, use_bin_type=True), and
// so are the refusals: TypeError for a type it cannot pack, OverflowError
// for an int outside [-2**63, 2**64), UnicodeEncodeError for a str that is not
// valid UTF-8 (lone surrogates), ValueError beyond msgpack::kMaxDepth (1024)
// levels of nesting.  A dict subclass is packed as msgpack-python packs it,
// from len(obj) and the pairs of obj.items(), but one whose items() gives
// another number of pairs raises RuntimeError rather than write a map whose
// head disagrees with its pairs.
#pragma once

#include "buffer.h"

namespace vantrel::codec {

// The extension classes packed as ext items, and the name of the method a
// dict subclass is packed from (borrowed, kept alive by the module state).
struct PackTypes {
    PyObject* ext_type = nullptr;   // a namedtuple (code, data); its subclasses too
    PyObject* timestamp = nullptr;  // .seconds, .nanoseconds; this exact class only
    PyObject* items = nullptr;      // "items"
    PyObject* seconds = nullptr;    // "seconds"
    PyObject* nanoseconds = nullptr;  // "nanoseconds"
};

// Appends the encoding of `obj` to `out`; false with the error set.
bool pack_msgpack(const PackTypes& types, PyObject* obj, Buffer& out);

}  // namespace vantrel::codec
