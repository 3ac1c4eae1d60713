// The packet header: message type, serializer and compression method (one
// byte each), a reserved zero byte and the signed 64-bit body length, all
// big-endian (struct format ">BBBxq").
#pragma once

#include <cstddef>
#include <cstdint>

#include "ref.h"

namespace vantrel::codec {

inline constexpr std::size_t kHeaderLength = 12;

inline void write_header(char* p, std::uint8_t mt, std::uint8_t st, std::uint8_t cm, std::int64_t length) noexcept {
    p[0] = static_cast<char>(mt);
    p[1] = static_cast<char>(st);
    p[2] = static_cast<char>(cm);
    p[3] = 0;
    auto u = static_cast<std::uint64_t>(length);
    for (int k = 0; k < 8; ++k) {
        p[4 + k] = static_cast<char>(u >> (8 * (7 - k)));
    }
}

// A header byte from a Python integer; struct.error (as struct.pack) for
// anything else or a value outside 0..255.
bool header_byte(PyObject* struct_error, PyObject* o, std::uint8_t& out);
// The same for the value of an integer (-1 for one beyond any range).
bool header_byte_value(PyObject* struct_error, long long v, std::uint8_t& out);

// A code of pack_one or unpack_one (message type, serializer, compression
// method): an int (an enum member is one) or an object with __index__, as
// operator.index takes it; TypeError for anything else (a float, a Decimal, a
// str), whatever its value.  Returns the integer, with `value` its value or
// -1 beyond the range of a long (a code of no serializer or compressor).
Ref code_of(PyObject* o, long& value);

// pack_header(msg_type, serializer, compression, length) -> bytes
PyObject* pack_header(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// unpack_header(header) -> (msg_type, serializer, compression, length)
PyObject* unpack_header(PyObject* module, PyObject* header);

}  // namespace vantrel::codec
