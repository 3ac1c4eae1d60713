"""One call's answer, read packet by packet from a blocking connection.

:class:`Answer` sends the request the way ``Connection.execute`` does and then
reads the answer one packet at a time, on demand, instead of all at once.  It
is the blocking driver of the answer core (``vantrel._core``): it reads the
bytes through the connection's :class:`~vantrel._link.Link` and the core says
what they mean, with the checks and texts of the connection's own reader.

For the Arrow column builders (``raw_tables``) the body of a TABLE packet
serialized with MessagePack is handed out as its (decompressed) bytes, for
the builders to decode without a Python object per value.

An answer that is not read to its end (an error in the middle of the stream,
a consumer that stops early) must never be mistaken for the answer of a later
call: the connection is then put out of use (its socket shut down both ways),
as ``execute`` does after a failure in the middle of an answer, so that later
calls on the connection fail at once.  Draining the rest instead would mean
reading a stream of unknown length.  A server error (an ERROR packet, read
whole) ends the answer cleanly and leaves the connection usable.
"""

from __future__ import annotations

from types import ModuleType
from typing import Any, Dict, Optional, Tuple

from vantrel._core import BROKEN as _CORE_BROKEN
from vantrel._core import DONE as _CORE_DONE
from vantrel._core import END, SERVER_ERROR, VALUE, AnswerCore, Event
from vantrel._header import CLOSED_DURING_CALL
from vantrel._link import Link
from vantrel._link import connection_module as connection_module
from vantrel.errors import encode_failed
from vantrel.share.errors import ServerError

__all__ = ["BROKEN", "DONE", "OPEN", "Answer", "InCall", "connection_module"]


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
        self._link = Link(conn)

    def __enter__(self) -> InCall:
        self._link.begin()  # RuntimeError when another call is in progress
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self._link.end()


#: Answer states.
OPEN, DONE, BROKEN = "open", "done", "broken"



class Answer:
    """The answer to one request, read as the caller asks for its packets.

    After construction ``kind`` is ``"response"`` (``first`` is the decoded
    body), ``"empty"`` (a stream without packets), or the message type of the
    stream's packets, TABLE, TABLE2 or FEED (``first`` is the first body).
    """

    def __init__(self, conn: Any, method: Any, args: Tuple[Any, ...], kwargs: Dict[str, Any],
                 raw_tables: bool = False) -> None:
        link = Link(conn)
        ns = link.ns
        self.link = link
        self.method = method
        self.m: ModuleType = link.module
        self.core = AnswerCore(ns, max_bytes=link.max_answer_bytes)
        self.raw_tables = raw_tables
        self.kind: Any = None
        self.first: Any = None
        #: Body length of the last packet read.
        self.last_length = 0
        # Nothing to abandon until the request goes out: a request that cannot
        # be packed, or a connection busy with another call, is left as it is.
        self.state = DONE
        types = ns["MSG_TYPE"]
        try:
            packet = ns["pack_one"]((method, args, kwargs), types.REQUEST,
                                    ns["DEFAULT_SERIALIZER_TYPE"], ns["DEFAULT_COMPRESSION_METHOD"])
        except Exception as e:
            failure = encode_failed(ns, (method, args, kwargs), e)
            if failure is e:
                raise
            raise failure from e
        link.begin(method)  # refused on a closed or broken connection, or during another call
        self.state = OPEN
        try:
            link.send(packet)
            event, value = self._event()
            if event == VALUE:
                self.kind, self.first = "response", value
                self._end(DONE)
            elif event == END:
                self.kind = "empty"
                self._end(DONE)
            else:
                # A first packet without a body fails where its body is used,
                # as in the connection's collectors.
                self.kind = self.core.kind
                self.first = None if value is None else self._body(value)
        except BaseException as e:
            failure = self._failed(e)
            if failure is e:
                raise
            raise failure from e

    # -- reading ------------------------------------------------------------

    def _event(self) -> Event:
        """The next event of the answer; a server error is raised."""
        core, read = self.core, self.link.read
        size = self.link.ns["HEADER_LENGTH"]
        while True:
            length = core.header(read(size))
            self.last_length = length
            event = core.packet(read(length) if length else None)
            if event is not None:
                if event[0] == SERVER_ERROR:
                    raise event[1]
                return event

    def _body(self, body: Optional[bytes]) -> Any:
        """A stream body, decoded (or, with ``raw_tables``, the bytes of a TABLE body)."""
        core = self.core
        ns = self.link.ns
        body = core.batch_body(body)
        if self.raw_tables and core.kind == ns["MSG_TYPE"].TABLE:
            return core.table_bytes(body)
        return core.decode(body)

    def next_body(self) -> Any:
        """The body of the stream's next packet, or None at its end."""
        if self.state != OPEN:
            raise RuntimeError("the answer was already read to its end or abandoned")
        try:
            event, value = self._event()
            if event == END:
                self._end(DONE)
                return None
            return self._body(value)
        except BaseException as e:
            failure = self._failed(e)
            if failure is e:
                raise
            raise failure from e

    # -- ending ---------------------------------------------------------------

    def _failed(self, exc: BaseException) -> BaseException:
        """The answer ends with ``exc``; the exception to raise for it.

        A server error ends it at a packet boundary; anything else leaves the
        rest unread, so the connection is put out of use.  When the connection
        was closed under the call, the error says so, with the same text as
        ``execute``'s.
        """
        if isinstance(exc, ServerError) and self.core.state == _CORE_DONE:
            self._end(DONE)
            return exc
        closed = self._stop()
        if closed and isinstance(exc, Exception):
            exc = self.link.ns["ProtocolError"](CLOSED_DURING_CALL)
        return self.link.failed(exc, self.method)

    def failed(self, exc: BaseException) -> BaseException:
        """The answer ends with ``exc`` raised by its consumer; the exception to raise
        (``exc`` itself when the answer had ended already)."""
        if self.state != OPEN:
            return exc
        return self._failed(exc)

    def abandon(self, what: str = "the answer was left before its end") -> bool:
        """Stop reading before the end: the connection is put out of use, and
        with ``what`` (how the answer was left: "an iter_rows loop stopped at
        row 5") says so.

        True when the connection was closed under the call meanwhile.
        """
        if self.state != OPEN:
            return False
        closed = self._stop()
        if not closed:
            self.link.left(self.method, what)
        return closed

    def _stop(self) -> bool:
        # The rest of the answer is left unread: the connection put out of use.
        if self.state != OPEN:
            return False
        self.link.put_out_of_use()
        if self.core.state != _CORE_DONE:
            self.core.state = _CORE_BROKEN
        return self._end(BROKEN)

    def _end(self, state: str) -> bool:
        self.state = state
        return self.link.end()

    def __del__(self) -> None:
        if getattr(self, "state", DONE) == OPEN:
            self.abandon("the answer was dropped before its end")
