"""Reading packets from an asyncio transport.

:class:`PacketProtocol` is the protocol of one client connection.  The
transport hands it bytes as they arrive; it keeps them in one buffer and wakes
the reading task only once the buffer holds what that task asked for (a whole
header, a whole body), so a body that arrives in many pieces costs the task one
wake-up.  The buffer is bounded: once it holds more than :data:`HIGH_WATER`
bytes and all that the reader waits for, the transport stops reading until the
reader has taken it below that.

:meth:`PacketProtocol.next_event` feeds the answer core (``vantrel._core``)
one packet at a time, its header before any body byte is taken, until the
core has an event for the caller: the answer's value, a batch (undecoded, so
that the caller decides how to decode it) or its end.
"""

from __future__ import annotations

import asyncio
from types import ModuleType
from typing import Optional

from vantrel._core import SERVER_ERROR, AnswerCore, Event

__all__ = ["HIGH_WATER", "PacketProtocol"]

#: The transport stops reading while the buffer holds more than this many
#: bytes and all that the reader is waiting for.
HIGH_WATER = 1 << 20


class PacketProtocol(asyncio.Protocol):
    """Buffered reading of packets, write flow control and the connection's end.

    ``module`` is the connection module of the connection.  The header checks
    and the errors are the answer core's (:meth:`next_event`): a malformed or
    truncated packet, and the end of the stream before a header, fail as with
    the blocking connection.
    """

    def __init__(self, module: ModuleType) -> None:
        self._module = module
        self._loop: asyncio.AbstractEventLoop  # set once connected
        self._buf = bytearray()
        self._need = 0                        # bytes the waiting reader needs
        self._waiter: Optional[asyncio.Future[None]] = None
        self._eof = False
        self._lost: Optional[BaseException] = None  # the error that ended the connection
        self._paused = False
        self._write_paused = False
        self._drain_waiter: Optional[asyncio.Future[None]] = None
        self._closed: Optional[asyncio.Future[None]] = None
        self.transport: Optional[asyncio.Transport] = None
        #: Times a read had to wait for the network: the event loop ran meanwhile.
        self.waits = 0

    # -- transport callbacks -------------------------------------------------

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transport = transport
        self._loop = asyncio.get_running_loop()
        self._closed = self._loop.create_future()

    def data_received(self, data: bytes) -> None:
        buf = self._buf
        buf += data
        if len(buf) >= self._need:
            waiter = self._waiter
            if waiter is not None and not waiter.done():
                waiter.set_result(None)
            if len(buf) > HIGH_WATER and not self._paused and self.transport is not None:
                self._paused = True
                self.transport.pause_reading()

    def eof_received(self) -> Optional[bool]:
        self._eof = True
        self._wake()
        return None  # the transport closes itself

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self._eof = True
        self._lost = exc
        self._wake()
        if self._drain_waiter is not None and not self._drain_waiter.done():
            self._drain_waiter.set_result(None)
        if self._closed is not None and not self._closed.done():
            self._closed.set_result(None)

    def pause_writing(self) -> None:
        self._write_paused = True

    def resume_writing(self) -> None:
        self._write_paused = False
        if self._drain_waiter is not None and not self._drain_waiter.done():
            self._drain_waiter.set_result(None)

    def _wake(self) -> None:
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    # -- state ---------------------------------------------------------------

    def pending(self) -> bool:
        """True when received bytes are waiting or the peer has ended the stream."""
        return bool(self._buf) or self._eof

    async def wait_closed(self) -> None:
        if self._closed is not None:
            await asyncio.shield(self._closed)

    # -- writing -------------------------------------------------------------

    def write(self, data: bytes) -> None:
        assert self.transport is not None
        self.transport.write(data)

    @property
    def write_paused(self) -> bool:
        """True while the transport's write buffer is full: :meth:`drain` waits."""
        return self._write_paused

    async def drain(self) -> None:
        """Wait until the transport's write buffer has room again (or the end)."""
        while self._write_paused and not self._eof:
            self._drain_waiter = asyncio.get_running_loop().create_future()
            try:
                await self._drain_waiter
            finally:
                self._drain_waiter = None

    # -- reading -------------------------------------------------------------

    def _wait(self, n: int) -> asyncio.Future[None]:
        """A future done once the buffer holds ``n`` bytes or the stream has ended."""
        if self._paused and self.transport is not None:
            self._paused = False
            self.transport.resume_reading()
        self._need = n
        self._waiter = waiter = self._loop.create_future()
        self.waits += 1
        return waiter

    async def _fill(self, n: int) -> None:
        """Wait until the buffer holds ``n`` bytes or the stream has ended."""
        buf = self._buf
        while len(buf) < n and not self._eof:
            try:
                await self._wait(n)
            finally:
                self._waiter = None
                self._need = 0
        if len(buf) < n and self._lost is not None:
            raise self._lost

    def _take(self, n: int) -> bytes:
        buf = self._buf
        if n >= len(buf):
            data = bytes(buf)
            buf.clear()
        else:
            data = bytes(memoryview(buf)[:n])  # (the view is gone before the buffer shrinks)
            del buf[:n]
        if self._paused and len(buf) <= HIGH_WATER and self.transport is not None:
            self._paused = False
            self.transport.resume_reading()
        return data

    async def next_event(self, core: AnswerCore) -> Event:
        """Read packets into ``core`` until it gives an event; a server error is raised.

        Each header is checked (by the core, with the answer's room) before
        any body byte is taken.  A packet already whole in the buffer is read
        without a wait; otherwise the task waits once for the header, and once
        more only when the body has not come with it.
        """
        buf = self._buf
        size = core.ns["HEADER_LENGTH"]
        header_of = core.header
        while True:
            if len(buf) < size:
                # (the wait of _fill, inline: no coroutine of its own per packet)
                while len(buf) < size and not self._eof:
                    if self._paused and self.transport is not None:
                        self._paused = False
                        self.transport.resume_reading()
                    self._need = size
                    self._waiter = waiter = self._loop.create_future()
                    self.waits += 1
                    try:
                        await waiter
                    finally:
                        self._waiter = None
                        self._need = 0
                if len(buf) < size and self._lost is not None:
                    raise self._lost
            have = len(buf)
            # The header is checked as a slice of the buffer (the checker reads
            # any bytes-like header); a short one, at the end of the stream, is
            # the core's error.
            length = header_of(buf[:size] if have >= size else self._take(size))  # type: ignore[arg-type]
            end = size + length
            if have >= end:
                # the whole packet is here: one copy of the body, no wait
                body = bytes(memoryview(buf)[size:end]) if length else None
                if have == end:
                    buf.clear()
                else:
                    del buf[:end]
                if self._paused and len(buf) <= HIGH_WATER and self.transport is not None:
                    self._paused = False
                    self.transport.resume_reading()
            else:
                del buf[:size]
                await self._fill(length)
                body = self._take(length)
            event = core.packet(body)
            if event is not None:
                if event[0] == SERVER_ERROR:
                    raise event[1]
                return event
