// The compressors: vantrel.share._compression's, called from here, so that
// both codecs use the same libraries, levels, limits (a compressed bomb is
// refused) and per-thread contexts.
#pragma once

#include "module_state.h"

namespace vantrel::codec {

// `body` (bytes) compressed with method `cm` (a known method other than
// NONE), as a bytes object.
Ref compress(State& st, PyObject* body, long cm);
// body expanded with method `cm` (any object; unknown ones raise CodecError)
// to at most `limit` bytes (null: MAX_DECOMPRESSED).
Ref decompress(State& st, PyObject* body, PyObject* cm, PyObject* limit);

}  // namespace vantrel::codec
