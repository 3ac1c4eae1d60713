"""A thread-safe pool of connections: ``vantrel.Pool``.

::

    pool = vantrel.Pool(("127.0.0.1", 7878), {"user": "alice", "password": "secret"},
                        max_size=8)
    with pool.connection() as conn:          # one thread's connection for a while
        conn.execute("add", 2, 3)
    pool.execute("table", rows=3)            # or one call
    pool.close()

The rules (hand-out, check, discard, wait, reconnect) are written down in
docs/pool.md; the asyncio pool follows the same ones.
"""

from __future__ import annotations

import contextlib
import logging
import threading
import time
from typing import Any, Dict, Iterator, List, Mapping, Optional, Tuple

from vantrel.client import Address, Connection, connect
from vantrel.errors import PoolClosed, PoolError, PoolTimeout
from vantrel.share.errors import ServerError

__all__ = ["Pool", "PoolClosed", "PoolError", "PoolTimeout", "backoff_delay", "check_settings",
           "keeps_connection", "open_options", "retries_connect"]

log = logging.getLogger("vantrel")

#: First and longest pause between failed attempts to open a connection.
BACKOFF_FIRST = 0.1
BACKOFF_MAX = 5.0


def keeps_connection(exc: Optional[BaseException]) -> bool:
    """True when a connection that raised ``exc`` (or nothing) may go back to the pool:
    a server-side error leaves it at a packet boundary, anything else may have
    broken it in the middle of an answer."""
    return exc is None or isinstance(exc, ServerError)


def retries_connect(exc: BaseException) -> bool:
    """True when a failed attempt to open a connection is worth another one: the
    server is down, restarting or busy; not when it refused the credentials."""
    return not isinstance(exc, ServerError) or getattr(exc, "code", None) == 6


def backoff_delay(failures: int) -> float:
    """The pause after ``failures`` failed attempts in a row (doubling, capped)."""
    return min(BACKOFF_FIRST * 2.0 ** max(failures - 1, 0), BACKOFF_MAX)


def check_settings(min_size: int, max_size: int, timeout: float, max_idle: Optional[float],
                   check_after: float) -> None:
    """Raise ``ValueError`` for sizes or times a pool cannot work with."""
    if max_size < 1 or not 0 <= min_size <= max_size:
        raise ValueError("need 0 <= min_size <= max_size and max_size >= 1, got %r and %r"
                         % (min_size, max_size))
    if timeout < 0 or check_after < 0 or (max_idle is not None and max_idle < 0):
        raise ValueError("timeout, check_after and max_idle must not be negative")


def open_options(options: Mapping[str, Any], wait: float) -> Dict[str, Any]:
    """``options`` for one attempt to connect, its ``connect_timeout`` cut to ``wait``."""
    opened = dict(options)
    limit = opened.get("connect_timeout", 10.0)
    opened["connect_timeout"] = wait if limit is None else min(limit, wait)
    return opened


class Pool:
    """Up to ``max_size`` connections to ``address``, shared by the threads of a process.

    - ``min_size`` connections are opened at construction and the pool never
      closes idle ones below that number.
    - ``timeout``: how long :meth:`connection` waits for a free connection (or for
      the server, while it cannot be reached) before raising :class:`PoolTimeout`.
    - ``max_idle``: an idle connection unused for longer is closed (``None``: never).
    - ``check_after``: an idle connection unused for longer is checked with
      ``is_normal()`` before it is handed out (0: always).
    - ``call_timeout``: the socket time-out of every call (``connect``'s ``timeout``).
    - ``connect_options``: the other options of :func:`vantrel.connect`
      (``connect_timeout``, ``tls``, ``server_hostname``, ``impl``).
    """

    def __init__(self, address: Address, auth: Optional[Mapping[str, Any]] = None, *,
                 min_size: int = 0, max_size: int = 10, timeout: float = 30.0,
                 max_idle: Optional[float] = 600.0, check_after: float = 1.0,
                 call_timeout: Optional[float] = None, **connect_options: Any) -> None:
        check_settings(min_size, max_size, timeout, max_idle, check_after)
        self.address = (address[0], address[1])
        self.min_size = min_size
        self.max_size = max_size
        self.timeout = timeout
        self.max_idle = max_idle
        self.check_after = check_after
        self._auth = dict(auth) if auth is not None else None
        self._options = dict(connect_options, timeout=call_timeout)
        self._cond = threading.Condition()
        self._idle: List[Tuple[Connection, float]] = []  # (connection, idle since), newest last
        self._size = 0          # open connections: idle, handed out and being opened
        self._waiting = 0
        self._closed = False
        self._failures = 0      # failed attempts to connect in a row
        self._next_attempt = 0.0
        self._counts = {"connects": 0, "connect_errors": 0, "discarded": 0,
                        "handed_out": 0, "timeouts": 0}
        try:
            for _ in range(min_size):
                conn = self._open(self.timeout)
                with self._cond:
                    self._counts["connects"] += 1
                    self._size += 1
                    self._idle.append((conn, time.monotonic()))
        except BaseException:
            self.close()
            raise

    # -- handing out ------------------------------------------------------------

    @contextlib.contextmanager
    def connection(self, timeout: Optional[float] = None) -> Iterator[Connection]:
        """A connection for the ``with`` block, taken back at its end.

        An exception other than a server error that leaves the block, or a
        connection that is not normal when it comes back, makes the pool close
        it instead of keeping it.
        """
        conn = self._acquire(self.timeout if timeout is None else timeout)
        try:
            yield conn
        except BaseException as e:
            self._release(conn, None if keeps_connection(e) else e)
            raise
        self._release(conn, None)

    def execute(self, method: Any, *args: Any, **kwargs: Any) -> Any:
        """One call on a pooled connection (never retried: the call may have run)."""
        with self.connection() as conn:
            return conn.execute(method, *args, **kwargs)

    def _acquire(self, timeout: float) -> Connection:
        deadline = time.monotonic() + timeout
        last_error: Optional[BaseException] = None
        while True:
            stale: List[Tuple[Connection, str]] = []
            try:
                with self._cond:
                    self._waiting += 1
                    try:
                        conn, opening = self._wait_for_turn(deadline, stale)
                    finally:
                        self._waiting -= 1
            finally:
                self._discard_all(stale)  # outside the lock
            if conn is not None:
                return conn
            if opening is None:
                with self._cond:
                    self._counts["timeouts"] += 1
                raise self._timeout_error(timeout, last_error)
            try:
                conn = self._open(max(deadline - time.monotonic(), 0.001))
            except BaseException as e:
                with self._cond:
                    self._size -= 1
                    self._failures += 1
                    self._counts["connect_errors"] += 1
                    self._next_attempt = time.monotonic() + backoff_delay(self._failures)
                    self._cond.notify()
                if not (isinstance(e, Exception) and retries_connect(e)):
                    raise
                log.warning("pool: connecting to %s:%s failed (%s: %s), retrying in %.1f s",
                            self.address[0], self.address[1], type(e).__name__, e,
                            backoff_delay(self._failures))
                last_error = e
                continue
            with self._cond:
                self._failures = 0
                self._counts["connects"] += 1
                if self._closed:
                    self._size -= 1
                else:
                    self._counts["handed_out"] += 1
                    return conn
            conn.close()
            raise PoolClosed("the pool was closed")

    def _wait_for_turn(self, deadline: float,
                       stale: List[Tuple[Connection, str]]) -> Tuple[Optional[Connection], Any]:
        """Under the lock: an idle connection, or a slot to open one (``(None, True)``),
        or ``(None, None)`` at the deadline."""
        while True:
            if self._closed:
                raise PoolClosed("the pool was closed")
            now = time.monotonic()
            self._prune(now, stale)
            while self._idle:
                conn, since = self._idle.pop()
                reason = self._check(conn, now - since)
                if reason is None:
                    self._counts["handed_out"] += 1
                    return conn, False
                self._size -= 1
                stale.append((conn, reason))
            if self._size < self.max_size:
                if now >= self._next_attempt:
                    self._size += 1
                    return None, True
                wake = min(deadline, self._next_attempt)
            else:
                wake = deadline
            if now >= deadline:
                return None, None
            self._cond.wait(wake - now)

    def _check(self, conn: Connection, idle: float) -> Optional[str]:
        if idle <= self.check_after:
            return None
        try:
            return None if conn.is_normal() else "not normal after %.1f s idle" % idle
        except (OSError, ValueError) as e:
            return "check failed: %s" % e

    def _prune(self, now: float, stale: List[Tuple[Connection, str]]) -> None:
        if self.max_idle is None:
            return
        keep = []
        # oldest first: the list holds the most recently returned connections last
        for conn, since in self._idle:
            if now - since > self.max_idle and self._size > self.min_size:
                self._size -= 1
                stale.append((conn, "idle for more than %g s" % self.max_idle))
            else:
                keep.append((conn, since))
        self._idle[:] = keep

    def _open(self, wait: float) -> Connection:
        return connect(self.address, self._auth, **open_options(self._options, wait))

    def _timeout_error(self, timeout: float, last_error: Optional[BaseException]) -> PoolTimeout:
        if last_error is not None:
            err = PoolTimeout("no connection to %s:%s within %g s: the last attempt failed with "
                              "%s: %s" % (self.address[0], self.address[1], timeout,
                                          type(last_error).__name__, last_error))
            err.__cause__ = last_error
            return err
        return PoolTimeout("no connection free within %g s: all %d in use"
                           % (timeout, self.max_size))

    # -- taking back --------------------------------------------------------------

    def _release(self, conn: Connection, error: Optional[BaseException]) -> None:
        reason = None
        if error is not None:
            reason = "%s: %s" % (type(error).__name__, error)
        else:
            try:
                if not conn.is_normal():
                    reason = "not normal when given back"
            except (OSError, ValueError) as e:  # closed by its user, ...
                reason = "check failed: %s" % e
        with self._cond:
            if reason is None and not self._closed:
                self._idle.append((conn, time.monotonic()))
                self._cond.notify()
                return
            self._size -= 1
            self._cond.notify()
        self._discard(conn, reason or "the pool is closed")

    def _discard(self, conn: Connection, reason: str) -> None:
        with self._cond:
            self._counts["discarded"] += 1
        log.info("pool: connection to %s:%s discarded (%s)", self.address[0], self.address[1],
                 reason)
        try:
            conn.close()
        except (OSError, ValueError):
            pass

    def _discard_all(self, stale: List[Tuple[Connection, str]]) -> None:
        for conn, reason in stale:
            self._discard(conn, reason)

    # -- the whole pool ----------------------------------------------------------------

    def close(self) -> None:
        """Close the idle connections now, the others when they come back; wake the
        waiting threads with :class:`PoolClosed`.  Closing twice is harmless."""
        with self._cond:
            self._closed = True
            idle = [conn for conn, _ in self._idle]
            self._size -= len(idle)
            self._idle.clear()
            self._cond.notify_all()
        for conn in idle:
            try:
                conn.close()
            except (OSError, ValueError):
                pass

    @property
    def closed(self) -> bool:
        return self._closed

    def stats(self) -> Dict[str, int]:
        """Counts: ``size`` (open), ``idle``, ``in_use``, ``waiting`` (threads),
        ``max_size``, and totals of ``connects``, ``connect_errors``, ``discarded``,
        ``handed_out`` and ``timeouts``."""
        with self._cond:
            counts = dict(self._counts)
            counts.update(size=self._size, idle=len(self._idle),
                          in_use=self._size - len(self._idle), waiting=self._waiting,
                          max_size=self.max_size)
        return counts

    def __enter__(self) -> Pool:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        s = self.stats()
        return "<vantrel.Pool %s:%s size=%d idle=%d max_size=%d%s>" % (
            self.address[0], self.address[1], s["size"], s["idle"], s["max_size"],
            " closed" if self._closed else "")
