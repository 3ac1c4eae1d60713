"""What both codecs share: the error classes, the limits and the MSGPACK extension types.

The native codec (``vantrel.share._ccodec``) and the pure-Python one
(``vantrel.share._pycodec``) raise the very same :class:`CodecError`, so that
callers catch one class whichever codec is in use.

:data:`ExtType` and :data:`Timestamp` are the classes of MSGPACK extension
items (type -1 is a timestamp): msgpack-python's ``msgpack.ExtType`` and
``msgpack.Timestamp`` when it is installed, so that values decode exactly as
msgpack-python decodes them; without it (the native codec needs no
msgpack-python) this module's own classes of the same names, fields, equality
and checks.  Both codecs pack instances of them as extension items.

:func:`need` names the library a missing serializer or compressor needs, and
:func:`paused_collector` decodes a large body with the cyclic garbage
collector paused.
"""

from __future__ import annotations

import datetime
import gc
import struct
from collections import namedtuple
from typing import Any, Callable, TypeVar

from vantrel.share.errors import Error

try:
    import msgpack as _msgpack
except ImportError:  # pragma: no cover - depends on the installed extras
    _msgpack = None

__all__ = [
    "COMPRESS_THRESHOLD",
    "GC_PAUSE_MIN",
    "MAX_DECOMPRESSED",
    "MAX_NESTING",
    "CodecError",
    "CodecUnavailableError",
    "ExtType",
    "Timestamp",
    "decode_error",
    "need",
    "paused_collector",
]

#: Bodies shorter than this many bytes are sent uncompressed unless the caller
#: passes ``force_compress=True``; the header then records NONE.
COMPRESS_THRESHOLD = 1024

#: The most bytes that one compressed body may expand to.  A body that would
#: grow beyond it is refused with :class:`CodecError` before it is expanded
#: further, so that a small compressed "bomb" cannot exhaust the memory of the
#: receiving side.  ``unpack_one`` takes a lower limit per call.
MAX_DECOMPRESSED = 1 << 30

#: The deepest nesting of containers (lists, maps) that a MSGPACK body or a
#: packed value may have, everywhere in the package: both codecs, the
#: connection's readers and the Arrow decoder refuse deeper ("nesting too
#: deep" on decoding, ``ValueError`` on packing), as msgpack-python does.  The
#: native modules hold the same number.
MAX_NESTING = 1024


class CodecError(Error, ValueError):
    """A body could not be encoded or decoded."""


class CodecUnavailableError(CodecError):
    """The serializer or compressor asked for needs a library that is missing."""


def need(lib: Any, name: str, package: str) -> Any:
    """``lib``, or CodecUnavailableError naming ``package`` when it is None (missing)."""
    if lib is None:
        raise CodecUnavailableError(
            f"{name} is not available: install the '{package}' package "
            "(pip install 'vantrel[fast]')"
        )
    return lib


#: Bodies at least this long are decoded with the cyclic garbage collector
#: paused (see :func:`paused_collector`).
GC_PAUSE_MIN = 65536

_T = TypeVar("_T")
_gc_isenabled = gc.isenabled
_gc_disable = gc.disable
_gc_enable = gc.enable


def paused_collector(decode: Callable[[bytes], _T], body: bytes) -> _T:
    """``decode(body)``, with the collector paused when the body is large.

    A large body becomes many new containers (a table packet is a list of
    thousands of row lists).  Every few hundred of them the collector would
    pass over all the young ones, and then over the older ones they were
    promoted to, although nothing being built can be garbage yet: that pass
    costs about as much as the decoding itself.  Pausing the collector for
    the decode leaves the result the same and lets the next collection see
    the new objects once.
    """
    if len(body) >= GC_PAUSE_MIN and _gc_isenabled():
        try:
            _gc_disable()
            return decode(body)
        finally:
            _gc_enable()
    return decode(body)


class _ExtType(namedtuple("ExtType", "code data")):
    """A MessagePack extension item: an application type code 0..127 and its bytes."""

    __slots__ = ()

    def __new__(cls, code: int, data: bytes) -> _ExtType:
        if not isinstance(code, int):
            raise TypeError("code must be int")
        if not isinstance(data, bytes):
            raise TypeError("data must be bytes")
        if not 0 <= code <= 127:
            raise ValueError("code must be 0~127")
        return super().__new__(cls, code, data)


_NS = 10 ** 9


class _Timestamp:
    """A MessagePack timestamp (extension type -1): seconds since the epoch and nanoseconds."""

    __slots__ = ("nanoseconds", "seconds")

    def __init__(self, seconds: int, nanoseconds: int = 0) -> None:
        if not isinstance(seconds, int):
            raise TypeError("seconds must be an integer")
        if not isinstance(nanoseconds, int):
            raise TypeError("nanoseconds must be an integer")
        if not 0 <= nanoseconds < _NS:
            raise ValueError("nanoseconds must be a non-negative integer less than 999999999.")
        self.seconds = seconds
        self.nanoseconds = nanoseconds

    def __repr__(self) -> str:
        return f"Timestamp(seconds={self.seconds}, nanoseconds={self.nanoseconds})"

    def __eq__(self, other: object) -> bool:
        if isinstance(other, _Timestamp) and type(other) is type(self):
            return (self.seconds, self.nanoseconds) == (other.seconds, other.nanoseconds)
        return NotImplemented

    def __hash__(self) -> int:
        return hash((self.seconds, self.nanoseconds))

    @staticmethod
    def from_bytes(b: bytes) -> _Timestamp:
        """The timestamp of the 4, 8 or 12 data bytes of an extension item."""
        if len(b) == 4:
            return _Timestamp(struct.unpack("!L", b)[0], 0)
        if len(b) == 8:
            data64 = struct.unpack("!Q", b)[0]
            return _Timestamp(data64 & 0x00000003FFFFFFFF, data64 >> 34)
        if len(b) == 12:
            nanoseconds, seconds = struct.unpack("!Iq", b)
            return _Timestamp(seconds, nanoseconds)
        raise ValueError(
            "Timestamp type can only be created from 32, 64, or 96-bit byte objects")

    def to_unix(self) -> float:
        return self.seconds + self.nanoseconds / 1e9

    def to_datetime(self) -> datetime.datetime:
        epoch = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
        return epoch + datetime.timedelta(seconds=self.seconds, microseconds=self.nanoseconds // 1000)


ExtType: Any = _ExtType if _msgpack is None else _msgpack.ExtType
Timestamp: Any = _Timestamp if _msgpack is None else _msgpack.Timestamp


def decode_error(name: str, exc: BaseException, size: int) -> CodecError:
    """The :class:`CodecError` for a body of serializer ``name`` (of ``size``
    bytes) that the library refused with ``exc``: what is wrong and where,
    never what the body holds.  msgpack's ExtraData carries the decoded value
    and UnicodeDecodeError the bytes, so neither is quoted nor kept as the
    cause (raise the result with its context suppressed)."""
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
    error.__suppress_context__ = True
    return error
