"""Running a server: in a thread of its own (tests, the demo) or as the process's main job."""

from __future__ import annotations

import asyncio
import logging
import os
import signal
import socket
import threading
from typing import Any, Callable, Optional, Sequence, Tuple

from .core import Server

__all__ = ["ServerThread", "run"]

log = logging.getLogger("vantrel.server")


class ServerThread:
    """A :class:`Server` on an event loop in a daemon thread.

    ::

        with ServerThread(server) as (host, port):
            ...                      # connect to host:port
        # stopped here

    or ``address = thread.start()`` ... ``thread.stop()``.
    """

    def __init__(self, server: Server, host: str = "127.0.0.1", port: int = 0) -> None:
        self.server = server
        self.host = host
        self.port = port
        self.address: Optional[Tuple[str, int]] = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._ready = threading.Event()
        self._error: Optional[BaseException] = None
        self._thread: Optional[threading.Thread] = None

    def start(self, timeout: float = 10.0) -> Tuple[str, int]:
        """Start the thread and return the address the server listens on."""
        if self._thread is not None:
            raise RuntimeError("the server thread was already started")
        self._thread = threading.Thread(target=self._run, name="vantrel-server", daemon=True)
        self._thread.start()
        if not self._ready.wait(timeout):
            raise RuntimeError("the server did not start within %g s" % timeout)
        if self._error is not None:
            self._thread.join(timeout)
            raise self._error
        assert self.address is not None
        return self.address

    def stop(self, grace: Optional[float] = None, timeout: float = 10.0) -> None:
        """Shut the server down (see :meth:`Server.shutdown`) and join the thread."""
        if self._thread is None:
            return
        loop = self._loop
        if loop is not None and self._thread.is_alive():
            future = asyncio.run_coroutine_threadsafe(self.server.shutdown(grace), loop)
            try:
                future.result(timeout)
            except RuntimeError:  # the loop stopped meanwhile
                pass
        self._thread.join(timeout)

    @property
    def ident(self) -> Optional[int]:
        """The thread's identity (``threading.get_ident()`` in it), None before start()."""
        return self._thread.ident if self._thread is not None else None

    def __enter__(self) -> Tuple[str, int]:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def _run(self) -> None:
        try:
            asyncio.run(self._main())
        except BaseException as e:  # reported to start() if it happens before ready
            if not self._ready.is_set():
                self._error = e
                self._ready.set()
            else:
                log.exception("server thread failed")

    async def _main(self) -> None:
        self._loop = asyncio.get_running_loop()
        try:
            self.address = await self.server.start(self.host, self.port)
        except BaseException as e:
            self._error = e
            self._ready.set()
            return
        self._ready.set()
        await self.server.wait_closed()


def run(server: Server, host: str = "127.0.0.1", port: int = 7878, *,
        on_ready: Optional[Callable[[Tuple[str, int]], None]] = None,
        signals: Sequence[int] = (signal.SIGINT, signal.SIGTERM),
        grace: Optional[float] = None) -> None:
    """Serve in the calling thread until one of ``signals`` arrives, then shut down gracefully.

    A second signal during the shutdown ends the process at once, with the
    status 128 + the signal's number.  ``on_ready`` is called with the bound
    address once the server listens.
    """

    async def main() -> None:
        loop = asyncio.get_running_loop()
        address = await server.start(host, port)
        stopping: list[asyncio.Future[None]] = []

        def on_signal(signum: int) -> None:
            if stopping:
                _exit_now(signum)
            log.info("received %s, shutting down", signal.Signals(signum).name)
            stopping.append(asyncio.ensure_future(server.shutdown(grace)))
            # From now on a signal acts at once, even while a handler holds the loop.
            for sig in handled:
                loop.remove_signal_handler(sig)
                signal.signal(sig, lambda signum, frame: _exit_now(signum))
            # The handler runs in this thread, but the signal may be taken by
            # another (a resolver's worker): it then only wakes this one
            # through the wakeup descriptor, which the loop's selector watches.
            waker.extend(socket.socketpair())
            for end in waker:
                end.setblocking(False)
            signal.set_wakeup_fd(waker[1].fileno(), warn_on_full_buffer=False)
            loop.add_reader(waker[0].fileno(), _drain, waker[0])

        handled: list[int] = []
        waker: list[socket.socket] = []
        previous = {sig: signal.getsignal(sig) for sig in signals}
        for sig in signals:
            try:
                loop.add_signal_handler(sig, on_signal, sig)
            except (NotImplementedError, RuntimeError, ValueError):  # not the main thread, ...
                continue
            handled.append(sig)
        if on_ready is not None:
            on_ready(address)
        try:
            await server.wait_closed()
        finally:
            for sig in handled:
                loop.remove_signal_handler(sig)
                if previous[sig] is not None:
                    signal.signal(sig, previous[sig])
            if waker:
                signal.set_wakeup_fd(-1)
                loop.remove_reader(waker[0].fileno())
                for end in waker:
                    end.close()

    asyncio.run(main())


def _drain(sock: socket.socket) -> None:
    try:
        sock.recv(4096)
    except OSError:
        pass


def _exit_now(signum: int) -> None:
    # Runs as a signal handler: no logging (its locks may be held), a plain write.
    try:
        os.write(2, b"vantrel: received %s again, exiting at once\n"
                 % signal.Signals(signum).name.encode())
    except OSError:
        pass
    os._exit(128 + signum)
