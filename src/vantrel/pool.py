"""A thread-safe pool of connections: ``vantrel.Pool``.

::

    pool = vantrel.Pool(("127.0.0.1", 7878), {"user": "alice", "password": "secret"},
                        max_size=8)
    with pool.connection() as conn:          # one thread's connection for a while
        conn.execute("add", 2, 3)
    pool.execute("table", rows=3)            # or one call
    pool.close()

The rules (hand-out, check, discard, wait, reconnect) are those of
:mod:`vantrel._poolcore`, shared with the asyncio pool, and are written down in
docs/pool.md.  This module is the driver for threads: a lock, a condition to
wait on, and the blocking opening, checking and closing of connections.
"""

from __future__ import annotations

import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from vantrel import _fork
from vantrel._lease import Lease, caller, set_call_timeout
from vantrel._link import Link
from vantrel._poolcore import (
    BACKOFF_FIRST,
    BACKOFF_MAX,
    CLOSED,
    Entry,
    Grant,
    Host,
    PoolBase,
    backoff_delay,
    check_settings,
    connection_level,
    keeps_connection,
    open_options,
    retries_connect,
)
from vantrel.client import connect
from vantrel.errors import PoolClosed, PoolError, PoolTimeout

__all__ = ["BACKOFF_FIRST", "BACKOFF_MAX", "Pool", "PoolClosed", "PoolError", "PoolTimeout",
           "backoff_delay", "check_settings", "keeps_connection", "open_options",
           "retries_connect"]


def _fileno(conn: Any) -> int:
    return int(Link(conn).socket.fileno())


def _close_all(trash: List[Tuple[Any, str]]) -> None:
    for conn, _ in trash:
        try:
            conn.close()
        except (OSError, ValueError):
            pass


class _Handout:
    __slots__ = ("_lease", "_pool", "_timeout")

    def __init__(self, pool: Pool, timeout: Optional[float]) -> None:
        self._pool = pool
        self._timeout = timeout

    def __enter__(self) -> Lease:
        pool = self._pool
        self._lease = Lease(pool, pool._take(pool.timeout if self._timeout is None
                                             else self._timeout, caller()))
        return self._lease

    def __exit__(self, exc_type: Any, exc: Optional[BaseException], tb: Any) -> None:
        self._pool.release(self._lease, exc)


class Pool(PoolBase):
    """Up to ``max_size`` connections to ``address``, shared by the threads of a process.

    ``address``: anything ``vantrel.connect`` takes (a pair, ``"host:port"``, a
    list of hosts, a ``vantrel://`` URL, or None for ``VANTREL_URL``); with
    several hosts the connections are spread over those that answer.

    - ``min_size`` connections are opened at construction and the pool never
      closes idle ones below that number.
    - ``timeout``: how long :meth:`connection` waits for a connection, opening it
      included, before raising :class:`PoolTimeout`.
    - ``max_idle``: an idle connection unused for longer is closed (``None``: never).
    - ``check_after``: an idle connection unused for longer is checked with
      ``is_normal()`` (and ``check``) before it is handed out (0: always).
    - ``call_timeout``: the time-out of every call (``connect``'s ``timeout``).
    - ``check(conn)``, ``configure(conn)``, ``reset(conn)``: called before a
      checked hand-out, after opening, and when a connection comes back; an
      exception discards the connection.
    - ``connect_options``: the other options of :func:`vantrel.connect`, checked now.
    """

    _kind = "vantrel.Pool"
    _connect = staticmethod(connect)
    _fileno = staticmethod(_fileno)

    def _start(self) -> None:
        self._cond = threading.Condition(threading.Lock())
        try:
            self._fill(time.monotonic() + self.timeout, self.timeout, retry=False)
        except BaseException:
            self.close()
            raise

    # -- handing out ------------------------------------------------------------

    def connection(self, timeout: Optional[float] = None) -> _Handout:
        """``with pool.connection() as conn:`` a connection for the block, taken back
        at its end.  An exception other than a server error that leaves the block,
        or a connection that is not normal when it comes back, makes the pool close
        it instead of keeping it.  ``conn`` raises ``ConnectionClosed`` once given back."""
        return _Handout(self, timeout)

    def execute(self, method: Any, *args: Any, **kwargs: Any) -> Any:
        """One call on a pooled connection (never retried: the call may have run)."""
        entry = self._take(self.timeout, None)
        try:
            result = entry.conn.execute(method, *args, **kwargs)
        except BaseException as e:
            self._give(entry, e)
            raise
        self._give(entry, None)
        return result

    def acquire(self, timeout: Optional[float] = None) -> Lease:
        """A connection for the caller, until :meth:`release`; one that is never
        given back is reclaimed (with a warning) once its holder is gone."""
        return Lease(self, self._take(self.timeout if timeout is None else timeout, caller()))

    def release(self, conn: Lease, error: Optional[BaseException] = None) -> None:
        """Give back a connection from :meth:`acquire`; ``error``: what the holder's
        work on it raised, if anything (see :meth:`connection`)."""
        if conn._conn is None:
            return  # given back already
        conn._conn = None
        self._give(conn._entry, error)

    def wait(self, timeout: Optional[float] = None) -> None:
        """Open connections until ``min_size`` are open, retrying failed openings;
        :class:`PoolTimeout` after ``timeout`` seconds (by default the pool's)."""
        limit = self.timeout if timeout is None else timeout
        self._fill(time.monotonic() + limit, limit, retry=True)

    # -- the inside -----------------------------------------------------------------

    def _forked(self) -> None:
        with _fork.lock:
            if self._core.generation != _fork.generation:
                self._cond = threading.Condition(threading.Lock())
                self._core.after_fork()

    def _take(self, limit: float, where: Any) -> Entry:
        core = self._core
        if core.generation != _fork.generation:
            self._forked()
        with self._cond:
            entry = core.quick(time.monotonic())
        if entry is not None and self._usable(entry):
            entry.where = where
            return entry
        deadline = time.monotonic() + limit
        while True:
            grant = self._queue(deadline, limit)
            entry = grant.entry
            if entry is None:
                assert grant.host is not None
                entry = self._open(grant.host, deadline, retry=True)
                if entry is None:
                    continue
            elif not self._usable(entry):
                continue
            entry.where = where
            return entry

    def _queue(self, deadline: float, limit: float) -> Grant:
        core, cond = self._core, self._cond
        grant = Grant()
        trash: List[Tuple[Any, str]] = []
        try:
            with cond:
                try:
                    if core.enqueue(grant, time.monotonic()):
                        cond.notify_all()
                    while not grant.done:
                        now = time.monotonic()
                        if now >= deadline:
                            core.leave(grant, now)
                            raise core.timeout_error(limit)
                        cond.wait(min(deadline, core.next_due(now)) - now)
                        if not grant.done and core.dispatch(time.monotonic()):
                            cond.notify_all()
                except BaseException:
                    if core.leave(grant, time.monotonic()):
                        cond.notify_all()
                    raise
                finally:
                    trash = core.take_trash()
        finally:
            _close_all(trash)
        if grant.error is not None:
            raise grant.error
        return grant

    def _open(self, host: Host, deadline: float, retry: bool,
              handed: bool = True) -> Optional[Entry]:
        core = self._core
        address, auth, options = core.connect_args(host, deadline - time.monotonic())
        try:
            conn = connect(address, auth, **options)
            if core.configure is not None:
                try:
                    core.configure(conn)
                except BaseException:
                    conn.close()
                    raise
        except BaseException as e:
            with self._cond:
                pause = core.open_failed(host, e, time.monotonic())
                core.dispatch(time.monotonic())
                self._cond.notify_all()
            if not retries_connect(e) or not (retry or core.untried()):
                raise
            core.log_retry(host, e, pause)
            return None
        with self._cond:
            entry = core.opened(host, conn, time.monotonic(), handed)
            if not core.closed:
                return entry
            core.discard(entry, CLOSED)
            trash = core.take_trash()
        _close_all(trash)
        raise PoolClosed(CLOSED)

    def _usable(self, entry: Entry) -> bool:
        core = self._core
        now = time.monotonic()
        if not entry.suspect and now - entry.since <= core.check_after:
            return True
        try:
            reason = None if entry.conn.is_normal() else \
                "not normal after %.1f s idle" % (now - entry.since)
            if reason is None and core.check is not None:
                core.check(entry.conn)
        except Exception as e:
            reason = "check failed: %s: %s" % (type(e).__name__, e)
        if reason is None:
            return True
        with self._cond:
            core.failed_check()
        self._put(entry, reason, True)
        return False

    def _give(self, entry: Entry, error: Optional[BaseException]) -> None:
        core = self._core
        reason = None
        broken = False
        if entry.generation != _fork.generation:
            self._forked()
        elif error is not None and not keeps_connection(error):
            reason = "%s: %s" % (type(error).__name__, error)
            broken = connection_level(error)
        else:
            conn = entry.conn
            try:
                if not conn.is_normal():
                    reason = "not normal when given back"
                else:
                    if entry.retimed:
                        entry.retimed = False
                        set_call_timeout(conn, core.call_timeout)
                    if core.reset is not None:
                        core.reset(conn)
            except Exception as e:  # closed by its user, a failed reset, ...
                reason = "check failed: %s: %s" % (type(e).__name__, e)
        self._put(entry, reason, broken)

    def _put(self, entry: Entry, reason: Optional[str], broken: bool) -> None:
        with self._cond:
            if self._core.give_back(entry, reason, broken, time.monotonic()):
                self._cond.notify_all()
            trash = self._core.take_trash()
        _close_all(trash)

    def _orphan(self, entry: Entry) -> None:
        # From a lease's finaliser, in any thread, perhaps while this thread
        # holds the lock: a busy lock leaves the entry for the next operation.
        self._core.orphan(entry)
        if not self._cond.acquire(blocking=False):
            return
        try:
            if self._core.dispatch(time.monotonic()):
                self._cond.notify_all()
            trash = self._core.take_trash()
        finally:
            self._cond.release()
        _close_all(trash)

    def _fill(self, deadline: float, limit: float, retry: bool) -> None:
        core = self._core
        while True:
            with self._cond:
                if core.closed:
                    raise PoolClosed(CLOSED)
                now = time.monotonic()
                if core.size - core.opening >= core.min_size:
                    return
                host = core.reserve(now) if core.size < core.min_size else None
                if host is None:
                    if now >= deadline:
                        raise core.timeout_error(limit)
                    self._cond.wait(min(deadline, core.next_due(now)) - now)
                    continue
            entry = self._open(host, deadline, retry, handed=False)
            if entry is not None:
                self._put(entry, None, False)

    # -- the whole pool ----------------------------------------------------------------

    def close(self) -> None:
        """Close the idle connections now, the others when they come back; wake the
        waiting threads with :class:`PoolClosed`.  Closing twice is harmless."""
        if self._core.generation != _fork.generation:
            self._forked()
        with self._cond:
            self._core.close()
            self._cond.notify_all()
            trash = self._core.take_trash()
        _close_all(trash)

    def stats(self) -> Dict[str, int]:
        """Counts (the same in both pools, see docs/pool.md)."""
        if self._core.generation != _fork.generation:
            self._forked()
        with self._cond:
            return self._core.stats()

    def __enter__(self) -> Pool:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

