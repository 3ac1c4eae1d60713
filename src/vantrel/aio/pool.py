"""A pool of asyncio connections shared by the tasks of one event loop.

::

    pool = Pool(("127.0.0.1", 7000), {"user": "ann"}, max_size=8)
    async with pool.connection() as conn:
        rows = await conn.execute("table", 100)
    rows = await pool.execute("table", 100)     # the same, in one step
    await pool.close()

A connection is handed to one task at a time and taken back when its block
ends.  It goes back into the pool only when it is still open: a call that
failed in mid-answer (a broken or lost connection, a cancellation, a
time-out) has closed it, and the pool drops it; a server error leaves it
usable.  A connection that has been idle longer than ``check_after`` seconds
is checked with ``is_normal()`` before it is handed out, one idle longer than
``max_idle`` seconds is closed (as long as ``min_size`` are kept).  When all
``max_size`` connections are in use, a task waits its turn (first come, first
served) for at most ``timeout`` seconds, then gets :class:`PoolTimeout`.
Connections are opened on demand; a failed attempt is retried with the
thread pool's back-off (:func:`vantrel.pool.backoff_delay`), shared by all
tasks, until the same ``timeout`` runs out.  Sizes, back-off, which failures
are retried and the error classes are those of :mod:`vantrel.pool`.
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import logging
from types import TracebackType
from typing import Any, AsyncIterator, Deque, Dict, Mapping, Optional, Sequence, Set, Tuple, Type

from vantrel.pool import (
    BACKOFF_FIRST,
    BACKOFF_MAX,
    PoolClosed,
    PoolError,
    PoolTimeout,
    backoff_delay,
    check_settings,
    open_options,
    retries_connect,
)

from .connection import AsyncConnection, connect

__all__ = ["FIRST_BACKOFF", "MAX_BACKOFF", "Pool", "PoolClosed", "PoolError", "PoolTimeout"]

log = logging.getLogger("vantrel")

#: The first wait (seconds) after a failed attempt to connect, doubled after
#: each further failure up to MAX_BACKOFF: the thread pool's.
FIRST_BACKOFF = BACKOFF_FIRST
MAX_BACKOFF = BACKOFF_MAX


class Pool:
    """Connections to one server, opened on demand up to ``max_size``.

    ``connect_options`` (``timeout``, ``connect_timeout``, ``tls``) go to
    :func:`connect` for every connection.
    """

    def __init__(self, address: Sequence[Any], auth: Optional[Mapping[str, Any]] = None, *,
                 min_size: int = 0, max_size: int = 10, timeout: float = 30.0,
                 max_idle: Optional[float] = 300.0, check_after: float = 1.0,
                 **connect_options: Any) -> None:
        check_settings(min_size, max_size, timeout, max_idle, check_after)
        self.address = (address[0], address[1])
        self._auth = auth
        self.min_size = min_size
        self.max_size = max_size
        self.timeout = timeout
        self.max_idle = max_idle
        self.check_after = check_after
        self._options = connect_options
        self._idle: Deque[Tuple[AsyncConnection, float]] = collections.deque()
        self._in_use: Set[AsyncConnection] = set()
        self._size = 0                       # open connections and openings in progress
        self._waiters: Deque[asyncio.Future[Optional[AsyncConnection]]] = collections.deque()
        self._closed = False
        self._failures = 0                   # failed attempts to connect in a row
        self._retry_at = 0.0
        self._counts: Dict[str, int] = dict.fromkeys(
            ("opened", "discarded", "failed_checks", "connect_errors", "timeouts", "waits"), 0)

    # -- opening and closing -----------------------------------------------------

    async def open(self) -> None:
        """Open connections until ``min_size`` are open."""
        loop = asyncio.get_running_loop()
        while self._size < self.min_size and not self._closed:
            self._size += 1
            try:
                conn = await self._connect(loop.time() + self.timeout)
            except BaseException:
                self._pass_place()
                raise
            self._idle.append((conn, loop.time()))

    async def close(self) -> None:
        """Close the idle connections; those in use are closed when they come back.

        Tasks waiting for a connection get :class:`PoolClosed`.
        """
        self._closed = True
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_exception(PoolClosed("the pool is closed"))
        idle = [conn for conn, _ in self._idle]
        self._idle.clear()
        self._size -= len(idle)
        for conn in idle:
            conn.close_nowait()
        await asyncio.gather(*(conn.close() for conn in idle), return_exceptions=True)

    async def __aenter__(self) -> Pool:
        await self.open()
        return self

    async def __aexit__(self, exc_type: Optional[Type[BaseException]],
                        exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        await self.close()

    def stats(self) -> Dict[str, Any]:
        """Counts of the pool's connections and events, for monitoring."""
        return {
            "size": self._size,
            "idle": len(self._idle),
            "in_use": len(self._in_use),
            "waiting": sum(1 for w in self._waiters if not w.done()),
            "min_size": self.min_size,
            "max_size": self.max_size,
            "closed": self._closed,
            **self._counts,
        }

    # -- handing out -------------------------------------------------------------

    @contextlib.asynccontextmanager
    async def connection(self) -> AsyncIterator[AsyncConnection]:
        """``async with pool.connection() as conn:`` a connection for this task alone."""
        conn = await self.acquire()
        try:
            yield conn
        finally:
            self.release(conn)

    async def execute(self, method: Any, *args: Any, **kwargs: Any) -> Any:
        """Run one call on a connection of the pool."""
        conn = await self.acquire()
        try:
            return await conn.execute(method, *args, **kwargs)
        finally:
            self.release(conn)

    async def acquire(self) -> AsyncConnection:
        """A connection for the calling task; give it back with :meth:`release`."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.timeout
        while True:
            if self._closed:
                raise PoolClosed("the pool is closed")
            conn = self._take_idle(loop.time())
            if conn is None and self._size < self.max_size and not self._waiters:
                self._size += 1
                try:
                    conn = await self._connect(deadline)
                except BaseException:
                    self._pass_place()
                    raise
            if conn is None:
                conn = await self._wait(deadline)
            if conn is not None:
                self._in_use.add(conn)
                return conn

    def release(self, conn: AsyncConnection) -> None:
        """Take back a connection handed out by :meth:`acquire`.

        An open, idle connection returns to the pool (or goes straight to a
        waiting task); a closed one, or one still in a call, is dropped.
        """
        if conn not in self._in_use:
            return  # not handed out by this pool, or given back already
        self._in_use.discard(conn)
        if conn.busy:
            conn.abort()  # given back while its call goes on: that call fails
        if conn.closed or self._closed:
            self._discard(conn)
            return
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_result(conn)
                return
        now = asyncio.get_running_loop().time()
        self._idle.append((conn, now))
        self._prune(now)

    # -- the inside ----------------------------------------------------------------

    def _pass_place(self) -> None:
        """Give up a place counted in the size: to the first waiting task, which
        then opens a connection in it, or for good."""
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_result(None)
                return
        self._size -= 1

    def _discard(self, conn: AsyncConnection) -> None:
        self._counts["discarded"] += 1
        conn.close_nowait()
        self._pass_place()

    def _prune(self, now: float) -> None:
        # The least recently used connections stand at the left.
        if self.max_idle is None:
            return
        idle = self._idle
        while idle and now - idle[0][1] > self.max_idle and self._size > self.min_size:
            self._discard(idle.popleft()[0])

    def _take_idle(self, now: float) -> Optional[AsyncConnection]:
        self._prune(now)
        idle = self._idle
        while idle:
            conn, since = idle.pop()
            if conn.closed or (now - since > self.check_after and not conn.is_normal()):
                self._counts["failed_checks"] += 1
                self._discard(conn)
                continue
            return conn
        return None

    async def _wait(self, deadline: float) -> Optional[AsyncConnection]:
        """Wait for a released connection (returned) or a free place (None)."""
        loop = asyncio.get_running_loop()
        waiter: asyncio.Future[Optional[AsyncConnection]] = loop.create_future()
        self._waiters.append(waiter)
        self._counts["waits"] += 1
        remaining = deadline - loop.time()
        timer = loop.call_later(max(remaining, 0.0), self._expire, waiter)
        try:
            result = await waiter
        except BaseException:
            if waiter.done() and not waiter.cancelled() and waiter.exception() is None:
                # Handed a connection or a place just as this task was cancelled:
                # pass it on.
                got = waiter.result()
                if got is None:
                    self._pass_place()
                else:
                    self._in_use.add(got)
                    self.release(got)
            raise
        finally:
            timer.cancel()
            with contextlib.suppress(ValueError):
                self._waiters.remove(waiter)
        if result is None:
            # A place was passed to this task: open a connection in it.
            try:
                return await self._connect(deadline)
            except BaseException:
                self._pass_place()
                raise
        return result

    def _expire(self, waiter: asyncio.Future[Optional[AsyncConnection]]) -> None:
        if not waiter.done():
            self._counts["timeouts"] += 1
            waiter.set_exception(PoolTimeout(
                "no connection free within %g s (all %d of the pool in use)"
                % (self.timeout, self.max_size)))

    async def _connect(self, deadline: float) -> AsyncConnection:
        """Open one connection, retrying with back-off until ``deadline``."""
        loop = asyncio.get_running_loop()
        last: Optional[BaseException] = None
        while True:
            now = loop.time()
            pause = self._retry_at - now
            if pause > 0:
                if now + pause >= deadline:
                    break
                await asyncio.sleep(pause)
            if self._closed:
                raise PoolClosed("the pool is closed")
            remaining = deadline - loop.time()
            if remaining <= 0:
                break
            try:
                conn = await connect(self.address, self._auth,
                                     **open_options(self._options, remaining))
            except Exception as e:
                if not retries_connect(e):
                    raise  # refused by the server (authentication): trying again will not help
                last = e
                self._counts["connect_errors"] += 1
                self._failures += 1
                pause = backoff_delay(self._failures)
                self._retry_at = loop.time() + pause
                log.warning("pool: connecting to %s:%s failed (%s: %s), retrying in %.1f s",
                            self.address[0], self.address[1], type(e).__name__, e, pause)
                if self._retry_at >= deadline:
                    break
                continue
            self._failures = 0
            self._retry_at = 0.0
            self._counts["opened"] += 1
            if self._closed:  # closed while this connection was being opened
                conn.close_nowait()
                raise PoolClosed("the pool is closed")
            return conn
        self._counts["timeouts"] += 1
        raise PoolTimeout("could not connect to %s:%s within %g s: %s"
                          % (self.address[0], self.address[1], self.timeout,
                             last if last is not None else "still backing off")) from last

