"""What a pool hands out: a lease on a pooled connection.

A lease forwards calls to its connection until the holder gives it back;
after that every use raises ``vantrel.ConnectionClosed``, so a reference kept
past its ``with`` block can never run a call on a connection that another
caller holds by then.  A lease used in a child process after ``fork()`` raises
as well.  A lease collected while still out (never given back) is reported
to its pool, which reclaims the connection and warns, naming where it was
acquired.

:func:`unwrap` gives the connection behind a lease, for helpers that drive a
connection's internals (answers read packet by packet).
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any, Optional, Tuple

from vantrel import _fork
from vantrel.errors import ConnectionClosed

if TYPE_CHECKING:
    from vantrel._poolcore import Entry

__all__ = ["AsyncLease", "Lease", "caller", "set_call_timeout", "unwrap"]

GIVEN_BACK = "this pooled connection was given back to its pool; take another one"


def caller(depth: int = 2) -> Tuple[str, int]:
    """(file, line) of the caller of the function that calls this one (by default)."""
    frame = sys._getframe(depth)
    return frame.f_code.co_filename, frame.f_lineno


class Lease:
    """A connection of a :class:`vantrel.Pool`, until it is given back."""

    __slots__ = ("_conn", "_entry", "_pool")

    def __init__(self, pool: Any, entry: Entry) -> None:
        self._conn: Any = entry.conn
        self._entry = entry
        self._pool = pool

    def _target(self) -> Any:
        conn = self._conn
        if conn is None:
            raise ConnectionClosed(GIVEN_BACK, reason="given back to the pool")
        _fork.check(self._entry.generation, "this pooled connection")
        return conn

    #: The connection behind the lease, for the readers of its answers
    #: (``vantrel._link``), raising as the lease would.
    held_connection = _target

    def execute(self, method: Any, *args: Any, **kwargs: Any) -> Any:
        conn = self._conn
        if conn is None or self._entry.generation != _fork.generation:
            conn = self._target()
        return conn.execute(method, *args, **kwargs)

    def set_timeout(self, timeout: Optional[float]) -> None:
        """The call time-out of this connection until it is given back."""
        set_call_timeout(self._target(), timeout)
        self._entry.retimed = True

    @property
    def timeout(self) -> Optional[float]:
        """The limit of each call, in seconds (settable, until given back)."""
        return self._target().timeout  # type: ignore[no-any-return]

    @timeout.setter
    def timeout(self, seconds: Optional[float]) -> None:
        self.set_timeout(seconds)

    @property
    def closed(self) -> bool:
        """True once given back, or when the connection itself is closed."""
        return self._conn is None or bool(getattr(self._conn, "closed", False))

    def __getattr__(self, name: str) -> Any:
        if name in Lease.__slots__:  # not set yet
            raise AttributeError(name)
        return getattr(self._target(), name)

    def __del__(self) -> None:
        try:
            if self._conn is not None and self._entry.generation == _fork.generation:
                self._pool._orphan(self._entry)
        except Exception:  # at interpreter exit the pool may be half gone
            pass

    def __repr__(self) -> str:
        state = "given back" if self._conn is None else repr(self._conn)
        return "<pooled connection: %s>" % state


class AsyncLease(Lease):
    """A connection of a :class:`vantrel.aio.Pool`, until it is given back."""

    __slots__ = ()

    async def execute(self, method: Any, *args: Any, **kwargs: Any) -> Any:
        return await self._target().execute(method, *args, **kwargs)


def set_call_timeout(conn: Any, timeout: Optional[float]) -> None:
    """Limit each call on ``conn`` to ``timeout`` seconds: as a whole, and each
    wait within it (a connection of ``vantrel.connect`` keeps the two apart)."""
    if isinstance(getattr(type(conn), "timeout", None), property) \
            and type(conn).timeout.fset is not None:
        conn.timeout = timeout
    conn.set_timeout(timeout)


def unwrap(conn: Any) -> Any:
    """The connection behind a lease (raising as the lease would), or ``conn`` itself."""
    return conn._target() if isinstance(conn, Lease) else conn
