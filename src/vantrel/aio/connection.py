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
from typing import Any, Dict, List, Mapping, Optional, Tuple, Type

from vantrel._address import AddressLike, format_address
from vantrel._core import END, VALUE, AnswerCore
from vantrel._handshake import NoticeHandler, deliver_notice, handshake_packet
from vantrel._header import CLOSED_DURING_CALL
from vantrel._impls import connection_module
from vantrel._tls_mismatch import explain as explain_tls_mismatch
from vantrel.client import UNSET, Settings, TLSOption, connect_error, settings, tls_context, why_broken
from vantrel.errors import ConnectionClosed, Timeout
from vantrel.share.codec import pack_one
from vantrel.share.errors import ServerError
from vantrel.share.protocol import MSG_TYPE
from vantrel.utils import connection_error

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

CALL_IN_PROGRESS = "another call is in progress on this connection"

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
                 address: Tuple[str, int] = ("", 0)) -> None:
        self._transport = transport
        self._protocol = protocol
        self._module = module
        self._timeout = timeout
        self._busy = False
        self._closed = False
        self._broken: Optional[str] = None
        self._closed_in_call = False  # close() was called during the call in progress
        self._method: Any = None      # the method of the call in progress
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
        return self._closed or self._transport.is_closing()

    @property
    def broken(self) -> bool:
        """True when a failed call closed the connection (see :attr:`broken_reason`)."""
        return self._broken is not None

    @property
    def broken_reason(self) -> Optional[str]:
        """Why the connection broke ("closed by a time-out in the previous call ..."),
        or None."""
        return self._broken

    @property
    def timeout(self) -> Optional[float]:
        """The limit of each call as a whole, in seconds (None: no limit)."""
        return self._timeout

    @property
    def max_answer_bytes(self) -> Optional[int]:
        """The most bytes one answer may take (see :func:`vantrel.connect`)."""
        return self._protocol.limit

    def __repr__(self) -> str:
        state = ("broken" if self._broken is not None else "closed" if self.closed
                 else "busy" if self._busy else "idle")
        return "<vantrel.aio.AsyncConnection %s %s>" % (format_address(self.address), state)

    @property
    def busy(self) -> bool:
        """True while a call is in progress."""
        return self._busy

    def set_timeout(self, timeout: Optional[float]) -> None:
        """Limit every later call to ``timeout`` seconds (None: no limit)."""
        self._timeout = timeout

    def is_normal(self) -> bool:
        """True when the connection is idle, open and nothing is pending on it.

        False during a call, after :meth:`close` or a failed call, and when
        bytes have arrived that no call asked for (or the server ended the
        connection): received but not yet read, or still in the socket.
        Nothing is read.
        """
        if self._busy or self._closed or self._transport.is_closing():
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
        self._closed = True
        self._transport.abort()

    def close_nowait(self) -> None:
        """Start closing the connection; :meth:`close` also waits for the end."""
        self._closed = True
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
        core, packet = self._start_call(method, args, kwargs)
        try:
            if self._timeout is None:
                return await self._exchange(core, packet)
            with Deadline(self._timeout, "the call"):
                return await self._exchange(core, packet)
        except BaseException as e:
            failure = self._call_failed(e)
            if failure is e:
                raise
            raise failure from e
        finally:
            self._busy = False

    # -- the answer (also read by vantrel.aio.results) -------------------------

    def _start_call(self, method: Any, args: Any, kwargs: Any) -> Tuple[AnswerCore, bytes]:
        """Check that the connection can take a call and mark it busy; the core
        that reads its answer and the request packet, for the caller to
        :meth:`_send`.  The caller ends the call (``_busy = False``, and
        :meth:`_call_failed` on a failure)."""
        module = self._module
        if self._busy:
            raise RuntimeError(CALL_IN_PROGRESS)
        if self.closed:
            raise self._refused(method)
        packet = pack_one((method, args, kwargs), MSG_TYPE.REQUEST,
                          module.DEFAULT_SERIALIZER_TYPE, module.DEFAULT_COMPRESSION_METHOD)
        self._busy = True
        self._closed_in_call = False
        self._method = method
        self._protocol.room = self._protocol.limit  # each answer starts with all of it
        return AnswerCore(vars(module)), packet

    async def _send(self, packet: bytes) -> None:
        protocol = self._protocol
        protocol.write(packet)
        if protocol.write_paused:
            await protocol.drain()

    def _left(self) -> None:
        """The answer in progress was left before its end: the connection is
        closed (the rest may still be on the way) and marked broken."""
        if self._broken is None:
            self._broken = ("closed when the answer of the previous call (%r) was left before its end"
                            % (self._method,))
        self.abort()

    def _refused(self, method: Any) -> ConnectionClosed:
        which = "broken" if self._broken is not None else "closed"
        reason = self._broken or ("closed by close()" if self._closed else "closed by the server")
        return ConnectionClosed("call %r on a %s connection to %s (%s)"
                                % (method, which, format_address(self.address), reason), reason)

    def _call_failed(self, error: BaseException) -> BaseException:
        """A call ends with ``error``; the exception to raise for it.

        A server error (an ERROR packet, read whole) ends the answer and leaves
        the connection usable.  Anything else closes it, since the rest of the
        answer may still be on the way, and marks it broken (but for a close()
        during the call, which fails the call as the blocking readers' do).
        """
        if isinstance(error, ServerError):
            return error
        self.abort()
        if self._closed_in_call and isinstance(error, Exception):
            return self._module.ProtocolError(CLOSED_DURING_CALL)  # type: ignore[no-any-return]
        method, limit = self._method, self._timeout
        where = format_address(self.address)
        if isinstance(error, TimeoutError) and limit is not None:
            text = "call %r to %s took longer than %g s" % (method, where, limit)
            self._broken = "closed by a time-out in the previous call (%s)" % text
            return Timeout(text)
        if isinstance(error, connection_error):
            self._broken = "%s in the previous call (%r: %s)" % (why_broken(error), method, error)
            return error
        if isinstance(error, OSError):
            self._broken = ("closed when the connection was lost in the previous call (%s: %s)"
                            % (type(error).__name__, error))
            return ConnectionClosed("connection to %s lost during call %r: %s: %s"
                                    % (where, method, type(error).__name__, error), self._broken)
        self._broken = ("closed after the previous call (%r) failed with %s"
                        % (method, type(error).__name__))
        return error

    async def _exchange(self, core: AnswerCore, packet: bytes) -> Any:
        protocol = self._protocol
        await self._send(packet)
        event, value = await protocol.next_event(core)
        if event == VALUE:
            return value
        if event == END:
            return []
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
            event, value = await protocol.next_event(core)
            if event == END:
                break
            keys = extend_result(core, result, value, keys)
        if core.kind == _TABLE2:
            return (keys, result)
        return result


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


async def connect(address: Optional[AddressLike] = None, auth: Optional[Mapping[str, Any]] = None,
                  *, timeout: Optional[float] = UNSET, connect_timeout: Optional[float] = UNSET,
                  tls: TLSOption = UNSET, load_balance: str = UNSET,
                  on_notice: Optional[NoticeHandler] = None,
                  max_answer_bytes: int = UNSET) -> AsyncConnection:
    """Open a connection and authenticate: the asyncio twin of :func:`vantrel.connect`.

    The address, ``auth`` and the options are those of :func:`vantrel.connect`
    (every address form, ``VANTREL_URL``, ``VANTREL_USER`` /
    ``VANTREL_PASSWORD``, several hosts each within its share of
    ``connect_timeout``, ``load_balance``, ``on_notice``); ``timeout`` limits
    every call as a whole.  When every host fails: :class:`vantrel.ConnectError`
    naming each host and its cause.
    """
    s = settings(address, auth, timeout=timeout, connect_timeout=connect_timeout, tls=tls,
                 load_balance=load_balance, max_answer_bytes=max_answer_bytes)
    context = tls_context(s.tls)
    deadline = s.opening_deadline()
    attempts: List[Tuple[Tuple[str, int], BaseException]] = []
    for i, host in enumerate(s.hosts):
        try:
            conn = await _open_one(host, s, s.host_limit(deadline, len(s.hosts) - i), context)
        except ServerError:
            raise
        except (OSError, connection_error) as e:
            attempts.append((host, explain_tls_mismatch(e, context is not None)))
            continue
        deliver_notice(conn.notice, on_notice)
        return conn
    raise connect_error(attempts)


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
        conn = AsyncConnection(transport, protocol, s.timeout, address=host)
        protocol.limit = protocol.room = s.max_answer_bytes
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
        if isinstance(e, TimeoutError) and not isinstance(e, Timeout):
            raise Timeout("connecting to %s took longer than %g s" % (where, limit or 0)) from e
        raise
