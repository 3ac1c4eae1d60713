"""The compressors of packet bodies, shared by both codecs.

Both the native codec (``vantrel.share._ccodec``) and the pure-Python one
(``vantrel.share._pycodec``) compress and expand bodies with these functions,
so that their libraries, levels, limits and per-thread contexts are the same.

:func:`decompress` refuses a body that would expand beyond ``limit`` bytes,
and finds that out without holding much more than ``limit`` bytes: every
decompressor produces its output in steps of about :data:`OUTPUT_STEP` bytes
and counts it as it comes, so that a small compressed "bomb" costs at most
the limit and one step (a SNAPPY block states its length first and is
refused before it is expanded).

The optional libraries are the names ``zstd``, ``brotli`` and ``snappy``: the
imported library, or ``None`` when it is missing.  A brotli older than 1.2
cannot bound its output and counts as missing.
"""

from __future__ import annotations

import threading
import zlib
from typing import Any, Callable, Dict, Iterator, List

from ._codecbase import MAX_DECOMPRESSED, CodecError, need
from .protocol import COMPRESSION_METHOD

try:
    import zstandard as zstd
except ImportError:  # pragma: no cover - depends on the installed extras
    zstd = None  # type: ignore[assignment]

try:
    import brotli
except ImportError:  # pragma: no cover
    brotli = None
if brotli is not None and not hasattr(brotli.Decompressor, "can_accept_more_data"):
    brotli = None  # pragma: no cover - no output limit before brotli 1.2

try:
    import snappy
except ImportError:  # pragma: no cover
    snappy = None

__all__ = ["OUTPUT_STEP", "ZSTD_ONE_SHOT_MAX", "brotli", "compress", "decompress", "snappy", "zstd"]

_ZLIB = int(COMPRESSION_METHOD.ZLIB)
_SNAPPY = int(COMPRESSION_METHOD.SNAPPY)
_BROTLI = int(COMPRESSION_METHOD.BROTLI)
_ZSTD = int(COMPRESSION_METHOD.ZSTD)

#: The decompressors produce their output in steps of about this many bytes
#: (a ZSTD step may end up to one block, 128 KiB, further).
OUTPUT_STEP = 256 * 1024

#: A ZSTD frame that states its decompressed size, up to this many bytes, is
#: decompressed into one buffer of that size (see :func:`_zstd_decompress`).
ZSTD_ONE_SHOT_MAX = 64 * 1024 * 1024

# The most bytes one ZSTD block expands to.
_ZSTD_BLOCK_MAX = 128 * 1024

# Compression contexts are per thread: a zstandard context must not be used by
# two threads at once, and it releases the GIL while it works.
_contexts = threading.local()


def _too_large(name: str, limit: int) -> CodecError:
    return CodecError(f"{name} body expands beyond {limit} bytes")


class _Output:
    """The parts of an output as they come, refused once they pass the limit."""

    __slots__ = ("limit", "name", "parts", "total")

    def __init__(self, name: str, limit: int) -> None:
        self.name = name
        self.limit = limit
        self.parts: List[bytes] = []
        self.total = 0

    def add(self, part: bytes) -> None:
        self.total += len(part)
        if self.total > self.limit:
            raise _too_large(self.name, self.limit)
        self.parts.append(part)

    def joined(self) -> bytes:
        return self.parts[0] if len(self.parts) == 1 else b"".join(self.parts)


# -- zstd --------------------------------------------------------------------


def _zstd_compressor() -> Any:
    lib = need(zstd, "ZSTD", "zstandard")
    cctx = getattr(_contexts, "zstd_c", None)
    if cctx is None:
        cctx = _contexts.zstd_c = lib.ZstdCompressor(level=3)
    return cctx


def _zstd_decompress(data: bytes, limit: int) -> bytes:
    lib = need(zstd, "ZSTD", "zstandard")
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


def _zstd_cuts(lib: Any, data: bytes) -> Iterator[int]:
    """Where to cut the input so that each piece expands to at most about
    OUTPUT_STEP bytes: after runs of whole blocks of the frame, then at its end.

    Each block starts with a 3-byte little-endian head: bit 0 marks the last
    block, bits 1-2 give its type (raw, RLE, compressed, reserved) and the
    rest its size, which for an RLE block is the size it expands to (its
    content is one byte).  A compressed block expands to at most 128 KiB.
    The decompressor checks all of this; the cuts only bound each step.
    """
    try:
        pos = lib.frame_header_size(data)
    except lib.ZstdError:
        pos = len(data)  # not a frame: the decompressor reports it
    end = len(data)
    bound = 0
    while pos + 3 <= end:
        head = data[pos] | data[pos + 1] << 8 | data[pos + 2] << 16
        kind = head >> 1 & 3
        size = head >> 3
        pos += 3 + (1 if kind == 1 else size)
        bound += _ZSTD_BLOCK_MAX if kind == 2 else size
        if head & 1:
            break
        if bound >= OUTPUT_STEP:
            yield pos
            bound = 0
    yield end


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
    out = _Output("ZSTD", limit)
    view = memoryview(data)
    start = 0
    for cut in _zstd_cuts(lib, data):
        if dobj.eof:
            raise CodecError("trailing data after ZSTD body")
        out.add(dobj.decompress(view[start:cut]))
        start = cut
    if not dobj.eof:
        raise CodecError("truncated ZSTD body")
    if dobj.unused_data:
        raise CodecError("trailing data after ZSTD body")
    return out.joined()


# -- zlib, brotli, snappy -------------------------------------------------------


def _zlib_decompress(data: bytes, limit: int) -> bytes:
    d = zlib.decompressobj()
    out = _Output("ZLIB", limit)
    pending = data
    while not d.eof:
        part = d.decompress(pending, OUTPUT_STEP)
        if not part and not d.eof:  # all the input taken, nothing more to give
            raise CodecError("truncated ZLIB body")
        out.add(part)
        pending = d.unconsumed_tail
    if d.unused_data:
        raise CodecError("trailing data after ZLIB body")
    return out.joined()


def _brotli_decompress(data: bytes, limit: int) -> bytes:
    lib = need(brotli, "BROTLI", "brotli>=1.2")
    d = lib.Decompressor()
    out = _Output("BROTLI", limit)
    part = d.process(data, output_buffer_limit=OUTPUT_STEP)
    while part:
        out.add(part)
        if d.is_finished():
            break
        part = d.process(b"", output_buffer_limit=OUTPUT_STEP)  # the input it keeps
    if not d.is_finished():
        raise CodecError("truncated BROTLI body")
    return out.joined()


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
    lib = need(snappy, "SNAPPY", "python-snappy")
    if _snappy_length(data) > limit:
        raise _too_large("SNAPPY", limit)
    expanded: bytes = lib.decompress(data)
    return expanded


# -- the functions -------------------------------------------------------------


_COMPRESSORS: Dict[int, Callable[[bytes], bytes]] = {
    _ZLIB: lambda data: zlib.compress(data, 6),
    _ZSTD: lambda data: _zstd_compressor().compress(data),
    _BROTLI: lambda data: need(brotli, "BROTLI", "brotli>=1.2").compress(data, quality=4),
    _SNAPPY: lambda data: need(snappy, "SNAPPY", "python-snappy").compress(data),
}

_DECOMPRESSORS: Dict[int, Callable[[bytes, int], bytes]] = {
    _ZLIB: _zlib_decompress,
    _ZSTD: _zstd_decompress,
    _BROTLI: _brotli_decompress,
    _SNAPPY: _snappy_decompress,
}


def compressor(cm: Any) -> Callable[[bytes], bytes]:
    """The compressor of method ``cm``; CodecError for an unknown method."""
    try:
        return _COMPRESSORS[cm]
    except (KeyError, TypeError):
        raise CodecError(f"unknown compression method: {cm!r}") from None


def compress(data: bytes, cm: int) -> bytes:
    """``data`` compressed with method ``cm`` (not NONE)."""
    return compressor(cm)(data)


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
