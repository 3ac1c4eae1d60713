"""The life of a call on a connection, for every reader, without any I/O.

A connection opened by ``vantrel.connect``, by ``vantrel.aio.connect`` or by a
pool keeps one :class:`CallLife`.  Every reader of its answers (``execute``
of both implementations, ``vantrel.results``, ``vantrel.aio``, and through
them the pools, ``fetch_arrow_many``, ``vantrel.dask`` and ``vantrel call``)
asks it the same things, and so keeps the same promises:

- :meth:`CallLife.begin`: may a call start (a closed or broken connection
  refuses it with :class:`vantrel.ConnectionClosed`), and when must it end:
  ``timeout`` bounds the whole call, request and every packet of the answer;
- :attr:`CallLife.max_answer_bytes`: the room of each answer, which the
  answer core (``vantrel._core``) checks from each header before the body is
  read and gives to decompression as its output limit;
- :meth:`CallLife.failed`: what a failure becomes in the error family, with
  the address and the method, and the state it leaves: idle, or broken with
  a ``broken_reason`` that says why;
- :meth:`CallLife.left`: an answer left before its end (an ``iter_rows`` loop
  that stopped early) breaks the connection, and says so.

The compiled connection and its twin find it as the connection's
``_call_life`` (their one hook for this; the bare connection has none): their
``execute`` puts ``limit`` (the call's seconds as a float) on the socket as its
deadline, each call starts with ``room = max_answer_bytes``, their reader
checks and spends ``room``, and a failed call raises what
``call_failed(conn, error, method)`` returns (docs/connection.md).

The drivers only move bytes: the blocking ones through the socket's
deadline (``vantrel._link``), the asyncio one through its transport.
The mark of a call in progress is the connection module's own (``_begin_call``
/ ``_end_call``, the one ``execute`` takes) for blocking connections, and
the asyncio connection's ``busy`` flag.
"""

from __future__ import annotations

import socket
import time
from typing import Any, Callable, Optional, Tuple

from vantrel import _fork
from vantrel._address import format_address
from vantrel._header import CLOSED_DURING_CALL, DISCONNECTED
from vantrel.errors import ConnectionClosed, EncodeError, Timeout, duration_text
from vantrel.share.errors import ServerError
from vantrel.utils import connection_error

__all__ = ["CALL_IN_PROGRESS", "CLOSED_BY_CLOSE", "CallLife", "refused_login"]

#: The text of the error for a call made while another is in progress.
CALL_IN_PROGRESS = "another call is in progress on this connection"
CLOSED_BY_CLOSE = "closed by close()"

_monotonic = time.monotonic


class CallLife:
    """The calls of one connection: limits, state and the failure of each.

    - ``address``: the ``(host, port)`` the connection was made to;
    - ``timeout``: seconds for each call as a whole (None: no limit);
    - ``read_timeout``: the socket time-out of each wait of a blocking
      connection (``set_timeout``), within the call's limit;
    - ``max_answer_bytes``: the most bytes one answer may take;
    - ``unusable``: None while calls may run, else ``("closed" or "broken", reason)``.
    """

    __slots__ = ("_timeout", "address", "generation", "limit", "max_answer_bytes",
                 "read_timeout", "room", "unusable")

    def __init__(self, address: Tuple[str, int], timeout: Optional[float],
                 max_answer_bytes: int) -> None:
        self.address = address
        self.timeout = timeout
        self.read_timeout = timeout
        self.max_answer_bytes = max_answer_bytes
        #: The bytes left of the answer being read.
        self.room = max_answer_bytes
        self.unusable: Optional[Tuple[str, str]] = None
        self.generation = _fork.generation

    @property
    def timeout(self) -> Optional[float]:
        return self._timeout

    @timeout.setter
    def timeout(self, seconds: Optional[float]) -> None:
        self._timeout = seconds
        #: The same as a float, as the compiled execute reads it.
        self.limit = None if seconds is None else float(seconds)

    # -- state ------------------------------------------------------------------------

    @property
    def broken_reason(self) -> Optional[str]:
        u = self.unusable
        return u[1] if u is not None and u[0] == "broken" else None

    def state(self, busy: bool = False) -> str:
        """"idle", "busy", "closed" or "broken", as the connection's repr shows it."""
        if self.unusable is not None:
            return self.unusable[0]
        return "busy" if busy else "idle"

    def close(self, reason: str = CLOSED_BY_CLOSE) -> None:
        if self.unusable is None:
            self.unusable = ("closed", reason)

    def breaks(self, reason: str) -> None:
        """The connection is put out of use for ``reason`` (the first reason stays)."""
        if self.unusable is None:
            self.unusable = ("broken", reason)

    # -- a call -------------------------------------------------------------------------

    def begin(self, method: Any) -> Optional[float]:
        """Check that a call of ``method`` may start; when it must end (on
        ``time.monotonic``'s clock), or None without a limit."""
        if self.generation != _fork.generation:
            raise self._inherited()
        if self.unusable is not None:
            raise self.refused(method)
        limit = self.timeout
        return None if limit is None else _monotonic() + limit

    def refused(self, method: Any) -> ConnectionClosed:
        """The error of a call on a closed or broken connection."""
        assert self.unusable is not None
        which, reason = self.unusable
        return ConnectionClosed("call %r on a %s connection to %s (%s)"
                                % (method, which, format_address(self.address), reason), reason)

    def _inherited(self) -> ConnectionClosed:
        failure = _fork.inherited()
        self.unusable = ("broken", failure.reason or "")
        return failure

    def failed(self, error: BaseException, method: Any,
               idle: Optional[Callable[[], bool]] = None) -> BaseException:
        """The error to raise for ``error`` out of a call of ``method``.

        A server error (an ERROR packet, read whole) leaves the connection
        usable, as does a failure that left it idle (``idle()`` True: nothing
        sent, or the answer whole).  Anything else breaks it, with the reason.
        A call that ``close()`` ended fails as closed during the call on every
        reader, as the bare connection's do.
        """
        if self.generation != _fork.generation:
            # A child's call on a connection it inherited: its socket here
            # was let go at the fork, so nothing reached the parent's peer.
            return self._inherited()
        if isinstance(error, (ServerError, EncodeError)):
            return error  # an ERROR packet read whole, or a request never sent
        if isinstance(error, RuntimeError) and str(error) == CALL_IN_PROGRESS:
            return error  # refused before anything was sent
        if isinstance(error, connection_error) and str(error) == CLOSED_DURING_CALL:
            return error
        if self.unusable is not None:
            return self.refused(method)
        where = format_address(self.address)
        if isinstance(error, (socket.timeout, TimeoutError)) or (
                isinstance(error, BlockingIOError) and self.timeout is not None):
            limit, cap = self.timeout, self.read_timeout
            if limit is not None and (cap is None or cap >= limit):
                text = "call %r to %s took longer than %s" % (method, where, duration_text(limit))
            else:
                text = "call %r to %s: no data within the socket time-out of %s" % (
                    method, where, duration_text(cap or 0))
            self.breaks("closed by a time-out in the previous call (%s)" % text)
            return Timeout(text)
        if isinstance(error, connection_error):
            if str(error) == DISCONNECTED:
                self.breaks("closed by the server in the previous call (%r)" % (method,))
                return ConnectionClosed("connection to %s closed by the server during call %r"
                                        % (where, method), self.broken_reason)
            self.breaks("closed after a malformed answer in the previous call (%r: %s)"
                        % (method, error))
            return error
        if isinstance(error, OSError):
            self.breaks("closed when the connection was lost in the previous call (%s: %s)"
                        % (type(error).__name__, error))
            return ConnectionClosed("connection to %s lost during call %r: %s: %s"
                                    % (where, method, type(error).__name__, error),
                                    self.broken_reason)
        if idle is None or not idle():
            self.breaks("closed after the previous call (%r) failed with %s"
                        % (method, type(error).__name__))
        return error

    def call_failed(self, conn: Any, error: BaseException, method: Any) -> BaseException:
        """The hook of a connection's ``execute`` (and of the package's readers):
        what ``error`` out of a call of ``method`` on ``conn`` becomes."""
        return self.failed(error, method)

    def left(self, method: Any, what: str) -> None:
        """An answer was left before its end: ``what`` says how ("an iter_rows
        loop stopped at row 5 of an unfinished answer")."""
        self.breaks("%s (call %r)" % (what, method))


def refused_login(error: ServerError, address: Tuple[str, int], user: Any) -> ServerError:
    """The server's refusal of a handshake, naming the address and the user
    (same class; the server's own error is its cause)."""
    who = "" if user is None else " for user %r" % (user,)
    named = type(error)("handshake with %s refused%s: %s" % (format_address(address), who, error))
    named.__cause__ = error
    return named
