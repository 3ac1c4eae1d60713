"""The asyncio connection: :func:`connect` and :class:`AsyncConnection`.

An :class:`AsyncConnection` gives for every call what the blocking
``Connection.execute`` gives: the RESPONSE body, a list of row dictionaries for
a table stream, ``(head, data)`` for a table2 stream, the list of items for a
feed stream, ``[]`` for an empty stream, with the same exceptions and texts.

One call at a time: a call started while another is in progress on the same
connection raises ``ProtocolError`` at once, before anything is sent.  A call
that fails in mid-answer (a broken packet, a lost connection, a cancellation, a
time-out) closes the connection, since the rest of its answer may still be on
the way: no later call can ever read it.  A server error (an ERROR packet,
read whole) leaves the connection usable.

Stream answers are decoded packet by packet as the packets arrive.  Between
packets the call hands the event loop a turn whenever it has held it for
:data:`SLICE` seconds, so a large answer does not stall other tasks.
"""

from __future__ import annotations

import asyncio
import select
import time
import warnings
from types import ModuleType, TracebackType
from typing import Any, Dict, List, Mapping, Optional, Sequence, Type

from vantrel._impls import connection_module
from vantrel.client import TLSOption, tls_context
from vantrel.share.codec import pack_one
from vantrel.share.errors import ServerError
from vantrel.share.protocol import MSG_TYPE

from .deadline import Deadline
from .decode import FIRST, decode_body, extend_result
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

_RESPONSE = MSG_TYPE.RESPONSE
_STREAM_START = MSG_TYPE.STREAM_START
_STREAM_END = MSG_TYPE.STREAM_END
_HANDSHAKE = MSG_TYPE.HANDSHAKE
_KINDS = {MSG_TYPE.TABLE: "table", MSG_TYPE.TABLE2: "table2", MSG_TYPE.FEED: "feed"}


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
        mt, st, cm, raw = await self._protocol.read_packet()
        body = decode_body(mt, raw, st, cm, module.ProtocolError)
        if mt != _HANDSHAKE:
            raise module.ProtocolError(
                "handshake message expected while {} received".format(MSG_TYPE[mt]))
        if body is not None:
            warnings.warn(body)  # noqa: B028 - the default category and level, as the blocking client

    # -- calls -----------------------------------------------------------------

    async def execute(self, method: Any, *args: Any, **kwargs: Any) -> Any:
        """Run ``method(*args, **kwargs)`` on the server and return its whole answer."""
        module = self._module
        if self._busy:
            raise RuntimeError(CALL_IN_PROGRESS)
        if self._closed:
            raise module.ProtocolError(CLOSED)
        packet = pack_one((method, args, kwargs), MSG_TYPE.REQUEST,
                          module.DEFAULT_SERIALIZER_TYPE, module.DEFAULT_COMPRESSION_METHOD)
        self._busy = True
        try:
            if self._timeout is None:
                return await self._exchange(packet)
            with Deadline(self._timeout, "the call"):
                return await self._exchange(packet)
        except ServerError:
            # An ERROR packet, read whole, ends the answer.
            raise
        except BaseException:
            self.abort()
            raise
        finally:
            self._busy = False

    async def _exchange(self, packet: bytes) -> Any:
        protocol = self._protocol
        error = self._module.ProtocolError
        protocol.write(packet)
        if protocol.write_paused:
            await protocol.drain()
        mt, st, cm, raw = await protocol.read_packet()
        body = decode_body(mt, raw, st, cm, error)
        if mt == _RESPONSE:
            return body
        if mt != _STREAM_START:
            raise error("got {} when STREAM_START expected".format(MSG_TYPE[mt]))
        mt, st, cm, raw = await protocol.read_packet()
        kind = mt
        name = _KINDS.get(kind)
        if name is None:
            decode_body(mt, raw, st, cm, error)
            if mt == _STREAM_END:
                return []
            raise error("unexpected message in stream: {}".format(MSG_TYPE[mt]))
        result: List[Any] = []
        clock = time.perf_counter
        turn_ends = clock() + SLICE
        keys = extend_result(kind, result, raw, st, cm, FIRST, error)
        while True:
            # Waiting for the network gives the others no turn: this task is
            # woken ahead of timers that fell due meanwhile.
            if clock() >= turn_ends:
                await _let_others_run()
                turn_ends = clock() + SLICE
            mt, st, cm, raw = await protocol.read_packet()
            if mt == kind:
                keys = extend_result(kind, result, raw, st, cm, keys, error)
            else:
                decode_body(mt, raw, st, cm, error)
                if mt == _STREAM_END:
                    break
                raise error("unexpected message in {} stream: {}".format(name, MSG_TYPE[mt]))
        if kind == MSG_TYPE.TABLE2:
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
