"""A pool of asyncio connections shared by the tasks of one event loop.

::

    pool = Pool(("127.0.0.1", 7000), {"user": "ann"}, max_size=8)
    async with pool.connection() as conn:
        rows = await conn.execute("table", 100)
    rows = await pool.execute("table", 100)     # the same, in one step
    await pool.close()

The rules, defaults, statistics and texts are those of the thread pool,
written once in :mod:`vantrel._poolcore` (see docs/pool.md); this module is
the driver for asyncio: futures to wait on, and the opening, checking and
closing of connections as coroutines.  ``check``, ``configure`` and
``reset`` may be plain functions or coroutine functions.
"""

from __future__ import annotations

import asyncio
import inspect
from types import TracebackType
from typing import Any, Callable, Dict, List, Optional, Set, Tuple, Type

from vantrel import _fork
from vantrel._lease import AsyncLease, caller, set_call_timeout
from vantrel._poolcore import (
    BACKOFF_FIRST,
    BACKOFF_MAX,
    CLOSED,
    Entry,
    Grant,
    Host,
    PoolBase,
    connection_level,
    keeps_connection,
    retries_connect,
)
from vantrel.errors import PoolClosed, PoolError, PoolTimeout

from .connection import AsyncConnection, connect

__all__ = ["FIRST_BACKOFF", "MAX_BACKOFF", "Pool", "PoolClosed", "PoolError", "PoolTimeout"]

FIRST_BACKOFF = BACKOFF_FIRST
MAX_BACKOFF = BACKOFF_MAX


def _fileno(conn: AsyncConnection) -> int:
    return int(conn._transport.get_extra_info("socket").fileno())


def _wake(served: List[Grant]) -> None:
    for grant in served:
        if grant.wake is not None and not grant.wake.done():
            grant.wake.set_result(None)


async def _call(callback: Callable[[Any], Any], conn: AsyncConnection) -> None:
    result = callback(conn)
    if inspect.isawaitable(result):
        await result


class _Handout:
    __slots__ = ("_lease", "_pool", "_timeout")

    def __init__(self, pool: Pool, timeout: Optional[float]) -> None:
        self._pool = pool
        self._timeout = timeout

    async def __aenter__(self) -> AsyncLease:
        pool = self._pool
        self._lease = AsyncLease(pool, await pool._take(
            pool.timeout if self._timeout is None else self._timeout, caller()))
        return self._lease

    async def __aexit__(self, exc_type: Optional[Type[BaseException]],
                        exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        await self._pool._release(self._lease, exc)


class Pool(PoolBase):
    """Connections to ``address`` (any form ``vantrel.connect`` takes; several
    hosts are spread over), opened on demand up to ``max_size``.

    The options are those of :class:`vantrel.Pool`: ``timeout`` bounds the whole
    wait for a connection, opening included; ``call_timeout`` limits every call;
    ``connect_options`` (``connect_timeout``, ``tls``) go to :func:`connect`.
    """

    _kind = "vantrel.aio.Pool"
    _connect = staticmethod(connect)
    _fileno = staticmethod(_fileno)

    def _start(self) -> None:
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._resets: Set[asyncio.Future[None]] = set()

    # -- opening and closing -----------------------------------------------------

    async def open(self) -> None:
        """Open connections until ``min_size`` are open (see :meth:`wait`)."""
        await self.wait()

    async def wait(self, timeout: Optional[float] = None) -> None:
        """Open connections until ``min_size`` are open, retrying failed openings;
        :class:`PoolTimeout` after ``timeout`` seconds (by default the pool's)."""
        loop = self._here()
        core = self._core
        limit = self.timeout if timeout is None else timeout
        deadline = loop.time() + limit
        while True:
            if core.closed:
                raise PoolClosed(CLOSED)
            now = loop.time()
            if core.size - core.opening >= core.min_size:
                return
            host = core.reserve(now) if core.size < core.min_size else None
            if host is None:
                if now >= deadline:
                    raise core.timeout_error(limit)
                await asyncio.sleep(min(deadline, core.next_due(now)) - now)
                continue
            entry = await self._open(host, deadline, handed=False)
            if entry is not None:
                self._put(entry, None, False)

    async def close(self) -> None:
        """Close the idle connections; those in use are closed when they come back.

        Tasks waiting for a connection get :class:`PoolClosed`.
        """
        self._forked()
        _wake(self._core.close())
        await self._close_all(self._core.take_trash())

    async def __aenter__(self) -> Pool:
        await self.open()
        return self

    async def __aexit__(self, exc_type: Optional[Type[BaseException]],
                        exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        await self.close()

    def stats(self) -> Dict[str, int]:
        """Counts (the same in both pools, see docs/pool.md)."""
        return self._core.stats()

    # -- handing out -------------------------------------------------------------

    def connection(self, timeout: Optional[float] = None) -> _Handout:
        """``async with pool.connection() as conn:`` a connection for this task alone.
        ``conn`` raises ``ConnectionClosed`` once given back."""
        return _Handout(self, timeout)

    async def execute(self, method: Any, *args: Any, **kwargs: Any) -> Any:
        """Run one call on a connection of the pool (never retried)."""
        entry = await self._take(self.timeout, None)
        try:
            result = await entry.conn.execute(method, *args, **kwargs)
        except BaseException as e:
            await self._give(entry, e)
            raise
        await self._give(entry, None)
        return result

    async def acquire(self, timeout: Optional[float] = None) -> AsyncLease:
        """A connection for the calling task; give it back with :meth:`release`.
        One that is never given back is reclaimed (with a warning) once its
        holder is gone."""
        where = caller()
        return AsyncLease(self, await self._take(self.timeout if timeout is None else timeout,
                                                 where))

    def release(self, conn: AsyncLease, error: Optional[BaseException] = None) -> None:
        """Take back a connection handed out by :meth:`acquire`; ``error``: what
        the holder's work on it raised, if anything.

        An open, idle connection returns to the pool (or goes straight to a
        waiting task); a closed one, one still in a call, or one whose work
        failed other than with a server error, is dropped.
        """
        if conn._conn is None:
            return
        entry = conn._entry
        conn._conn = None
        if entry.conn.busy:
            entry.conn.abort()  # given back while its call goes on: that call fails
        if self._core.reset is None:
            self._give_now(entry, error)
        else:
            task = asyncio.ensure_future(self._give(entry, error))
            self._resets.add(task)  # kept until done
            task.add_done_callback(self._resets.discard)

    async def _release(self, conn: AsyncLease, error: Optional[BaseException]) -> None:
        if conn._conn is None:
            return
        conn._conn = None
        await self._give(conn._entry, error)

    # -- the inside ----------------------------------------------------------------

    def _here(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.get_running_loop()
        self._loop = loop
        self._forked()
        return loop

    def _forked(self) -> None:
        if self._core.generation != _fork.generation:
            with _fork.lock:
                self._core.after_fork()

    async def _take(self, limit: float, where: Any) -> Entry:
        loop = self._here()
        entry = self._core.quick(loop.time())
        if entry is not None and await self._usable(entry):
            entry.where = where
            return entry
        deadline = loop.time() + limit
        while True:
            grant = await self._queue(loop, deadline, limit)
            entry = grant.entry
            if entry is None:
                assert grant.host is not None
                entry = await self._open(grant.host, deadline)
                if entry is None:
                    continue
            elif not await self._usable(entry):
                continue
            entry.where = where
            return entry

    async def _queue(self, loop: asyncio.AbstractEventLoop, deadline: float,
                     limit: float) -> Grant:
        core = self._core
        grant = Grant()
        try:
            _wake(core.enqueue(grant, loop.time()))
            while not grant.done:
                now = loop.time()
                if now >= deadline:
                    core.leave(grant, now)
                    raise core.timeout_error(limit)
                grant.wake = loop.create_future()
                timer = loop.call_at(min(deadline, core.next_due(now)), _wake, [grant])
                try:
                    await grant.wake
                finally:
                    timer.cancel()
                if not grant.done:
                    _wake(core.dispatch(loop.time()))
        except BaseException:
            _wake(core.leave(grant, loop.time()))
            raise
        finally:
            grant.wake = None
            await self._close_all(core.take_trash())
        if grant.error is not None:
            raise grant.error
        return grant

    async def _open(self, host: Host, deadline: float,
                    handed: bool = True) -> Optional[Entry]:
        core = self._core
        loop = asyncio.get_running_loop()
        address, auth, options = core.connect_args(host, deadline - loop.time())
        try:
            conn = await connect(address, auth, **options)
            if core.configure is not None:
                try:
                    await _call(core.configure, conn)
                except BaseException:
                    conn.abort()
                    raise
        except BaseException as e:
            pause = core.open_failed(host, e, loop.time())
            _wake(core.dispatch(loop.time()))
            if not retries_connect(e):
                raise
            core.log_retry(host, e, pause)
            return None
        entry = core.opened(host, conn, loop.time(), handed)
        if not core.closed:
            return entry
        core.discard(entry, CLOSED)
        await self._close_all(core.take_trash())
        raise PoolClosed(CLOSED)

    async def _usable(self, entry: Entry) -> bool:
        core = self._core
        now = asyncio.get_running_loop().time()
        if entry.conn.closed:  # by the server: known without a check
            reason: Optional[str] = "closed by the server"
        elif not entry.suspect and now - entry.since <= core.check_after:
            return True
        else:
            reason = None
        try:
            if reason is None and not entry.conn.is_normal():
                reason = "not normal after %.1f s idle" % (now - entry.since)
            if reason is None and core.check is not None:
                await _call(core.check, entry.conn)
        except Exception as e:
            reason = "check failed: %s: %s" % (type(e).__name__, e)
        if reason is None:
            return True
        core.failed_check()
        self._put(entry, reason, True)
        return False

    async def _give(self, entry: Entry, error: Optional[BaseException]) -> None:
        core = self._core
        if entry.generation == _fork.generation and core.reset is not None and \
                keeps_connection(error) and entry.conn.is_normal():
            try:
                await _call(core.reset, entry.conn)
            except Exception as e:
                self._put(entry, "check failed: %s: %s" % (type(e).__name__, e), False)
                return
        self._give_now(entry, error)

    def _give_now(self, entry: Entry, error: Optional[BaseException]) -> None:
        reason = None
        broken = False
        conn = entry.conn
        if entry.generation != _fork.generation:
            self._forked()
        elif error is not None and not keeps_connection(error):
            reason = "%s: %s" % (type(error).__name__, error)
            broken = connection_level(error)
        elif conn.closed or conn.busy:
            reason = "closed" if conn.closed else "given back in the middle of a call"
            broken = conn.closed and error is not None
        elif entry.retimed:
            entry.retimed = False
            set_call_timeout(conn, self._core.call_timeout)
        self._put(entry, reason, broken)

    def _put(self, entry: Entry, reason: Optional[str], broken: bool) -> None:
        core = self._core
        _wake(core.give_back(entry, reason, broken, asyncio.get_running_loop().time()))
        for conn, _ in core.take_trash():
            conn.close_nowait()

    def _orphan(self, entry: Entry) -> None:
        # From a lease's finaliser: perhaps in the middle of this pool's own
        # work, or in another thread; the loop picks the entry up on its turn.
        self._core.orphan(entry)
        loop = self._loop
        if loop is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(self._adopt)
            except RuntimeError:
                pass

    def _adopt(self) -> None:
        core = self._core
        _wake(core.dispatch(asyncio.get_running_loop().time()))
        for conn, _ in core.take_trash():
            conn.close_nowait()

    @staticmethod
    async def _close_all(trash: List[Tuple[Any, str]]) -> None:
        for conn, _ in trash:
            conn.close_nowait()
        if trash:
            await asyncio.gather(*(conn.close() for conn, _ in trash), return_exceptions=True)
