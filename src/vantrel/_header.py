"""The header checks of every received packet, and the readers' error texts, in one place.

Every Python reader of the package refuses a bad header here: the pure-Python
connection (``vantrel._pyconnection``), the answer core (``vantrel._core``,
behind ``vantrel.results`` and ``vantrel.aio``) and the reference server
(``vantrel.server.wire``).  The tests come in a fixed order, all before any
body byte is read: the header's length, then the message type, the serializer
and the compression method.  The compiled connection (csrc/connection/reader.cpp)
makes the same tests with the same texts; the differential tests hold the two
together.

``ns`` is the namespace of a connection module (``vars(module)``, or a
module's ``globals()``): the protocol tables, ``unpack_header`` and
``ProtocolError`` are looked up in it at every call, so that rebinding one of
them in the module changes every later check, as in the compiled module.
"""

from __future__ import annotations

from typing import Any, Mapping, Optional, Tuple

__all__ = [
    "CLOSED_DURING_CALL",
    "DISCONNECTED",
    "INCOMPLETE_BODY",
    "header_problem",
    "split_header",
]

DISCONNECTED = "Disconnected from the remote server"
INCOMPLETE_BODY = "incomplete body"
#: The error of a call whose connection was closed (``close()`` from another
#: thread) while the call was reading its answer; the same on every reader.
CLOSED_DURING_CALL = "the connection was closed during the call"


def header_problem(ns: Mapping[str, Any], mt: Any, st: Any, cm: Any) -> Optional[str]:
    """The text of the first field of a header that is not valid, or None."""
    if mt not in ns["MSG_TYPE"]:
        return "invalid message type: {}".format(mt)
    serializers = ns["SERIALIZATION_TYPE"]
    if not serializers.RAW <= st <= serializers.MSGPACK:
        return "invalid serializer type: {}".format(st)
    methods = ns["COMPRESSION_METHOD"]
    if not methods.NONE <= cm <= methods.ZSTD:
        return "invalid compression method: {}".format(cm)
    return None


def split_header(ns: Mapping[str, Any], header: bytes) -> Tuple[Any, Any, Any, Any]:
    """``(msg_type, serializer, compression, length)`` of a received header.

    A header cut short (none at all: the peer closed the connection), an
    unknown message type, serializer or compression method raise the
    namespace's ``ProtocolError`` with the reader's text.
    """
    if len(header) != ns["HEADER_LENGTH"]:
        if len(header) == 0:
            raise ns["ProtocolError"](DISCONNECTED)
        raise ns["ProtocolError"]("incomplete header, %r" % len(header))
    mt, st, cm, length = ns["unpack_header"](header)
    problem = header_problem(ns, mt, st, cm)
    if problem is not None:
        raise ns["ProtocolError"](problem)
    return mt, st, cm, length
