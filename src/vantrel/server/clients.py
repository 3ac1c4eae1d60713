"""The server's connections, which to drop for a new one, and the log lines that repeat.

At ``max_connections`` a new connection takes the place of the oldest client
that is not authenticated yet and has sent nothing, else of the oldest client
not authenticated yet (that one is dropped); when every connection is
authenticated, the new one is closed at once (see :mod:`vantrel.server.listener`).
Events that can come in floods (evictions, refused connections, failed accepts,
handshakes that never came) are logged at most once per interval, with a
count; the detail of each is logged at DEBUG.
"""

from __future__ import annotations

import asyncio
import logging
import socket
import struct
import time
from typing import Any, Dict, Iterator, Optional

try:
    import fcntl
    import termios
except ImportError:  # pragma: no cover - not POSIX
    fcntl = None  # type: ignore[assignment]

__all__ = ["Client", "ClientTable", "RateLog", "reset"]

_LINGER_NONE = struct.pack("ii", 1, 0)


def reset(transport: asyncio.BaseTransport) -> None:
    """Close a connection at once, dropping whatever is queued for the peer, in this
    process and in the kernel (the peer sees a reset)."""
    sock = transport.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, _LINGER_NONE)
        except OSError:  # already closed
            pass
    transport.abort()  # type: ignore[attr-defined]


class Client:
    __slots__ = ("abort", "authenticated", "busy", "heard", "peer", "reader", "task", "transport")

    def __init__(self, peer: str, task: Optional[asyncio.Task[Any]],
                 transport: asyncio.BaseTransport, reader: Optional[asyncio.StreamReader] = None) -> None:
        self.peer = peer
        self.task = task
        self.transport = transport
        self.reader = reader
        self.heard = False          # a whole packet header has come
        self.busy = False           # True while a request is being answered
        self.authenticated = False
        self.abort = False          # close without flushing what is queued for the client

    def silent(self) -> bool:
        """Nothing received yet: no packet header read, nothing in the stream reader,
        nothing waiting in the socket (a flood of new connections may hold the server
        from reading a good client's handshake for a while)."""
        if self.heard or getattr(self.reader, "_buffer", None):
            return False
        sock = self.transport.get_extra_info("socket")
        if fcntl is None or sock is None:
            return True
        try:
            waiting = fcntl.ioctl(sock.fileno(), termios.FIONREAD, b"\0\0\0\0")
        except OSError:
            return True
        return bool(struct.unpack("i", waiting)[0] == 0)


class ClientTable:
    """The connections in order of arrival, at most ``limit`` of them."""

    def __init__(self, limit: int) -> None:
        if limit < 1:
            raise ValueError("max_connections must be at least 1, not %r" % (limit,))
        self.limit = limit
        self._clients: Dict[Client, None] = {}

    def __len__(self) -> int:
        return len(self._clients)

    def __iter__(self) -> Iterator[Client]:
        return iter(list(self._clients))

    def add(self, client: Client) -> None:
        self._clients[client] = None

    def evict(self) -> Optional[Client]:
        """Drop the oldest client not authenticated that has sent nothing, else the
        oldest not authenticated (its connection is reset); None when all are."""
        evicted: Optional[Client] = None
        oldest: Optional[Client] = None
        for c in self._clients:  # in order of arrival; under a flood the first is silent
            if c.authenticated:
                continue
            if c.silent():
                evicted = c
                break
            if oldest is None:
                oldest = c
        if evicted is None:
            evicted = oldest
        if evicted is not None:
            del self._clients[evicted]
            evicted.abort = True
            reset(evicted.transport)
        return evicted

    def discard(self, client: Client) -> None:
        self._clients.pop(client, None)


class RateLog:
    """A line logged at most once per ``interval`` seconds, with the count of its events
    (a warning unless ``level`` says otherwise); each event's ``detail`` also at DEBUG."""

    def __init__(self, log: logging.Logger, text: str, interval: float = 10.0,
                 level: int = logging.WARNING) -> None:
        self.log = log
        self.level = level
        self.text = text
        self.interval = interval
        self._count = 0
        self._last = -float("inf")
        self.total = 0

    def note(self, detail: object = "", debug: object = "") -> None:
        """One more event; ``detail`` goes into the counted line, ``debug`` (say, the
        peer) into the event's own DEBUG line."""
        self._count += 1
        self.total += 1
        if debug and self.log.isEnabledFor(logging.DEBUG):
            self.log.debug("%s: %s%s", self.text, debug, ": %s" % (detail,) if detail else "")
        now = time.monotonic()
        if now - self._last >= self.interval:
            self.log.log(self.level, "%s%s (%d time(s) since the last such line)",
                         self.text, ": %s" % (detail,) if detail else "", self._count)
            self._count = 0
            self._last = now
