"""Accepting connections: only while fewer than the limit of sockets are open.

The server counts every socket it accepted until its descriptor is closed (an
evicted or refused connection included), and takes a new connection from the
kernel's queue only while that count is under ``max_connections``.  At the
limit, connections waiting for their handshake are evicted, as many as wait
in the kernel's queue (at most a batch; their sockets closed at once), and as
many are accepted once those descriptors are free; when none can
be evicted, the next connection is accepted and reset at once, so a refusal
holds a descriptor for no longer than the accept itself.  The descriptor limit
of the process is therefore never reached by connections, and should it be
reached anyway (the process's own files, another thread), the failed accept
is logged once per interval and accepting resumes a moment later.
"""

from __future__ import annotations

import asyncio
import errno
import os
import socket
import struct
from typing import Callable, List, Optional, Tuple

from .clients import RateLog

__all__ = ["Listener"]

_LINGER_NONE = struct.pack("ii", 1, 0)
#: Connections accepted in one turn of the event loop at most.
_BATCH = 64
#: After a failed accept for want of resources, accepting resumes after this long
#: (or as soon as a connection is closed).
_RETRY = 0.1
#: How soon accepting is tried again when the connections just accepted are not yet
#: served (and so cannot be evicted).
_SOON = 0.002
_TCP_INFO = getattr(socket, "TCP_INFO", 11)
_TRANSIENT = {errno.ECONNABORTED, errno.EPROTO, errno.EAGAIN, errno.EINTR}


def _queued(listening: socket.socket) -> int:
    """The connections waiting in the kernel's accept queue (Linux), else 1."""
    try:
        info = listening.getsockopt(socket.IPPROTO_TCP, _TCP_INFO, 104)
        return max(1, int(struct.unpack_from("I", info, 24)[0]))  # tcpi_unacked
    except (OSError, struct.error):
        return 1


class _Counted(socket.socket):
    """An accepted socket that gives its place back when its descriptor is closed."""

    __slots__ = ("_done",)
    _done: Optional[Callable[[], None]]

    def close(self) -> None:
        done, self._done = getattr(self, "_done", None), None
        super().close()
        if done is not None:
            done()


class Listener:
    """The listening sockets of a server and the count of the sockets it accepted."""

    def __init__(self, limit: int, on_socket: Callable[[socket.socket], None],
                 make_room: Callable[[], Optional[bool]], refused: RateLog, failed: RateLog) -> None:
        self.limit = limit
        self.open = 0
        self._on_socket = on_socket
        self._make_room = make_room
        self._refused = refused
        self._failed = failed
        self._server: Optional[asyncio.AbstractServer] = None
        self._socks: List[socket.socket] = []
        self._paused = True  # until start()
        self._retry: Optional[asyncio.TimerHandle] = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None

    async def start(self, host: str, port: int, backlog: int) -> Tuple[str, int]:
        loop = self._loop = asyncio.get_running_loop()
        # Bound (every address of host) by asyncio, accepted here.
        self._server = await loop.create_server(asyncio.Protocol, host, port, backlog=backlog,
                                                start_serving=False)
        for ts in self._server.sockets:
            sock = socket.socket(ts.family, ts.type, ts.proto, fileno=os.dup(ts.fileno()))
            sock.setblocking(False)
            sock.listen(backlog)
            self._socks.append(sock)
        self._resume()
        name = self._socks[0].getsockname()
        return name[0], name[1]

    @property
    def sockets(self) -> List[socket.socket]:
        return list(self._socks)

    def close(self) -> None:
        self._pause()
        if self._retry is not None:
            self._retry.cancel()
        for sock in self._socks:
            sock.close()
        self._socks = []
        if self._server is not None:
            self._server.close()

    async def wait_closed(self) -> None:
        if self._server is not None:
            await self._server.wait_closed()

    def _pause(self) -> None:
        if not self._paused and self._loop is not None:
            for sock in self._socks:
                self._loop.remove_reader(sock.fileno())
        self._paused = True

    def _resume(self) -> None:
        self._retry = None
        if self._paused and self._loop is not None:
            self._paused = False
            for sock in self._socks:
                self._loop.add_reader(sock.fileno(), self._accept, sock)

    def _closed_one(self) -> None:
        self.open -= 1
        if self._paused and self._retry is None and self._socks:
            self._resume()

    def _accept(self, listening: socket.socket) -> None:
        for _ in range(_BATCH):
            if self.open >= self.limit:
                room = self._make_room()
                if room is None:
                    # The newest connections are not ready to be evicted yet.
                    self._pause()
                    assert self._loop is not None
                    self._retry = self._loop.call_later(_SOON, self._resume)
                    return
                if room:
                    # As many go as are waiting in the kernel's queue (at most a
                    # batch); accept again once their descriptors are closed.
                    for _ in range(min(_BATCH, _queued(listening)) - 1):
                        if not self._make_room():
                            break
                    self._pause()
                    return
                if not self._refuse(listening):
                    return
                continue
            try:
                fd, _ = listening._accept()  # type: ignore[attr-defined]
            except (BlockingIOError, InterruptedError):
                return
            except OSError as e:
                if e.errno in _TRANSIENT:
                    continue
                self._failed.note(e)
                self._pause()
                assert self._loop is not None
                self._retry = self._loop.call_later(_RETRY, self._resume)
                return
            sock = _Counted(listening.family, listening.type, listening.proto, fileno=fd)
            self.open += 1
            sock._done = self._closed_one
            sock.setblocking(False)
            self._on_socket(sock)

    def _refuse(self, listening: socket.socket) -> bool:
        """Accept one connection and reset it at once; False when none is waiting."""
        try:
            sock, _ = listening.accept()
        except (BlockingIOError, InterruptedError):
            return False
        except OSError as e:
            if e.errno in _TRANSIENT:
                return True
            self._failed.note(e)
            return False
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, _LINGER_NONE)
        except OSError:
            pass
        sock.close()
        self._refused.note()
        return True
