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

import gc
import json
import struct
import threading
import zlib
from typing import Any, Callable, Dict

from ._codecbase import COMPRESS_THRESHOLD, MAX_DECOMPRESSED, CodecError, CodecUnavailableError
from .protocol import COMPRESSION_METHOD, HEADER_LENGTH, SERIALIZATION_TYPE

try:
    import msgpack
except ImportError:  # pragma: no cover - depends on the installed extras
    msgpack = None

try:
    import zstandard as zstd
except ImportError:  # pragma: no cover
    zstd = None  # type: ignore[assignment]

try:
    import brotli
except ImportError:  # pragma: no cover
    brotli = None

try:
    import snappy
except ImportError:  # pragma: no cover
    snappy = None

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
_ZLIB = int(COMPRESSION_METHOD.ZLIB)
_SNAPPY = int(COMPRESSION_METHOD.SNAPPY)
_BROTLI = int(COMPRESSION_METHOD.BROTLI)
_ZSTD = int(COMPRESSION_METHOD.ZSTD)


def _need(lib: Any, name: str, package: str) -> Any:
    if lib is None:
        raise CodecUnavailableError(
            f"{name} is not available: install the '{package}' package "
            "(pip install 'vantrel[fast]')"
        )
    return lib


# -- serializers -------------------------------------------------------------


def _serialize_json(payload: Any) -> bytes:
    return json.dumps(payload, ensure_ascii=False, separators=(",", ":"),
                      allow_nan=False).encode("utf-8")


def _serialize(payload: Any, st: int) -> bytes:
    if st == _MSGPACK:
        packed: bytes = _need(msgpack, "MSGPACK", "msgpack").packb(payload, use_bin_type=True)
        return packed
    if st == _JSON:
        return _serialize_json(payload)
    if st == _RAW:
        if not isinstance(payload, (bytes, bytearray, memoryview)):
            raise CodecError(
                f"RAW bodies must be bytes-like, not {type(payload).__name__}")
        return bytes(payload)
    raise CodecError(f"unknown serializer type: {st!r}")


#: Bodies at least this long are decoded with the cyclic garbage collector
#: paused (see :func:`_deserialize`).
GC_PAUSE_MIN = 65536

_gc_isenabled = gc.isenabled
_gc_disable = gc.disable
_gc_enable = gc.enable


def _decode_error(name: str, exc: BaseException, size: int) -> CodecError:
    """What is wrong with a body and where, never what it holds.  msgpack's
    ExtraData carries the decoded value and UnicodeDecodeError the bytes, so
    neither is quoted nor kept as the cause."""
    extra = getattr(exc, "extra", None)
    if isinstance(extra, bytes):  # msgpack's ExtraData
        error = CodecError(f"invalid {name} body: {len(extra)} bytes of extra data after the value "
                           f"at offset {size - len(extra)}")
    elif isinstance(exc, UnicodeDecodeError):
        where = f"at offset {exc.start}" if name == "JSON" else "in a string"
        error = CodecError(f"invalid {name} body: invalid UTF-8 {where} ({exc.reason})")
    else:
        text = str(exc)
        error = CodecError(f"invalid {name} body: {type(exc).__name__}{': ' if text else ''}{text}")
        error.__cause__ = exc
    return error


def _decode(body: bytes, st: int) -> Any:
    if st == _MSGPACK:
        lib = _need(msgpack, "MSGPACK", "msgpack")
        try:
            return lib.unpackb(body, raw=False, strict_map_key=False)
        except (ValueError, TypeError) as exc:  # the library's errors, an unhashable key
            error = _decode_error("MSGPACK", exc, len(body))
    else:
        try:
            return json.loads(body.decode("utf-8"))
        except (ValueError, RecursionError) as exc:
            error = _decode_error("JSON", exc, len(body))
    error.__suppress_context__ = True
    try:
        raise error
    finally:
        del error  # the traceback holds this frame: no cycle through the local


def _deserialize(body: bytes, st: int) -> Any:
    if st in (_MSGPACK, _JSON):
        # A large body becomes many new containers (a table packet is a list
        # of thousands of row lists).  Every few hundred of them the collector
        # would pass over all the young ones, and then over the older ones they
        # were promoted to, although nothing being built can be garbage yet:
        # that pass costs about as much as the decoding itself.  Pausing the
        # collector for the decode leaves the result the same and lets the
        # next collection see the new objects once.
        if len(body) >= GC_PAUSE_MIN and _gc_isenabled():
            try:
                _gc_disable()
                return _decode(body, st)
            finally:
                _gc_enable()
        return _decode(body, st)
    if st == _RAW:
        return bytes(body)
    raise CodecError(f"unknown serializer type: {st!r}")


def _deserialize_json(body: bytes) -> Any:
    return _deserialize(body, _JSON)


# -- compressors -------------------------------------------------------------

#: A ZSTD frame that states its decompressed size, up to this many bytes, is
#: decompressed into one buffer of that size (see :func:`_zstd_decompress`).
ZSTD_ONE_SHOT_MAX = 64 * 1024 * 1024

# Input is fed to the streaming decompressors in steps of this size, with the
# output checked against the limit after each step.
_STEP = 16 * 1024

# Compression contexts are per thread: a zstandard context must not be used by
# two threads at once, and it releases the GIL while it works.
_contexts = threading.local()


def _too_large(name: str, limit: int) -> CodecError:
    return CodecError(f"{name} body expands beyond {limit} bytes")


def _zstd_compressor() -> Any:
    lib = _need(zstd, "ZSTD", "zstandard")
    cctx = getattr(_contexts, "zstd_c", None)
    if cctx is None:
        cctx = _contexts.zstd_c = lib.ZstdCompressor(level=3)
    return cctx


def _zstd_decompress(data: bytes, limit: int) -> bytes:
    lib = _need(zstd, "ZSTD", "zstandard")
    dctx = getattr(_contexts, "zstd_d", None)
    if dctx is None:
        dctx = _contexts.zstd_d = lib.ZstdDecompressor()
    try:
        return _zstd_decompress_with(lib, dctx, data, limit)
    except BaseException:
        # A context that failed on one body starts afresh for the next, so
        # that what a body decodes to (or why it fails) never depends on the
        # bodies decoded before it.
        _contexts.zstd_d = None
        raise


def _zstd_decompress_with(lib: Any, dctx: Any, data: bytes, limit: int) -> bytes:
    # A frame that states its size (our compressor always writes it) is
    # decompressed in one call into a buffer of exactly that size, instead of
    # being gathered in pieces and joined: less time and half the memory.  A
    # frame that is damaged, truncated or followed by more data fails that
    # call and goes the streaming way below, which reports it.
    try:
        size = lib.frame_content_size(data)
    except lib.ZstdError:
        size = -1
    if size > limit:
        raise _too_large("ZSTD", limit)
    if 0 <= size <= ZSTD_ONE_SHOT_MAX:
        try:
            whole: bytes = dctx.decompress(data, allow_extra_data=False)
            return whole
        except lib.ZstdError:
            pass
    dobj = dctx.decompressobj()
    parts = []
    total = 0
    view = memoryview(data)
    for offset in range(0, len(data), _STEP):
        part = dobj.decompress(view[offset:offset + _STEP])
        total += len(part)
        if total > limit:
            raise _too_large("ZSTD", limit)
        parts.append(part)
        if dobj.eof and offset + _STEP < len(data):
            raise CodecError("trailing data after ZSTD body")
    if not dobj.eof:
        raise CodecError("truncated ZSTD body")
    if dobj.unused_data:
        raise CodecError("trailing data after ZSTD body")
    return b"".join(parts)


def _zlib_decompress(data: bytes, limit: int) -> bytes:
    d = zlib.decompressobj()
    out = d.decompress(data, limit + 1)
    if len(out) > limit or d.unconsumed_tail:
        raise _too_large("ZLIB", limit)
    if not d.eof:
        raise CodecError("truncated ZLIB body")
    if d.unused_data:
        raise CodecError("trailing data after ZLIB body")
    return out


def _brotli_decompress(data: bytes, limit: int) -> bytes:
    lib = _need(brotli, "BROTLI", "brotli")
    d = lib.Decompressor()
    try:
        out = d.process(data, output_buffer_limit=limit + 1)
        pending = not d.is_finished() and not d.can_accept_more_data()
    except TypeError:  # a brotli without output limits: expand, then check
        out = d.process(data)
        pending = False
    if len(out) > limit or pending:
        raise _too_large("BROTLI", limit)
    if not d.is_finished():
        raise CodecError("truncated BROTLI body")
    return bytes(out)


def _snappy_length(data: bytes) -> int:
    # A snappy block starts with its uncompressed length as a little-endian
    # base-128 varint.
    length = 0
    for shift, byte in zip(range(0, 35, 7), data[:5]):
        length |= (byte & 0x7F) << shift
        if byte < 0x80:
            return length
    raise CodecError("corrupt SNAPPY body: bad length prefix")


def _snappy_decompress(data: bytes, limit: int) -> bytes:
    lib = _need(snappy, "SNAPPY", "python-snappy")
    if _snappy_length(data) > limit:
        raise _too_large("SNAPPY", limit)
    expanded: bytes = lib.decompress(data)
    return expanded


def _compressor(cm: Any) -> Callable[[bytes], bytes]:
    """The compressor of method ``cm``; CodecError for an unknown method."""
    try:
        return _COMPRESSORS[cm]
    except (KeyError, TypeError):
        raise CodecError(f"unknown compression method: {cm!r}") from None


def _compress(data: bytes, cm: int) -> bytes:
    return _compressor(cm)(data)


_COMPRESSORS: Dict[int, Callable[[bytes], bytes]] = {
    _ZLIB: lambda data: zlib.compress(data, 6),
    _ZSTD: lambda data: _zstd_compressor().compress(data),
    _BROTLI: lambda data: _need(brotli, "BROTLI", "brotli").compress(data, quality=4),
    _SNAPPY: lambda data: _need(snappy, "SNAPPY", "python-snappy").compress(data),
}

_DECOMPRESSORS: Dict[int, Callable[[bytes, int], bytes]] = {
    _ZLIB: _zlib_decompress,
    _ZSTD: _zstd_decompress,
    _BROTLI: _brotli_decompress,
    _SNAPPY: _snappy_decompress,
}


def decompress(data: bytes, cm: int, limit: int = MAX_DECOMPRESSED) -> bytes:
    """Decompress ``data`` with method ``cm`` (not NONE), refusing more than ``limit`` bytes.

    Raises :class:`CodecError` for an unknown method, a corrupt, truncated or
    over-long body and one that would expand beyond ``limit`` bytes.
    """
    try:
        expand = _DECOMPRESSORS[cm]
    except (KeyError, TypeError):
        raise CodecError(f"unknown compression method: {cm!r}") from None
    try:
        return expand(data, limit)
    except (CodecError, MemoryError):
        raise
    except Exception as exc:  # the library's own error for a corrupt body
        name = COMPRESSION_METHOD(cm).name
        raise CodecError(f"invalid {name} body: {exc!r}") from exc


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


def pack_one(payload: Any, msg_type: int, serializer: int, compression: int,
             force_compress: bool = False) -> bytes:
    """Encode ``payload`` into one complete packet, header and body.

    The body is serialized with ``serializer`` and then compressed with
    ``compression``, unless it is shorter than :data:`COMPRESS_THRESHOLD` and
    ``force_compress`` is false: it then goes uncompressed.  The header always
    records the compression actually applied.
    """
    st = int(serializer)
    cm = int(compression)
    body = _serialize(payload, st)
    if cm != _NONE:
        compress = _compressor(cm)
        if force_compress or len(body) >= COMPRESS_THRESHOLD:
            body = compress(body)
        else:
            cm = _NONE
    return _HEADER.pack(int(msg_type), st, cm, len(body)) + body


def unpack_one(body: bytes, st: int, cm: int, limit: int = MAX_DECOMPRESSED) -> Any:
    """Decode one received body: decompress with ``cm``, then deserialize with ``st``.

    Raises on a corrupt, truncated or over-long body, on an unknown code, on
    a codec whose library is missing, and on a compressed body that would
    expand beyond ``limit`` bytes.
    """
    if cm != _NONE:
        body = decompress(body, cm, limit)
    return _deserialize(body, st)
