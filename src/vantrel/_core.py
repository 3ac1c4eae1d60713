"""The answer core: one call's answer as a state machine, without any I/O.

The readers of ``vantrel.results`` (blocking) and ``vantrel.aio`` (asyncio)
read bytes their own way and hand them to an :class:`AnswerCore`, which says
what they mean::

    core = AnswerCore(vars(connection_module))
    while True:
        length = core.header(read(HEADER_LENGTH))    # checked before any body byte
        event = core.packet(read(length) if length else None)
        if event is not None:
            ...                                        # VALUE, FIRST_BATCH, BATCH, END or SERVER_ERROR

The answer's grammar: one RESPONSE packet (a VALUE), or STREAM_START, then
packets of one kind (TABLE, TABLE2 or FEED: a FIRST_BATCH, then BATCHes),
then STREAM_END (the END; right after STREAM_START an empty stream).  An
ERROR packet with a body in place of any packet ends the answer with a
SERVER_ERROR event carrying the server's exception, for the driver to raise.
Everything else raises the connection module's ``ProtocolError`` with the
texts of the compiled connection's ``execute`` and collectors, and leaves the
core BROKEN.

A batch's body is handed out undecoded: :meth:`AnswerCore.decode` decodes it
as the connection's reader does, and a driver may instead decode it its own
way (straight into a result list, into Arrow columns).  Every other body is
decoded here, before the message type is looked at, in the reader's order.

The compiled connection (csrc/connection/execute.cpp, collectors.cpp) and its
pure-Python twin (``vantrel._pyconnection``) keep state machines of their own:
their methods are the specified, overridable steps of one call.
"""

from __future__ import annotations

from typing import Any, Dict, Optional, Tuple

from vantrel._header import INCOMPLETE_BODY, header_checker, room_text
from vantrel.share.codec import decompress

#: The texts of the TypeError for a packet without a body (None) in a stream,
#: those of ``execute``'s collectors, which take the head of a first TABLE or
#: TABLE2 body by indexing it and the items of every other body by iterating.
NO_HEAD = "'NoneType' object is not subscriptable"
NO_ITEMS = "'NoneType' object is not iterable"

__all__ = [
    "BATCH",
    "BROKEN",
    "DONE",
    "END",
    "FIRST_BATCH",
    "NO_HEAD",
    "NO_ITEMS",
    "SERVER_ERROR",
    "VALUE",
    "AnswerCore",
    "Event",
]

#: Events: (kind, value).
VALUE = "value"                # the RESPONSE body (decoded), or the HANDSHAKE reply's
FIRST_BATCH = "first batch"    # the first body of a stream (undecoded): rows after a header row, ...
BATCH = "batch"                # a later body of the stream (undecoded)
END = "end"                    # STREAM_END; value None
SERVER_ERROR = "server error"  # an ERROR packet: value is the server's exception, to be raised

Event = Tuple[str, Any]

#: States.
FIRST = "first"                # the answer's first packet is due
HEAD = "head"                  # after STREAM_START
STREAM = "stream"              # after the first batch
HANDSHAKE = "handshake"        # the server's HANDSHAKE reply is due
DONE = "done"
BROKEN = "broken"

_STREAM_NAMES = ("TABLE", "TABLE2", "FEED")


class AnswerCore:
    """The state of one answer, fed one packet at a time.

    ``ns`` is the namespace of the connection module whose protocol tables,
    codec functions and ``ProtocolError`` apply (``vars(module)``).  With
    ``handshake=True`` the answer is the server's HANDSHAKE reply: one
    VALUE event (its body, or None).  With ``max_bytes`` the answer's
    packets may take that many bytes together, as received and as
    decompressed: a longer packet is refused from its header, before its body
    is read, and a compressed body is expanded only within what is left.
    """

    __slots__ = ("_check", "_cm", "_mt", "_st", "kind", "length", "limit", "ns", "room", "state",
                 "what")

    def __init__(self, ns: Dict[str, Any], handshake: bool = False,
                 max_bytes: Optional[int] = None) -> None:
        self.ns = ns
        #: The most bytes the answer may take (None: no limit), and what is left.
        self.limit = self.room = max_bytes
        self._check = header_checker(ns)
        self.state = HANDSHAKE if handshake else FIRST
        #: The stream's message type (TABLE, TABLE2 or FEED) once known.
        self.kind: Any = None
        #: Its name in error texts: "table", "table2" or "feed".
        self.what = ""
        #: The body length of the packet being read.
        self.length = 0
        self._mt: Any = None
        self._st: Any = None
        self._cm: Any = None

    @property
    def serializer(self) -> Any:
        """Serializer of the packet being read."""
        return self._st

    @property
    def compression(self) -> Any:
        """Compression method of the packet being read."""
        return self._cm

    def header(self, header: bytes) -> int:
        """Check a received header; the number of body bytes to read next (0: none)."""
        try:
            self._mt, self._st, self._cm, length = self._check(header)
        except BaseException:
            self.state = BROKEN
            raise
        self.length = length if length > 0 else 0
        room = self.room
        if room is not None and self.length > room:
            self.state = BROKEN
            raise self.ns["ProtocolError"](room_text(self.limit, self.length, room))
        return self.length

    def packet(self, body: Optional[bytes]) -> Optional[Event]:
        """The packet whose header came last, with its body (None without one).

        Returns its event, or None where the answer goes on (STREAM_START).
        """
        room = self.room
        if room is not None and body is not None:
            body = self.expand(body, room)
            self.room = room - len(body)
        mt = self._mt
        if self.state == STREAM and mt == self.kind and body is not None \
                and len(body) == self.length:
            return (BATCH, body)
        try:
            return self._packet(mt, body)
        except BaseException:
            self.state = BROKEN
            raise

    def decode(self, body: bytes) -> Any:
        """A body of the packet being read, decoded as the connection's reader decodes it."""
        ns = self.ns
        try:
            return ns["unpack_one"](body, self._st, self._cm)
        except Exception as e:
            raise ns["ProtocolError"](repr(e))  # noqa: B904 - the decoder's error stays the context, as in the reader

    def expand(self, body: bytes, room: int) -> bytes:
        """``body`` uncompressed, refused (``ProtocolError``) when it would
        expand beyond ``room`` bytes; the packet then counts as uncompressed."""
        ns = self.ns
        if len(body) != self.length or self._cm == ns["COMPRESSION_METHOD"].NONE:
            return body  # (a short body fails in packet(), as it does uncompressed)
        try:
            expanded = bytes(decompress(body, self._cm, room))
        except Exception as e:
            self.state = BROKEN
            raise ns["ProtocolError"](repr(e))  # noqa: B904 - the decoder's error stays the context, as in the reader
        self._cm = ns["COMPRESSION_METHOD"].NONE
        self.length = len(expanded)
        return expanded

    def batch_body(self, body: Optional[bytes]) -> bytes:
        """A batch's body, which a reader of batches needs: ``TypeError`` for a
        stream packet without one."""
        if body is None:
            raise TypeError(NO_ITEMS)
        return body

    def table_bytes(self, body: bytes) -> Any:
        """A TABLE body for the Arrow column builders: its MessagePack bytes,
        decompressed (a body of another serializer decoded, as the reader does)."""
        ns = self.ns
        if self._st == ns["SERIALIZATION_TYPE"].MSGPACK:
            if self._cm == ns["COMPRESSION_METHOD"].NONE:
                return body
            try:
                return bytes(decompress(body, self._cm))
            except Exception as e:
                raise ns["ProtocolError"](repr(e))  # noqa: B904 - the decoder's error stays the context, as in the reader
        decoded = self.decode(body)
        if isinstance(decoded, (bytes, bytearray)):
            # RAW-serialized: never to be taken for MessagePack bytes
            raise TypeError("a TABLE packet with a RAW body is not a table")
        return decoded

    def _packet(self, mt: Any, body: Optional[bytes]) -> Optional[Event]:
        ns = self.ns
        error = ns["ProtocolError"]
        state = self.state
        if state in (DONE, BROKEN):
            raise RuntimeError("the answer was already read to its end or abandoned")
        if self.length and (body is None or len(body) != self.length):
            raise error(INCOMPLETE_BODY)
        types = ns["MSG_TYPE"]
        if state == HEAD:
            name = _stream_name(types, mt)
            if name is not None:
                self.kind, self.what, self.state = mt, name, STREAM
                return (FIRST_BATCH, body)
        elif state == STREAM and mt == self.kind:
            return (BATCH, body)
        decoded: Any = None if body is None else self.decode(body)
        if body is not None and mt == types.ERROR:
            code, msg = decoded
            exc = ns["get_error"](code)(msg)
            self.state = DONE
            return (SERVER_ERROR, exc)
        if state == FIRST:
            if mt == types.RESPONSE:
                self.state = DONE
                return (VALUE, decoded)
            if mt != types.STREAM_START:
                raise error("got {} when STREAM_START expected".format(types[mt]))
            self.state = HEAD
            return None
        if state == HANDSHAKE:
            if mt != types.HANDSHAKE:
                raise error("handshake message expected while {} received".format(types[mt]))
            self.state = DONE
            return (VALUE, decoded)
        if mt == types.STREAM_END:
            self.state = DONE
            return (END, None)
        if state == HEAD:
            raise error("unexpected message in stream: {}".format(types[mt]))
        raise error("unexpected message in {} stream: {}".format(self.what, types[mt]))


def _stream_name(types: Any, mt: Any) -> Optional[str]:
    """"table", "table2" or "feed" for a stream packet's type, else None."""
    for name in _STREAM_NAMES:
        if mt == getattr(types, name):
            return name.lower()
    return None
