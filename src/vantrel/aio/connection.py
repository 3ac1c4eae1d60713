"""The asyncio connection: :func:`connect` and :class:`AsyncConnection`.

An :class:`AsyncConnection` gives for every call what the blocking
``Connection.execute`` gives: the RESPONSE body, a list of row dictionaries for
a table stream, ``(head, data)`` for a table2 stream, the list of items for a
feed stream, ``[]`` for an empty stream, with the same exceptions and texts.

One call at a time: a call started while another is in progress on the same
connection raises ``RuntimeError`` at once, before anything is sent.  A call
that fails in mid-answer (a broken packet, a lost connection, a cancellation, a
time-out) closes the connection, since the rest of its answer may still be on
the way: no later call can ever read it.  A server error (an ERROR packet,
read whole) leaves the connection usable.

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
import warnings
from types import ModuleType, TracebackType
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Type

from vantrel._core import END, VALUE, AnswerCore
from vantrel._header import CLOSED_DURING_CALL
from vantrel._impls import connection_module
from vantrel.client import TLSOption, tls_context
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

CALL_IN_PROGRESS = "another call is in progress on this connection"
CLOSED = "the connection is closed"

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
                 timeout: Optional[float] = None, module: ModuleType = MODULE) -> None:
        self._transport = transport
        self._protocol = protocol
        self._module = module
        self._timeout = timeout
        self._busy = False
        self._closed = False
        self._closed_in_call = False  # close() was called during the call in progress
        self._auth_info: Dict[str, Any] = {}

    # -- state -----------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once the connection was closed: by :meth:`close`, by a failed call
        or by the server."""
        return self._closed or self._transport.is_closing()

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
        module = self._module
        info = auth.copy()
        info["node"] = self._transport.get_extra_info("sockname")[0]
        self._auth_info = info
        packet = pack_one(info, MSG_TYPE.HANDSHAKE, module.DEFAULT_SERIALIZER_TYPE,
                          module.DEFAULT_COMPRESSION_METHOD, force_compress=True)
        self._protocol.write(packet)
        if self._protocol.write_paused:
            await self._protocol.drain()
        _, body = await self._protocol.next_event(AnswerCore(vars(module), handshake=True))
        if body is not None:
            warnings.warn(body)  # noqa: B028 - the default category and level, as the blocking client

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
            raise failure  # noqa: B904 - the call's own error stays the context
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
        if self._closed:
            raise module.ProtocolError(CLOSED)
        packet = pack_one((method, args, kwargs), MSG_TYPE.REQUEST,
                          module.DEFAULT_SERIALIZER_TYPE, module.DEFAULT_COMPRESSION_METHOD)
        self._busy = True
        self._closed_in_call = False
        return AnswerCore(vars(module)), packet

    async def _send(self, packet: bytes) -> None:
        protocol = self._protocol
        protocol.write(packet)
        if protocol.write_paused:
            await protocol.drain()

    def _call_failed(self, exc: BaseException) -> BaseException:
        """A call ends with ``exc``; the exception to raise for it.

        A server error (an ERROR packet, read whole) ends the answer and leaves
        the connection usable; anything else closes it, since the rest of the
        answer may still be on the way.  A call whose connection was closed
        under it fails as the blocking readers' do.
        """
        if isinstance(exc, ServerError):
            return exc
        self.abort()
        if self._closed_in_call and isinstance(exc, Exception):
            return self._module.ProtocolError(CLOSED_DURING_CALL)  # type: ignore[no-any-return]
        return exc

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


async def connect(address: Sequence[Any], auth: Optional[Mapping[str, Any]] = None, *,
                  timeout: Optional[float] = None, connect_timeout: Optional[float] = 10.0,
                  tls: TLSOption = None) -> AsyncConnection:
    """Open a connection to ``address`` (host, port) and authenticate with ``auth``.

    ``connect_timeout`` (seconds, or None) covers the TCP connection, the TLS
    handshake and the authentication; ``timeout`` then limits every call.
    ``tls``: True for TLS with the system's default context (the server's
    certificate checked against the host name), an :class:`ssl.SSLContext` to
    use as it is, None or False for plain TCP.  A notice in the server's
    handshake reply is issued as a warning.
    """
    host, port = address[0], address[1]
    context = tls_context(tls)
    record: Dict[str, Any] = {} if auth is None else dict(auth)
    conns: List[AsyncConnection] = []

    async def open_and_authenticate() -> AsyncConnection:
        loop = asyncio.get_running_loop()
        transport, protocol = await loop.create_connection(
            lambda: PacketProtocol(MODULE), host, port, ssl=context,
            server_hostname=host if context is not None else None)
        assert isinstance(transport, asyncio.Transport)
        conn = AsyncConnection(transport, protocol, timeout)
        conns.append(conn)
        await conn._handshake(record)
        return conn

    try:
        if connect_timeout is None:
            return await open_and_authenticate()
        with Deadline(connect_timeout, "connecting to %s:%s" % (host, port)):
            return await open_and_authenticate()
    except BaseException:
        for conn in conns:
            conn.abort()
        raise
