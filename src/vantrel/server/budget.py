"""The server's budget of body bytes in flight, shared by its authenticated connections.

A connection reserves a body's announced size once the body's first bytes
have arrived (announcing a body costs nothing) and gives it back once the body
is decoded.  Past the budget, reservations wait in arrival order, so that no
new body is read until memory is freed.  One body may take at most ``share``
bytes of the budget while other bodies are in flight: a larger one (up to the
largest body a client may send, even past the whole budget) goes through
alone, when nothing else is in flight.  Small bodies and handshakes are not
counted here (see :mod:`vantrel.server.wire`).
"""

from __future__ import annotations

import asyncio
from collections import deque
from typing import Deque, Optional, Tuple

__all__ = ["ByteBudget"]


class ByteBudget:
    """``limit`` bytes shared by coroutines of one event loop, at most ``share`` (by
    default a quarter of ``limit``) to one reservation unless it is alone."""

    def __init__(self, limit: int, share: Optional[int] = None) -> None:
        if limit < 1:
            raise ValueError("the in-flight budget must be at least 1 byte, not %r" % (limit,))
        self.limit = limit
        self.share = max(1, limit // 4) if share is None else share
        self.used = 0
        self._waiters: Deque[Tuple[int, asyncio.Future[None]]] = deque()

    def _fits(self, size: int) -> bool:
        return self.used == 0 or (self.used + size <= self.limit and size <= self.share)

    async def acquire(self, size: int) -> None:
        """Reserve ``size`` bytes, waiting for them if need be."""
        if not self._waiters and self._fits(size):
            self.used += size
            return
        waiter: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        entry = (size, waiter)
        self._waiters.append(entry)
        try:
            await waiter
        except asyncio.CancelledError:
            if waiter.done() and not waiter.cancelled():
                self.release(size)  # granted just as it was cancelled
            else:
                try:
                    self._waiters.remove(entry)
                except ValueError:  # already dropped by _wake
                    pass
                self._wake()
            raise

    def release(self, size: int) -> None:
        self.used -= size
        self._wake()

    def _wake(self) -> None:
        while self._waiters:
            size, waiter = self._waiters[0]
            if waiter.done():
                self._waiters.popleft()
                continue
            if not self._fits(size):
                return
            self._waiters.popleft()
            self.used += size
            waiter.set_result(None)
