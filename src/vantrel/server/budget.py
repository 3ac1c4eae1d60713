"""The server's budget of body bytes in flight, shared by all its connections.

A connection reserves a body's announced size before reading it and gives it
back once the body is decoded.  Past the budget, reservations wait in arrival
order, so that no new body is read until memory is freed.  A body larger than
the whole budget still goes through, alone, when nothing else is in flight.
"""

from __future__ import annotations

import asyncio
from collections import deque
from typing import Deque, Tuple

__all__ = ["ByteBudget"]


class ByteBudget:
    """``limit`` bytes shared by coroutines of one event loop."""

    def __init__(self, limit: int) -> None:
        if limit < 1:
            raise ValueError("the in-flight budget must be at least 1 byte, not %r" % (limit,))
        self.limit = limit
        self.used = 0
        self._waiters: Deque[Tuple[int, asyncio.Future[None]]] = deque()

    def _fits(self, size: int) -> bool:
        return self.used == 0 or self.used + size <= self.limit

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
