"""The asyncio connection: :func:`connect` and :class:`AsyncConnection`.

An :class:`AsyncConnection` gives for every call what the blocking
``Connection.execute`` gives: the RESPONSE body, a list of row dictionaries for
a table stream, ``(head, data)`` for a table2 stream, the list of items for a
feed stream, ``[]`` for an empty stream, with the same exceptions and texts.

One call at a time: a call started while another is in progress on the same
connection raises ``RuntimeError`` at once, before anything is sent.  A call
that fails in mid-answer (a broken packet, a lost connection, a cancellation, a
time-out) closes the connection, since the rest of its answer may still be on
the way: no later call can ever read it; the connection is then ``broken``
and a later call raises :class:`vantrel.ConnectionClosed` saying why.  A call
that runs out of time raises :class:`vantrel.Timeout`.  A server error (an
ERROR packet, read whole) leaves the connection usable.

The answer is read by the package's answer core (``vantrel._core``), which
gives the same answers and texts as the blocking readers.  Stream answers are
decoded packet by packet as the packets arrive.  Between
packets the call hands the event loop a turn whenever it has held it for
:data:`SLICE` seconds, so a large answer does not stall other tasks.
"""

from __future__ import annotations

import asyncio
import select
import time
from types import ModuleType, TracebackType
from typing import Any, Awaitable, Dict, List, Optional, Tuple, Type

from vantrel._address import AddressLike, format_address
from vantrel._call import CALL_IN_PROGRESS, CallLife, refused_login
from vantrel._core import END, VALUE, AnswerCore, Event
from vantrel._handshake import NoticeHandler, deliver_notice, handshake_packet
from vantrel._header import CLOSED_DURING_CALL, DISCONNECTED
from vantrel._impls import connection_module
from vantrel._settings import (
    CONNECT_TIMEOUT,
    DEFAULT_MAX_ANSWER_BYTES,
    LOAD_BALANCE,
    TIMEOUT,
    TLS,
    AuthOption,
    Opening,
    Settings,
    TLSOption,
    settings,
    tls_context,
)
from vantrel.errors import Timeout, duration_text, encode_failed
from vantrel.share.codec import pack_one
from vantrel.share.errors import ServerError
from vantrel.share.protocol import MSG_TYPE

from .deadline import Deadline
from .decode import FIRST, extend_result
from .packets import PacketProtocol

__all__ = ["CALL_IN_PROGRESS", "SLICE", "AsyncConnection", "ProtocolError", "connect"]

#: The connection module whose ``ProtocolError`` and defaults
#: (``DEFAULT_SERIALIZER_TYPE``, ``DEFAULT_COMPRESSION_METHOD``, read at each
#: use) the asyncio client shares: the compiled one, or the twin when
#: ``VANTREL_PURE_PYTHON`` is set.
MODULE: ModuleType = connection_module()

ProtocolError: Type[Exception] = MODULE.ProtocolError

#: Longest time (seconds) a call decodes packets already received before it
#: lets the event loop run other tasks.
SLICE = 0.005
_TURN_DELAY = 1e-6

_TABLE2 = MSG_TYPE.TABLE2


class AsyncConnection:
    """An authenticated client connection on an asyncio transport.

    Made by :func:`connect`.  ``timeout`` (seconds, or None) limits every
    call; a call that exceeds it raises ``TimeoutError`` and closes the
    connection.
    """

    def __init__(self, transport: asyncio.Transport, protocol: PacketProtocol,
                 timeout: Optional[float] = None, module: ModuleType = MODULE,
                 address: Tuple[str, int] = ("", 0), max_answer_bytes: Optional[int] = None) -> None:
        self._transport = transport
        self._protocol = protocol
        self._module = module
        self._ns = vars(module)
        self._call_life = CallLife(address, timeout, max_answer_bytes)  # type: ignore[arg-type]
        self._call_life.read_timeout = None
        self._busy = False
        self._closed = False
        self._closed_in_call = False  # close() was called during the call in progress
        self._auth_info: Dict[str, Any] = {}
        #: The ``(host, port)`` the connection was made to.
        self.address = address
        #: The notice of the server's handshake reply (None without one).
        self.notice: Any = None

    # -- state -----------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once the connection was closed: by :meth:`close`, by a failed call
        or by the server."""
        return self._closed or self._call_life.unusable is not None or self._transport.is_closing()

    @property
    def broken(self) -> bool:
        """True when a failed call closed the connection (see :attr:`broken_reason`)."""
        return self._call_life.broken_reason is not None

    @property
    def broken_reason(self) -> Optional[str]:
        """Why the connection broke ("closed by a time-out in the previous call ..."),
        or None."""
        return self._call_life.broken_reason

    @property
    def timeout(self) -> Optional[float]:
        """The limit of each call as a whole, in seconds (None: no limit)."""
        return self._call_life.timeout

    @property
    def max_answer_bytes(self) -> Optional[int]:
        """The most bytes one answer may take (see :func:`vantrel.connect`)."""
        return self._call_life.max_answer_bytes

    def __repr__(self) -> str:
        state = self._call_life.state(self._busy)
        if state == "idle" and self.closed:
            state = "closed"
        return "<vantrel.aio.AsyncConnection %s %s>" % (format_address(self.address), state)

    @property
    def module(self) -> ModuleType:
        """The connection module whose ``ProtocolError`` and protocol tables apply."""
        return self._module

    @property
    def busy(self) -> bool:
        """True while a call is in progress."""
        return self._busy

    def set_timeout(self, timeout: Optional[float]) -> None:
        """Limit every later call to ``timeout`` seconds (None: no limit)."""
        self._call_life.timeout = timeout

    def is_normal(self) -> bool:
        """True when the connection is idle, open and nothing is pending on it.

        False during a call, after :meth:`close` or a failed call, and when
        bytes have arrived that no call asked for (or the server ended the
        connection): received but not yet read, or still in the socket.
        Nothing is read.
        """
        if self._busy or self.closed:
            return False
        if self._protocol.pending():
            return False
        sock = self._transport.get_extra_info("socket")
        if sock is None:
            return False
        return _nothing_pending(sock.fileno())

    # -- closing ---------------------------------------------------------------

    def abort(self) -> None:
        """Close the connection at once, dropping whatever is unsent or unread.

        A call that fails in mid-answer ends this way, so that the rest of its
        answer can never be taken for the answer of a later call.
        """
        self._call_life.close()
        self.abort_transport()

    def abort_transport(self) -> None:
        # The transport ended at once; the state says why (a failed call's
        # reason, or close()).
        self._closed = True
        self._transport.abort()

    def close_nowait(self) -> None:
        """Start closing the connection; :meth:`close` also waits for the end."""
        self._closed = True
        self._call_life.close()
        self._transport.close()

    async def close(self) -> None:
        """Close the connection.  A call in progress on it fails."""
        if self._busy:
            self._closed_in_call = True
            self.abort()
        else:
            self.close_nowait()
        await self._protocol.wait_closed()

    async def __aenter__(self) -> AsyncConnection:
        return self

    async def __aexit__(self, exc_type: Optional[Type[BaseException]],
                        exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        await self.close()

    # -- the handshake ---------------------------------------------------------

    async def _handshake(self, auth: Any) -> None:
        # The notice is kept in self.notice; connect() hands it on.
        module = self._module
        info = auth.copy()
        info["node"] = self._transport.get_extra_info("sockname")[0]
        self._auth_info = info
        self._protocol.write(handshake_packet(module, info))
        if self._protocol.write_paused:
            await self._protocol.drain()
        _, self.notice = await self._protocol.next_event(AnswerCore(vars(module), handshake=True))

    # -- calls -----------------------------------------------------------------

    async def execute(self, method: Any, *args: Any, **kwargs: Any) -> Any:
        """Run ``method(*args, **kwargs)`` on the server and return its whole answer."""
        call = AsyncCall(self, method, args, kwargs)
        try:
            if call.deadline is not None:
                with Deadline(call.deadline - time.monotonic(), "the call"):
                    return await self._exchange(call)
            # The same exchange, inline: a small call is this path.
            protocol = self._protocol
            self._transport.write(call.packet)
            if protocol._write_paused:
                await protocol.drain()
            event, value = await protocol.next_event(call.core)
            if event == VALUE:
                return value
            return await self._rest(call.core, event, value)
        except BaseException as e:
            failure = call.failed(e)
            if failure is e:
                raise
            raise failure from e
        finally:
            self._busy = False

    def call(self, method: Any, args: Any, kwargs: Any) -> AsyncCall:
        """One call on this connection, for the readers of ``vantrel.aio.results``."""
        return AsyncCall(self, method, args, kwargs)

    async def _exchange(self, call: AsyncCall) -> Any:
        core = call.core
        await call.send()
        event, value = await self._protocol.next_event(core)
        if event == VALUE:
            return value
        return await self._rest(core, event, value)

    async def _rest(self, core: AnswerCore, event: str, value: Any) -> Any:
        """The result of a stream answer, from its first event on."""
        if event == END:
            return []
        next_event = self._protocol.next_event
        result: List[Any] = []
        clock = time.perf_counter
        turn_ends = clock() + SLICE
        keys = extend_result(core, result, value, FIRST)
        while True:
            # Waiting for the network gives the others no turn: this task is
            # woken ahead of timers that fell due meanwhile.
            if clock() >= turn_ends:
                await _let_others_run()
                turn_ends = clock() + SLICE
            event, value = await next_event(core)
            if event == END:
                break
            keys = extend_result(core, result, value, keys)
        if core.kind == _TABLE2:
            return (keys, result)
        return result


class AsyncCall:
    """One call on an :class:`AsyncConnection`: the asyncio driver of its
    :class:`vantrel._call.CallLife`.

    Made before anything is sent: a connection busy with another call raises
    ``RuntimeError``, a closed or broken one ``ConnectionClosed``.  ``core``
    reads the answer within the answer's room; ``deadline`` (on
    ``time.monotonic``'s clock, or None) ends the whole call.  The reader
    sends with :meth:`send`, reads with :meth:`next_event` (bounded by the
    deadline) or the connection's protocol under its own :class:`Deadline`,
    and ends the call once with :meth:`end`, after :meth:`failed` for a
    failure or :meth:`left` for an answer it leaves unread.
    """

    __slots__ = ("conn", "core", "deadline", "method", "packet")

    def __init__(self, conn: AsyncConnection, method: Any, args: Any, kwargs: Any) -> None:
        module = conn._module
        if conn._busy:
            raise RuntimeError(CALL_IN_PROGRESS)
        life = conn._call_life
        if (conn._closed or conn._transport.is_closing()) and life.unusable is None:
            # the server ended the connection since the last call: as a
            # blocking call finds it, at its first read
            raise life.failed(module.ProtocolError(DISCONNECTED), method)
        self.deadline = life.begin(method)  # ConnectionClosed on a closed or broken connection
        try:
            self.packet = pack_one((method, args, kwargs), MSG_TYPE.REQUEST,
                                   module.DEFAULT_SERIALIZER_TYPE, module.DEFAULT_COMPRESSION_METHOD)
        except Exception as e:  # nothing was sent: the connection is as it was
            failure = encode_failed(vars(module), (method, args, kwargs), e)
            if failure is e:
                raise
            raise failure from e
        self.conn = conn
        self.method = method
        self.core = AnswerCore(conn._ns, max_bytes=life.max_answer_bytes)
        conn._busy = True
        conn._closed_in_call = False

    async def send(self) -> None:
        protocol = self.conn._protocol
        protocol.write(self.packet)
        if protocol.write_paused:
            await protocol.drain()

    def left_time(self) -> Optional[float]:
        """Seconds left of the call (None: no limit); TimeoutError when none."""
        if self.deadline is None:
            return None
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the call took longer than its time-out")
        return left

    def read(self) -> Awaitable[Event]:
        """The answer's next event, for a reader under a :class:`Deadline` of its own."""
        return self.conn._protocol.next_event(self.core)

    async def next_event(self) -> Event:
        """The answer's next event, within the call's deadline."""
        left = self.left_time()
        if left is None:
            return await self.conn._protocol.next_event(self.core)
        with Deadline(left, "the call"):
            return await self.conn._protocol.next_event(self.core)

    def end(self) -> None:
        self.conn._busy = False

    def failed(self, error: BaseException) -> BaseException:
        """The call ends with ``error``; the exception to raise for it.  Anything
        but a server error closes the connection: the rest of the answer may
        still be on the way."""
        conn = self.conn
        if isinstance(error, ServerError):
            return error
        conn.abort_transport()
        if conn._closed_in_call and isinstance(error, Exception):
            error = conn._module.ProtocolError(CLOSED_DURING_CALL)
        return conn._call_life.failed(error, self.method)

    def left(self, what: str) -> None:
        """The answer was left before its end (``what``: how): the connection is
        closed, since the rest may still be on the way, and says why."""
        conn = self.conn
        conn._call_life.left(self.method, what)
        conn.abort_transport()


async def _let_others_run() -> None:
    # A timer rather than sleep(0): a task that only yields is queued again at
    # once, ahead of the timers that fell due meanwhile, and would run its next
    # slice before them.  A timer due now is queued behind them.
    await asyncio.sleep(_TURN_DELAY)


def _poll_variant(fd: int) -> bool:
    poll = select.poll()
    poll.register(fd, select.POLLIN | select.POLLERR)
    return not poll.poll(0)


def _select_variant(fd: int) -> bool:
    readable, _, exceptional = select.select([fd], [], [fd], 0)
    return not (readable or exceptional)


_nothing_pending = _poll_variant if hasattr(select, "poll") else _select_variant


async def connect(address: Optional[AddressLike] = None, auth: AuthOption = None,
                  *, timeout: Optional[float] = TIMEOUT, connect_timeout: Optional[float] = CONNECT_TIMEOUT,
                  tls: TLSOption = TLS, load_balance: str = LOAD_BALANCE,
                  on_notice: Optional[NoticeHandler] = None,
                  max_answer_bytes: int = DEFAULT_MAX_ANSWER_BYTES, user: Optional[str] = None,
                  password: Optional[str] = None) -> AsyncConnection:
    """Open a connection and authenticate: the asyncio twin of :func:`vantrel.connect`.

    The address, ``auth`` (or ``user`` and ``password``) and the options are those of :func:`vantrel.connect`
    (every address form, ``VANTREL_URL``, ``VANTREL_USER`` /
    ``VANTREL_PASSWORD``, several hosts each within its share of
    ``connect_timeout``, ``load_balance``, ``on_notice``); ``timeout`` limits
    every call as a whole.  When every host fails: :class:`vantrel.ConnectError`
    naming each host and its cause.
    """
    s = settings(address, auth, timeout=timeout, connect_timeout=connect_timeout, tls=tls,
                 load_balance=load_balance, max_answer_bytes=max_answer_bytes, user=user,
                 password=password)
    context = tls_context(s.tls)
    opening = Opening(s)
    for host, limit in opening.tries():
        try:
            conn = await _open_one(host, s, limit, context)
        except Exception as e:
            if not opening.failed(host, e):
                raise
            continue
        deliver_notice(conn.notice, on_notice)
        return conn
    raise opening.error()


async def _open_one(host: Tuple[str, int], s: Settings, limit: Optional[float],
                    context: Any) -> AsyncConnection:
    conns: List[AsyncConnection] = []
    where = format_address(host)

    async def open_and_authenticate() -> AsyncConnection:
        loop = asyncio.get_running_loop()
        transport, protocol = await loop.create_connection(
            lambda: PacketProtocol(MODULE), host[0], host[1], ssl=context,
            server_hostname=host[0] if context is not None else None)
        assert isinstance(transport, asyncio.Transport)
        conn = AsyncConnection(transport, protocol, s.timeout, address=host,
                               max_answer_bytes=s.max_answer_bytes)
        conns.append(conn)
        await conn._handshake(s.auth)
        return conn

    try:
        if limit is None:
            return await open_and_authenticate()
        if limit <= 0:
            raise Timeout("connecting to %s: no time left of connect_timeout" % (where,))
        with Deadline(limit, "connecting to %s" % (where,)):
            return await open_and_authenticate()
    except BaseException as e:
        for conn in conns:
            conn.abort()
        if isinstance(e, ServerError):
            raise refused_login(e, host, s.auth.get("user")) from e
        if isinstance(e, TimeoutError) and not isinstance(e, Timeout):
            raise Timeout("connecting to %s took longer than %s" % (where, duration_text(limit or 0))) from e
        raise
