"""The header check of every received packet, and the readers' error texts, in one place.

Every Python reader of the package refuses a bad header here: the pure-Python
connection (``vantrel._pyconnection``), the answer core (``vantrel._core``,
behind ``vantrel.results`` and ``vantrel.aio``) and the reference server
(``vantrel.server.wire``).  The tests come in a fixed order, all before any
body byte is read: the header's length, then the message type, the serializer
and the compression method.  The compiled connection (csrc/connection/reader.cpp)
makes the same tests with the same texts; the differential tests hold the two
together.

:func:`split_header` reads the protocol tables, ``unpack_header`` and
``ProtocolError`` as globals.  :func:`header_checker` gives the same function
running in another namespace, a connection module's: there these names are
that module's globals, looked up at every call as the module's own code looks
them up (rebinding ``MSG_TYPE`` or ``ProtocolError`` in the module changes
every later check), and as fast.
"""

from __future__ import annotations

from types import FunctionType
from typing import Any, Callable, Dict, Mapping, Tuple

from vantrel.share.codec import unpack_header
from vantrel.share.protocol import COMPRESSION_METHOD, HEADER_LENGTH, MSG_TYPE, SERIALIZATION_TYPE
from vantrel.utils import connection_error

__all__ = [
    "CLOSED_DURING_CALL",
    "DISCONNECTED",
    "INCOMPLETE_BODY",
    "Checker",
    "header_checker",
    "room_text",
    "split_header",
]

INCOMPLETE_BODY = "incomplete body"
#: The error of a call whose connection was closed (``close()`` from another
#: thread) while the call was reading its answer; the same on every reader.
CLOSED_DURING_CALL = "the connection was closed during the call"
#: The end of the stream where a header was due: the server closed the connection.
DISCONNECTED = "Disconnected from the remote server"


def room_text(limit: Any, length: int, room: int) -> str:
    """The text of the error for a packet longer than what is left of its
    answer's ``max_answer_bytes`` (the compiled reader's text too)."""
    return ("the answer exceeds max_answer_bytes (%s): a packet of %d bytes with %d bytes "
            "of it left" % (limit, length, room))

#: Here, a bad header raises the family's base class; run in a connection
#: module's namespace (:func:`header_checker`), that module's ProtocolError.
ProtocolError = connection_error

Header = Tuple[Any, Any, Any, Any]
Checker = Callable[[bytes], Header]


def split_header(header: bytes, _len: Callable[[Any], int] = len) -> Header:
    """``(msg_type, serializer, compression, length)`` of a received header.

    A header cut short (none at all: the peer closed the connection), an
    unknown message type, serializer or compression method raise
    ``ProtocolError`` with the reader's text.
    """
    # (``len`` comes in as a default: the namespace this runs in may have no
    # built-in names.)
    if _len(header) != HEADER_LENGTH:
        if _len(header) == 0:
            raise ProtocolError("Disconnected from the remote server")
        raise ProtocolError("incomplete header, %r" % _len(header))
    mt, st, cm, length = unpack_header(header)
    if mt not in MSG_TYPE:
        raise ProtocolError("invalid message type: {}".format(mt))
    if not SERIALIZATION_TYPE.RAW <= st <= SERIALIZATION_TYPE.MSGPACK:
        raise ProtocolError("invalid serializer type: {}".format(st))
    if not COMPRESSION_METHOD.NONE <= cm <= COMPRESSION_METHOD.ZSTD:
        raise ProtocolError("invalid compression method: {}".format(cm))
    return mt, st, cm, length


# namespace id -> (namespace, its checker): a module's namespace lives as long
# as the module, and is kept here with its checker.
_checkers: Dict[int, Tuple[Mapping[str, Any], Checker]] = {}


def header_checker(namespace: Dict[str, Any]) -> Checker:
    """:func:`split_header` running in ``namespace`` (a module's ``globals()``
    or ``vars(module)``, or a dict with the six names it reads)."""
    known = _checkers.get(id(namespace))
    if known is not None and known[0] is namespace:
        return known[1]
    code = split_header.__code__
    checker: Checker = FunctionType(code, namespace, "split_header", split_header.__defaults__)
    _checkers[id(namespace)] = (namespace, checker)
    return checker
