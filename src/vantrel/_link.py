"""The blocking connection as the package's own readers reach it: :class:`Link`.

``vantrel.results`` reads answers packet by packet, outside the connection's
``execute``.  Everything it needs of a connection (compiled or twin) goes
through this one internal interface, and nothing else outside the connection
modules touches a connection's socket (``_socket``) or buffered reader
(``_sf``):

- ``Link(conn)``: the connection and the module whose globals its ``execute``
  uses (``module``, ``ns``: protocol tables, codec, defaults, ``ProtocolError``);
- :meth:`Link.begin` / :meth:`Link.end`: the connection's own mark of a call
  in progress, from the request to the end of its answer (while it stands,
  ``execute`` and other readers on the connection raise ``RuntimeError`` and
  ``is_normal()`` is False);
- :meth:`Link.send`: one request packet, with one ``sendall``;
- :meth:`Link.read`: ``n`` bytes from the connection's buffered reader, fewer
  only at the end of the stream;
- :meth:`Link.put_out_of_use`: an answer left unread shuts the socket down
  both ways, so that no later call can take its rest for its own answer;
- :attr:`Link.socket`: the socket itself, for what only looks at it (its
  descriptor for a pool's bookkeeping, the bytes received for a progress line).

A connection of ``vantrel.connect`` has a :class:`vantrel._call.CallLife`
(``life``): :meth:`Link.begin` then refuses a call on a closed or broken
connection and puts the call's deadline on the socket (whose reads honour
it), the answer core gets the answer's room, and :meth:`Link.failed` /
:meth:`Link.left` give a failure or an abandoned answer the meaning that
``execute`` gives it.  A bare connection has none: its errors pass through.

A connection closed by another thread during a call is closed by the call's
:meth:`Link.end` (never under one of its reads), which then says so.
"""

from __future__ import annotations

import socket
import sys
from types import ModuleType
from typing import Any, Dict, Optional

__all__ = ["Link", "connection_module"]


def connection_module(conn: Any) -> ModuleType:
    """The module whose globals the connection's ``execute`` uses."""
    for klass in type(conn).__mro__:
        if "execute" in vars(klass):
            module = sys.modules.get(klass.__module__)
            if module is not None and hasattr(module, "ProtocolError"):
                return module
    raise TypeError("not a vantrel connection: %s" % type(conn).__name__)


class Link:
    """One blocking connection, for a reader of its answers."""

    __slots__ = ("_deadline", "_in_call", "conn", "life", "module", "ns")

    def __init__(self, conn: Any) -> None:
        held = getattr(type(conn), "held_connection", None)
        if held is not None:  # a pool's lease: the connection behind it, while it is held
            conn = held(conn)
        self.conn = conn
        self.module = connection_module(conn)
        self.ns: Dict[str, Any] = vars(self.module)
        self.life: Any = getattr(conn, "_call_life", None)
        self._in_call = False
        self._deadline = False

    @property
    def max_answer_bytes(self) -> Optional[int]:
        """The room of each answer (None: no limit)."""
        return None if self.life is None else self.life.max_answer_bytes

    def begin(self, method: Any = None) -> None:
        """Mark the connection as carrying a call of ``method`` (``RuntimeError``
        when it already does), within the call's deadline."""
        deadline = None if self.life is None else self.life.begin(method)
        begin = self.ns.get("_begin_call")
        if begin is not None:
            begin(self.conn)
        self._in_call = True
        if deadline is not None:
            self._set_deadline(deadline)

    def end(self) -> bool:
        """Remove the mark, once; True when the connection was closed during the call
        (it is closed now)."""
        if not self._in_call:
            return False
        self._in_call = False
        if self._deadline:
            self._set_deadline(None)
        end = self.ns.get("_end_call")
        return bool(end(self.conn)) if end is not None else False

    def _set_deadline(self, deadline: Optional[float]) -> None:
        sock = self.conn._socket
        if hasattr(sock, "deadline"):  # a socket of vantrel.connect's
            sock.deadline = deadline
            self._deadline = deadline is not None

    def failed(self, exc: BaseException, method: Any) -> BaseException:
        """What ``exc`` out of a call of ``method`` becomes, as ``execute`` maps it."""
        life = self.life
        return exc if life is None else life.call_failed(self.conn, exc, method)

    def left(self, method: Any, what: str) -> None:
        """The answer of ``method`` was left before its end (``what``: how); the
        connection is put out of use and says why."""
        if self.life is not None:
            self.life.left(method, what)
            try:
                self.module.Connection.close(self.conn)
            except (OSError, ValueError):
                pass

    @property
    def socket(self) -> Any:
        return self.conn._socket

    def send(self, packet: bytes) -> None:
        self.conn._socket.sendall(packet)

    def read(self, n: int) -> bytes:
        data: bytes = self.conn._sf.read(n)
        return data

    def put_out_of_use(self) -> None:
        try:
            self.conn._socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
