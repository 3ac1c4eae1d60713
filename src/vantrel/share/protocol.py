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
alike, anything equal to a code) on every supported Python; ``MSG_TYPE[x]`` accepts a member name or a
received value and yields the member, whose text form is its name.
"""

from __future__ import annotations

from typing import Any, Dict, Iterator, Tuple, Type, cast

__all__ = [
    "COMPRESSION_METHOD",
    "HEADER_LENGTH",
    "MSG_TYPE",
    "SERIALIZATION_TYPE",
]

#: Bytes in one packet header: three one-byte codes, one reserved byte and a
#: signed 64-bit big-endian body length.
HEADER_LENGTH = 12


class _CodeTableMeta(type):
    """Metaclass of the code tables.

    The integer class attributes of a table become its members: instances of
    the table (``int`` subclasses) stored as plain class attributes, so that
    reading ``MSG_TYPE.RESPONSE`` is an ordinary class attribute look-up.
    (The standard ``enum`` module routes every such read through a Python
    level ``__getattr__`` hook on Python 3.9 to 3.11, which costs more than a
    packet's whole validation.)
    """

    # set on each table by __new__
    _member_map_: Dict[str, _Code]
    _value2member_map_: Dict[object, _Code]

    def __new__(mcls, name: str, bases: Tuple[type, ...], namespace: Dict[str, Any]) -> _CodeTableMeta:
        codes = [(key, value) for key, value in namespace.items()
                 if not key.startswith("_") and type(value) is int]
        names = {key for key, _ in codes}
        body = {key: value for key, value in namespace.items() if key not in names}
        if codes:
            # Each table gets a metaclass of its own whose membership test is
            # a set look-up done in C: ``x in MSG_TYPE`` is true when x equals
            # one of the codes (an unhashable x raises TypeError).
            values = frozenset(value for _, value in codes)
            mcls = type("_%sCodes" % name, (mcls,), {
                "__contains__": staticmethod(values.__contains__),
                "__module__": namespace.get("__module__", __name__),
            })
        cls = type.__new__(mcls, name, bases, body)
        table = cast("Type[_Code]", cls)
        by_name: Dict[str, _Code] = {}
        by_value: Dict[object, _Code] = {}
        for key, value in codes:
            if value in by_value:
                raise ValueError("%s: %s and %s share the code %d"
                                 % (name, by_value[value].name, key, value))
            member = int.__new__(table, value)
            member.__dict__["_name_"] = key
            type.__setattr__(cls, key, member)
            by_name[key] = member
            by_value[value] = member
        type.__setattr__(cls, "_member_map_", by_name)
        type.__setattr__(cls, "_value2member_map_", by_value)
        return cls

    def __contains__(cls, value: object) -> bool:
        return value in cls._value2member_map_

    def __getitem__(cls, key: object) -> _Code:
        """The member named ``key``, or whose code is ``key`` (a received value)."""
        if isinstance(key, str):
            return cls._member_map_[key]
        try:
            return cls._value2member_map_[key]
        except TypeError:
            raise KeyError(key) from None

    def __call__(cls, value: object) -> _Code:
        """The member whose code is ``value``: ``MSG_TYPE(3) is MSG_TYPE.RESPONSE``."""
        try:
            return cls._value2member_map_[value]
        except (KeyError, TypeError):
            raise ValueError("%r is not a valid %s" % (value, cls.__name__)) from None

    def __iter__(cls) -> Iterator[_Code]:
        return iter(cls._member_map_.values())

    def __setattr__(cls, name: str, value: object) -> None:
        if name in cls.__dict__.get("_member_map_", ()):
            raise AttributeError("cannot reassign member %r" % name)
        super().__setattr__(name, value)

    def __delattr__(cls, name: str) -> None:
        if name in cls.__dict__.get("_member_map_", ()):
            raise AttributeError("cannot delete member %r" % name)
        super().__delattr__(name)

    def __repr__(cls) -> str:
        return "<codes %r>" % cls.__name__


class _Code(int, metaclass=_CodeTableMeta):
    """A wire code: an ``int`` whose text form is the member's name."""

    _name_: str  # set on each member by the metaclass

    @property
    def name(self) -> str:
        return self._name_

    def __str__(self) -> str:
        return self._name_

    def __format__(self, spec: str) -> str:
        return format(self._name_, spec)

    def __repr__(self) -> str:
        return "<%s.%s: %d>" % (type(self).__name__, self._name_, int(self))


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
