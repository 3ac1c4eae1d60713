"""Message-type, serializer and compression codes of the vantrel wire format.

The header of every packet carries three one-byte codes (see docs/protocol.md).
The enumerations below name them.  Their members are ``int`` subclasses, so they
compare directly with the raw integers that a received header carries::

    >>> MSG_TYPE.RESPONSE == 3
    True
    >>> 3 in MSG_TYPE, 42 in MSG_TYPE
    (True, False)
    >>> str(MSG_TYPE[3])
    'RESPONSE'

``x in MSG_TYPE`` is a membership test on values (members and raw integers
alike) on every supported Python; ``MSG_TYPE[x]`` accepts a member name or a
received value and yields the member, whose text form is its name.
"""

from __future__ import annotations

import enum

__all__ = [
    "MSG_TYPE",
    "SERIALIZATION_TYPE",
    "COMPRESSION_METHOD",
    "HEADER_LENGTH",
]

#: Bytes in one packet header: three one-byte codes, one reserved byte and a
#: signed 64-bit big-endian body length.
HEADER_LENGTH = 12


class _CodeEnumMeta(enum.EnumMeta):
    """Enum metaclass whose ``in`` and ``[]`` also accept raw wire values."""

    def __contains__(cls, value: object) -> bool:
        # Only integers are wire values; ``bool`` is an int but never a code.
        if not isinstance(value, int) or isinstance(value, bool):
            return False
        return value in cls._value2member_map_

    def __getitem__(cls, key):  # type: ignore[override]
        if isinstance(key, str):
            return cls._member_map_[key]
        try:
            return cls._value2member_map_[key]
        except TypeError:
            raise KeyError(key) from None


class _Code(enum.IntEnum, metaclass=_CodeEnumMeta):
    """A wire code: an ``int`` whose text form is the member's name."""

    def __str__(self) -> str:
        return self.name

    def __format__(self, spec: str) -> str:
        return format(self.name, spec)

    def __repr__(self) -> str:
        return f"<{type(self).__name__}.{self.name}: {int(self)}>"


class MSG_TYPE(_Code):
    """Kind of a packet, first byte of the header."""

    HANDSHAKE = 1
    REQUEST = 2
    RESPONSE = 3
    ERROR = 4
    STREAM_START = 5
    STREAM_END = 6
    FEED = 7
    TABLE = 8
    TABLE2 = 9


class SERIALIZATION_TYPE(_Code):
    """Encoding of a body, second byte of the header.

    The values are contiguous: a received code is valid exactly when
    ``RAW <= code <= MSGPACK``.
    """

    RAW = 0
    JSON = 1
    MSGPACK = 2


class COMPRESSION_METHOD(_Code):
    """Compression of a body, third byte of the header.

    The values are contiguous: a received code is valid exactly when
    ``NONE <= code <= ZSTD``.
    """

    NONE = 0
    ZLIB = 1
    SNAPPY = 2
    BROTLI = 3
    ZSTD = 4
