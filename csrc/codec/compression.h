// The compressors: the pure-Python codec's, called from here, so that both
// codecs use the same libraries, levels, limits (a compressed bomb is refused)
// and per-thread contexts.
#pragma once

#include "module_state.h"

namespace vantrel::codec {

// body compressed with method `cm` (a known method other than NONE).
Ref compress(State& st, const char* data, std::size_t size, long cm);
// body expanded with method `cm` (any object; unknown ones raise CodecError)
// to at most `limit` bytes (null: MAX_DECOMPRESSED).
Ref decompress(State& st, PyObject* body, PyObject* cm, PyObject* limit);

}  // namespace vantrel::codec
