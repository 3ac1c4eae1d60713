"""One call's answer, read packet by packet from a connection.

:class:`Answer` sends the request the way ``Connection.execute`` does and then
reads the answer one packet at a time, on demand, instead of all at once,
with the connection's own packet reader (``_read_one_packet``).

Only an answer read for the Arrow column builders (``raw_tables``) has a
packet reader of its own, because it must return the body of a TABLE packet
serialized with MessagePack as its (decompressed) bytes, for the builders to
decode without a Python object per value; neither connection's reader can.
It reads with the connection's own socket, buffered reader and module
globals (``MSG_TYPE``, ``unpack_one``, ``ProtocolError``, ...), with the same
header checks, in the same order and with the same texts as the connection's
packet reader, so that a damaged answer fails the same way.

An answer that is not read to its end (an error in the middle of the stream,
a consumer that stops early) must never be mistaken for the answer of a later
call: the connection's socket is then shut down both ways, as ``execute``
does after a failure in the middle of an answer, so that later calls on the
connection fail at once.  Draining the rest instead would mean reading a
stream of unknown length.  A server error (an ERROR packet, read whole) ends
the answer cleanly and leaves the connection usable.
"""

from __future__ import annotations

import socket
import sys
from types import ModuleType
from typing import Any, Dict, Optional, Tuple

from vantrel._header import split_header
from vantrel.share.codec import decompress
from vantrel.share.errors import ServerError


class InCall:
    """Marks a connection as carrying a call, from its request to the end of its answer.

    Entered before the request is sent, left exactly once when the answer
    ends, fails or is abandoned.  It is the connection's own mark, the one
    ``execute`` sets: while it stands, ``execute`` (or another answer) on the
    same connection raises ``RuntimeError`` at once and ``is_normal()`` is
    False.
    """

    def __init__(self, conn: Any) -> None:
        self.conn = conn
        self._end_call: Any = None

    def __enter__(self) -> InCall:
        module = connection_module(self.conn)
        begin = getattr(module, "_begin_call", None)
        if begin is not None:
            begin(self.conn)  # RuntimeError when another call is in progress
            self._end_call = module._end_call
        return self

    def __exit__(self, *exc_info: Any) -> None:
        end, self._end_call = self._end_call, None
        if end is not None:
            end(self.conn)


def connection_module(conn: Any) -> ModuleType:
    """The module whose globals the connection's ``execute`` uses."""
    for klass in type(conn).__mro__:
        if "execute" in vars(klass):
            module = sys.modules.get(klass.__module__)
            if module is not None and hasattr(module, "ProtocolError"):
                return module
    raise TypeError("not a vantrel connection: %s" % type(conn).__name__)


#: Answer states.
OPEN, DONE, BROKEN = "open", "done", "broken"

#: The texts of the TypeError for a packet without a body (None) in a stream,
#: those of ``execute``'s collectors, which take the head of a first TABLE or
#: TABLE2 body by indexing it and the items of every other body by iterating.
NO_HEAD = "'NoneType' object is not subscriptable"
NO_ITEMS = "'NoneType' object is not iterable"


class Answer:
    """The answer to one request, read as the caller asks for its packets.

    After construction ``kind`` is ``"response"`` (``first`` is the decoded
    body), ``"empty"`` (a stream without packets), or the message type of the
    stream's packets, TABLE, TABLE2 or FEED (``first`` is the first body).
    """

    def __init__(self, conn: Any, method: Any, args: Tuple[Any, ...], kwargs: Dict[str, Any],
                 raw_tables: bool = False) -> None:
        m = connection_module(conn)
        self.conn = conn
        self.m = m
        self.raw_tables = raw_tables
        self.kind: Any = None
        self.first: Any = None
        self.last_length = 0
        # Nothing to abandon until the request goes out: a request that cannot
        # be packed, or a connection busy with another call, is left as it is.
        self.state = DONE
        self._call: Optional[InCall] = None
        packet = m.pack_one((method, args, kwargs), m.MSG_TYPE.REQUEST,
                            m.DEFAULT_SERIALIZER_TYPE, m.DEFAULT_COMPRESSION_METHOD)
        call = InCall(conn)
        call.__enter__()
        self._call = call
        self.state = OPEN
        try:
            conn._socket.sendall(packet)
            mt, body = self.read()
            if mt == m.MSG_TYPE.RESPONSE:
                self.kind, self.first = "response", body
                self._end(DONE)
                return
            if mt != m.MSG_TYPE.STREAM_START:
                raise m.ProtocolError("got {} when STREAM_START expected".format(m.MSG_TYPE[mt]))
            mt, body = self.read()
            if mt == m.MSG_TYPE.STREAM_END:
                self.kind = "empty"
                self._end(DONE)
                return
            if mt == m.MSG_TYPE.TABLE or mt == m.MSG_TYPE.TABLE2 or mt == m.MSG_TYPE.FEED:
                self.kind, self.first = mt, body
                return
            raise m.ProtocolError("unexpected message in stream: {}".format(m.MSG_TYPE[mt]))
        except BaseException as e:
            self.failed(e)
            raise

    # -- reading ------------------------------------------------------------

    def read(self) -> Tuple[Any, Any]:
        """One packet: (message type, body), as the connection's reader returns it.

        With ``raw_tables``, the body of a TABLE packet serialized with
        MessagePack comes back as its decompressed bytes.
        """
        if not self.raw_tables:
            packet: Tuple[Any, Any] = self.conn._read_one_packet()
            return packet
        m = self.m
        mt, st, cm, length = split_header(m, self.conn._sf.read(m.HEADER_LENGTH))
        self.last_length = length if length > 0 else 0
        if length <= 0:
            return (mt, None)
        body = self.conn._sf.read(length)
        if len(body) != length:
            raise m.ProtocolError("incomplete body")
        try:
            if (self.raw_tables and mt == m.MSG_TYPE.TABLE
                    and st == m.SERIALIZATION_TYPE.MSGPACK):
                if cm != m.COMPRESSION_METHOD.NONE:
                    body = decompress(body, cm)
                return (mt, bytes(body))
            body = m.unpack_one(body, st, cm)
        except Exception as e:
            raise m.ProtocolError(repr(e))
        if self.raw_tables and mt == m.MSG_TYPE.TABLE and isinstance(body, (bytes, bytearray)):
            # RAW-serialized: never to be taken for MessagePack bytes
            raise TypeError("a TABLE packet with a RAW body is not a table")
        if mt == m.MSG_TYPE.ERROR:
            code, msg = body
            raise m.get_error(code)(msg)
        return (mt, body)

    def next_body(self, what: str) -> Any:
        """The body of the stream's next packet, or None at its end.

        ``what`` names the stream in the error for a packet of another kind
        ("table", "table2" or "feed").
        """
        m = self.m
        if self.state != OPEN:
            raise RuntimeError("the answer was already read to its end or abandoned")
        try:
            mt, body = self.read()
            if mt == m.MSG_TYPE.STREAM_END:
                self._end(DONE)
                return None
            if mt == self.kind:
                if body is None:
                    raise TypeError(NO_ITEMS)
                return body
            raise m.ProtocolError("unexpected message in {} stream: {}".format(what, m.MSG_TYPE[mt]))
        except BaseException as e:
            self.failed(e)
            raise

    # -- ending ---------------------------------------------------------------

    def failed(self, exc: BaseException) -> None:
        """The answer ends with ``exc``: a server error ends it at a packet
        boundary; anything else leaves the rest unread, so the connection is
        put out of use."""
        if isinstance(exc, ServerError):
            self._end(DONE)
        else:
            self.abandon()

    def abandon(self) -> None:
        """Stop reading before the end: the connection is put out of use."""
        if self.state == OPEN:
            try:
                self.conn._socket.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self._end(BROKEN)

    def _end(self, state: str) -> None:
        self.state = state
        call, self._call = self._call, None
        if call is not None:
            call.__exit__(None, None, None)

    def __del__(self) -> None:
        if getattr(self, "state", DONE) == OPEN:
            self.abandon()
