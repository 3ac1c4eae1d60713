"""Packet encoding and decoding in pure Python: the twin of the native codec.

:mod:`vantrel.share.codec` uses the native codec (``vantrel.share._ccodec``)
when it is built and this module otherwise; both have the same functions,
results and errors.  MSGPACK here needs msgpack-python.

A packet is a header of :data:`HEADER_LENGTH` bytes followed by its body (see
docs/protocol.md for the byte layout).  :func:`pack_one` builds a whole packet,
:func:`unpack_header` splits a received header into its raw fields and
:func:`unpack_one` turns a received body back into an object.

The optional libraries are exposed under the names ``msgpack``, ``zstd``,
``brotli`` and ``snappy``: the imported library, or ``None`` when it is not
installed.  Asking for a serializer or compressor whose library is missing
raises :class:`CodecUnavailableError` naming it.  A corrupt or truncated body
makes :func:`unpack_one` raise :class:`CodecError` (the library's exception
is kept as its cause); it never returns a partial object.
"""

from __future__ import annotations

import operator
import struct
from typing import Any

from ._codecbase import (
    COMPRESS_THRESHOLD,
    MAX_DECOMPRESSED,
    CodecError,
    CodecUnavailableError,
    decode_error,
    need,
    paused_collector,
)
from ._compression import brotli, compressor, decompress, snappy, zstd
from ._jsonbody import decode as _decode_json
from ._jsonbody import dumps as _dumps_json
from .protocol import COMPRESSION_METHOD, HEADER_LENGTH, SERIALIZATION_TYPE

try:
    import msgpack
except ImportError:  # pragma: no cover - depends on the installed extras
    msgpack = None

__all__ = [
    "COMPRESS_THRESHOLD",
    "MAX_DECOMPRESSED",
    "CodecError",
    "CodecUnavailableError",
    "brotli",
    "decompress",
    "msgpack",
    "pack_header",
    "pack_one",
    "snappy",
    "unpack_header",
    "unpack_one",
    "zstd",
]

_HEADER = struct.Struct(">BBBxq")
assert _HEADER.size == HEADER_LENGTH

_RAW = int(SERIALIZATION_TYPE.RAW)
_JSON = int(SERIALIZATION_TYPE.JSON)
_MSGPACK = int(SERIALIZATION_TYPE.MSGPACK)
_NONE = int(COMPRESSION_METHOD.NONE)


# -- serializers -------------------------------------------------------------


def _serialize(payload: Any, st: int) -> bytes:
    if st == _MSGPACK:
        packed: bytes = need(msgpack, "MSGPACK", "msgpack").packb(payload, use_bin_type=True)
        return packed
    if st == _JSON:
        return _dumps_json(payload)
    if st == _RAW:
        if not isinstance(payload, (bytes, bytearray, memoryview)):
            raise CodecError(
                f"RAW bodies must be bytes-like, not {type(payload).__name__}")
        return bytes(payload)
    raise CodecError(f"unknown serializer type: {st!r}")


def _decode_msgpack(body: bytes) -> Any:
    lib = need(msgpack, "MSGPACK", "msgpack")
    try:
        return lib.unpackb(body, raw=False, strict_map_key=False)
    except (ValueError, TypeError) as exc:  # the library's errors, an unhashable key
        error = decode_error("MSGPACK", exc, len(body))
    try:
        raise error
    finally:
        del error  # the traceback holds this frame: no cycle through the local


def _deserialize(body: bytes, st: int) -> Any:
    if st == _MSGPACK:
        return paused_collector(_decode_msgpack, body)
    if st == _JSON:
        return paused_collector(_decode_json, body)
    if st == _RAW:
        return bytes(body)
    raise CodecError(f"unknown serializer type: {st!r}")


# -- packets -----------------------------------------------------------------


def pack_header(msg_type: int, serializer: int, compression: int, length: int) -> bytes:
    """Return the ``HEADER_LENGTH`` header bytes for the given raw fields."""
    return _HEADER.pack(msg_type, serializer, compression, length)


#: ``unpack_header(header)`` splits a header into ``(msg_type, serializer,
#: compression, length)``.  All four come back as plain integers, unknown codes
#: included: checking them is the reader's job.  ``length`` is signed; a value
#: not above 0 means that the packet has no body.  A header of another size
#: raises ``struct.error``.  It is the header struct's own ``unpack``, called
#: for every packet, so no Python frame stands between the reader and it.
unpack_header = _HEADER.unpack


_index = operator.index


def pack_one(payload: Any, msg_type: int, serializer: int, compression: int,
             force_compress: bool = False) -> bytes:
    """Encode ``payload`` into one complete packet, header and body.

    The body is serialized with ``serializer`` and then compressed with
    ``compression``, unless it is shorter than :data:`COMPRESS_THRESHOLD` and
    ``force_compress`` is false: it then goes uncompressed.  The header always
    records the compression actually applied.

    The three codes are integers (enum members, or objects with
    ``__index__``); anything else, a float or a ``Decimal`` included, raises
    ``TypeError``.  An unknown serializer or compression method raises
    :class:`CodecError`, a message type outside 0..255 ``struct.error``.
    """
    mt = msg_type if isinstance(msg_type, int) else _index(msg_type)
    st = serializer if isinstance(serializer, int) else _index(serializer)
    cm = compression if isinstance(compression, int) else _index(compression)
    body = _serialize(payload, st)
    if cm != _NONE:
        compress = compressor(cm)
        if force_compress or len(body) >= COMPRESS_THRESHOLD:
            body = compress(body)
        else:
            cm = _NONE
    return _HEADER.pack(mt, st, cm, len(body)) + body


def unpack_one(body: bytes, st: int, cm: int, limit: int = MAX_DECOMPRESSED) -> Any:
    """Decode one received body: decompress with ``cm``, then deserialize with ``st``.

    Raises :class:`CodecError` on a corrupt, truncated or over-long body, on
    an unknown code, on a codec whose library is missing, and on a compressed
    body that would expand beyond ``limit`` bytes; ``TypeError`` when ``st``
    or ``cm`` is not an integer (as :func:`pack_one`).
    """
    if not isinstance(st, int):
        st = _index(st)
    if not isinstance(cm, int):
        cm = _index(cm)
    if cm != _NONE:
        body = decompress(body, cm, limit)
    return _deserialize(body, st)
