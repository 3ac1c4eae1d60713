"""The floor: the least a client can do to get the same answers.

Each function packs the same request with ``pack_one``, sends it, and reads
the answer packets with one header read and one body read each from a
buffered reader, decoding each body with ``unpack_one``.  Nothing else: no
checks, no dictionaries, no attribute look-ups inside the loops (everything is
bound to a local beforehand).  The decoded bodies of a stream are kept in a
list so that, as with a real client, they are freed after the call.
"""

from __future__ import annotations

import socket
from typing import Any, Dict, List, Tuple

from vantrel.share.codec import pack_one, unpack_header, unpack_one
from vantrel.share.protocol import HEADER_LENGTH, MSG_TYPE

_REQUEST = int(MSG_TYPE.REQUEST)
_HANDSHAKE = int(MSG_TYPE.HANDSHAKE)
_STREAM_END = int(MSG_TYPE.STREAM_END)


class FloorConnection:
    """A socket and its buffered reader, opened the way the client opens them."""

    def __init__(self, sock: socket.socket, auth: Dict[str, Any], serializer: int,
                 compression: int) -> None:
        self.sock = sock
        self.reader = sock.makefile("rb", 131072)
        self.serializer = int(serializer)
        self.compression = int(compression)
        record = auth.copy()
        record["node"] = sock.getsockname()[0]
        sock.sendall(pack_one(record, _HANDSHAKE, self.serializer, self.compression,
                              force_compress=True))
        unpack_header(self.reader.read(HEADER_LENGTH))

    def close(self) -> None:
        self.reader.close()
        self.sock.close()

    def calls(self, count: int, method: str, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
        """``count`` single calls, each answered by one RESPONSE packet."""
        sendall = self.sock.sendall
        read = self.reader.read
        st_req = self.serializer
        cm_req = self.compression
        body = None
        for _ in range(count):
            sendall(pack_one((method, args, dict(kwargs)), _REQUEST, st_req, cm_req))
            _, st, cm, n = unpack_header(read(HEADER_LENGTH))
            body = unpack_one(read(n), st, cm)
        return body

    def stream(self, method: str) -> List[Any]:
        """One call answered by a stream; returns the decoded bodies of its packets."""
        read = self.reader.read
        self.sock.sendall(pack_one((method, (), {}), _REQUEST, self.serializer, self.compression))
        unpack_header(read(HEADER_LENGTH))  # STREAM_START, no body
        bodies: List[Any] = []
        append = bodies.append
        end = _STREAM_END
        while True:
            mt, st, cm, n = unpack_header(read(HEADER_LENGTH))
            if mt == end:
                return bodies
            append(unpack_one(read(n), st, cm))
