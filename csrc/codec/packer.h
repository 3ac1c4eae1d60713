// Python objects to MessagePack: the encoding half of the MSGPACK serializer.
//
// The bytes are those of msgpack-python's packb(obj, use_bin_type=True), and
// so are the refusals: TypeError for a type it cannot pack, OverflowError
// for an int outside [-2**63, 2**64), UnicodeEncodeError for a str that is not
// valid UTF-8 (lone surrogates), ValueError beyond 1024 levels of nesting.
#pragma once

#include "buffer.h"

namespace vantrel::codec {

// The extension classes packed as ext items, and the name of the method a
// dict subclass is packed from (borrowed, kept alive by the module state).
struct PackTypes {
    PyObject* ext_type = nullptr;   // a namedtuple (code, data); its subclasses too
    PyObject* timestamp = nullptr;  // .seconds, .nanoseconds; this exact class only
    PyObject* items = nullptr;      // "items"
};

// Appends the encoding of `obj` to `out`; false with the error set.
bool pack_msgpack(const PackTypes& types, PyObject* obj, Buffer& out);

}  // namespace vantrel::codec
