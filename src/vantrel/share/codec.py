"""Packet encoding and decoding: the header, the serializers and the compressors.

A packet is a header of :data:`HEADER_LENGTH` bytes followed by its body (see
docs/protocol.md for the byte layout).  :func:`pack_one` builds a whole packet,
:func:`unpack_header` splits a received header into its raw fields,
:func:`unpack_one` turns a received body back into an object and
:func:`decompress` expands a compressed body into its bytes.

This module is a switch: its names are those of the native codec
(``vantrel.share._ccodec``, MessagePack of its own) when it is built, and
those of the pure-Python twin (``vantrel.share._pycodec``, on msgpack-python)
when it is not or when the environment variable ``VANTREL_PURE_PYTHON`` is
set.  Both raise the same :class:`CodecError`.

``msgpack``, ``zstd``, ``brotli`` and ``snappy`` say what is available, for the
choice of defaults: ``None`` when the serializer or compressor cannot be used.
``zstd``, ``brotli`` and ``snappy`` are the imported libraries.  ``msgpack`` is
never ``None`` with the native codec (it needs no library): it is then a small
namespace of the codec's own ``packb(obj)`` and ``unpackb(data)``, with
``ExtType`` and ``Timestamp``; with the twin it is msgpack-python, or ``None``
when that is not installed.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from .choice import codec_module

if TYPE_CHECKING:
    from ._pycodec import (
        COMPRESS_THRESHOLD,
        MAX_DECOMPRESSED,
        CodecError,
        CodecUnavailableError,
        brotli,
        decompress,
        msgpack,
        pack_header,
        pack_one,
        snappy,
        unpack_header,
        unpack_one,
        zstd,
    )
else:
    _impl = codec_module()
    COMPRESS_THRESHOLD = _impl.COMPRESS_THRESHOLD
    MAX_DECOMPRESSED = _impl.MAX_DECOMPRESSED
    CodecError = _impl.CodecError
    CodecUnavailableError = _impl.CodecUnavailableError
    brotli = _impl.brotli
    decompress = _impl.decompress
    msgpack = _impl.msgpack
    pack_header = _impl.pack_header
    pack_one = _impl.pack_one
    snappy = _impl.snappy
    unpack_header = _impl.unpack_header
    unpack_one = _impl.unpack_one
    zstd = _impl.zstd

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
