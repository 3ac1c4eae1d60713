"""The header checks of the connection's packet reader, for the package's other readers.

The row and Arrow answers (``vantrel.results``) and the asyncio client read
packets themselves, but must refuse a bad header exactly as the connection
does: the same tests, in the same order, with the same texts, all before any
body byte is read.  They take them from here.
"""

from __future__ import annotations

from typing import Any, Tuple


def split_header(m: Any, header: bytes) -> Tuple[Any, Any, Any, Any]:
    """``(msg_type, serializer, compression, length)`` of a received header.

    ``m`` is the connection module whose globals the checks use
    (``HEADER_LENGTH``, ``unpack_header``, ``MSG_TYPE``, ``SERIALIZATION_TYPE``,
    ``COMPRESSION_METHOD``, ``ProtocolError``), read at each call as the
    connection reads them.  A header cut short (none at all: the peer closed
    the connection), an unknown message type, serializer or compression method
    raise ``m.ProtocolError`` with the reader's text.
    """
    if len(header) != m.HEADER_LENGTH:
        if len(header) == 0:
            raise m.ProtocolError("Disconnected from the remote server")
        raise m.ProtocolError("incomplete header, %r" % len(header))
    mt, st, cm, length = m.unpack_header(header)
    if mt not in m.MSG_TYPE:
        raise m.ProtocolError("invalid message type: {}".format(mt))
    if not m.SERIALIZATION_TYPE.RAW <= st <= m.SERIALIZATION_TYPE.MSGPACK:
        raise m.ProtocolError("invalid serializer type: {}".format(st))
    if not m.COMPRESSION_METHOD.NONE <= cm <= m.COMPRESSION_METHOD.ZSTD:
        raise m.ProtocolError("invalid compression method: {}".format(cm))
    return mt, st, cm, length
