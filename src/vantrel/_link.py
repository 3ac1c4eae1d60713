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
  both ways, so that no later call can take its rest for its own answer.

A connection closed by another thread during a call is closed by the call's
:meth:`Link.end` (never under one of its reads), which then says so.
"""

from __future__ import annotations

import socket
import sys
from types import ModuleType
from typing import Any, Dict

from vantrel._lease import unwrap

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

    __slots__ = ("_in_call", "conn", "module", "ns")

    def __init__(self, conn: Any) -> None:
        conn = unwrap(conn)  # a pool's lease: the connection behind it, while it is held
        self.conn = conn
        self.module = connection_module(conn)
        self.ns: Dict[str, Any] = vars(self.module)
        self._in_call = False

    def begin(self) -> None:
        """Mark the connection as carrying a call (``RuntimeError`` when it already does)."""
        begin = self.ns.get("_begin_call")
        if begin is not None:
            begin(self.conn)
        self._in_call = True

    def end(self) -> bool:
        """Remove the mark, once; True when the connection was closed during the call
        (it is closed now)."""
        if not self._in_call:
            return False
        self._in_call = False
        end = self.ns.get("_end_call")
        return bool(end(self.conn)) if end is not None else False

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
