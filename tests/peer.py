"""A scripted TCP peer on 127.0.0.1 and helpers to build packets and connections.

A :class:`Peer` listens on an ephemeral loopback port, accepts one client and
runs a script of steps in its own thread::

    peer = Peer([recv(), send(packet(MSG_TYPE.RESPONSE, 42))], handshake=True)
    conn = connect(impl, peer)
    assert conn.execute("m") == 42
    conn.close()
    peer.finish()          # joins the thread, re-raises whatever went wrong there

After its script the peer keeps the connection open until the client closes it
(or :meth:`Peer.finish` is called), so an idle client is never disturbed by a
spurious end of stream.  Every socket carries a time-out, and the thread
always ends: a hung script gives up after ``timeout`` seconds.
"""

from __future__ import annotations

import socket
import threading
import time
from typing import Any, List, NamedTuple, Optional, Tuple

from vantrel.share.codec import pack_header, pack_one, unpack_header, unpack_one
from vantrel.share.protocol import COMPRESSION_METHOD, HEADER_LENGTH, MSG_TYPE, SERIALIZATION_TYPE

TIMEOUT = 5.0
MSGPACK = SERIALIZATION_TYPE.MSGPACK
NONE = COMPRESSION_METHOD.NONE
_NOBODY = object()


# -- packets -----------------------------------------------------------------


def packet(mt: int, body: Any = _NOBODY, st: int = MSGPACK, cm: int = NONE) -> bytes:
    """One well-formed packet; without ``body`` a header with length 0.

    A compression method other than NONE is always applied, whatever the size.
    """
    if body is _NOBODY:
        return pack_header(mt, st, cm, 0)
    return pack_one(body, mt, st, cm, force_compress=cm != NONE)


def raw_packet(mt: int, st: int, cm: int, length: int, body: bytes = b"") -> bytes:
    """A header with arbitrary fields followed by ``body`` as given (may disagree with length)."""
    return pack_header(mt, st, cm, length) + body


def error_packet(code: Any, message: Any) -> bytes:
    return packet(MSG_TYPE.ERROR, [code, message])


class Received(NamedTuple):
    """One packet the peer read from its client."""

    mt: int
    st: int
    cm: int
    length: int
    body: Any  # decoded body, None when length <= 0


# -- script steps --------------------------------------------------------------

Step = Tuple[Any, ...]


def send(data: bytes, may_fail: bool = False) -> Step:
    """Send raw bytes; with ``may_fail`` a socket error of the send is ignored."""
    return ("send", data, may_fail)


def recv() -> Step:
    """Read one whole packet from the client, decode it and record it in ``peer.received``."""
    return ("recv",)


def sleep(seconds: float) -> Step:
    return ("sleep", seconds)


def wait(event: threading.Event) -> Step:
    """Block until the test sets ``event`` (at most the peer's time-out)."""
    return ("wait", event)


def signal(event: threading.Event) -> Step:
    """Set ``event``, telling the test that the steps before it are done."""
    return ("signal", event)


def shut_wr() -> Step:
    """Half-close: the client reads the end of the stream, the peer can still read."""
    return ("shut_wr",)


def close() -> Step:
    """Close the peer's side of the connection at once and end the script."""
    return ("close",)


def handshake_reply(notice: Any = _NOBODY) -> bytes:
    return packet(MSG_TYPE.HANDSHAKE, notice)


# -- the peer --------------------------------------------------------------------


class Peer:
    def __init__(self, script: List[Step], handshake: bool = False,
                 timeout: float = TIMEOUT) -> None:
        if handshake:
            script = [recv(), send(handshake_reply())] + list(script)
        self.script = list(script)
        self.timeout = timeout
        self.received: List[Received] = []
        self.trailing = bytearray()  # bytes the client sent after the script
        self.error: Optional[BaseException] = None
        self.client_closed = threading.Event()
        self._stop = threading.Event()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(timeout)
        self.address: Tuple[str, int] = self._listener.getsockname()[:2]
        self._thread = threading.Thread(target=self._run, name="scripted-peer", daemon=True)
        self._thread.start()

    # client side helpers

    def socket(self) -> socket.socket:
        """A client socket connected to this peer, with the default time-out."""
        return socket.create_connection(self.address, timeout=self.timeout)

    def finish(self) -> None:
        """Stop the peer, join its thread and re-raise its failure, if any."""
        self._stop.set()
        self._thread.join(self.timeout + 2)
        if self._thread.is_alive():
            raise AssertionError("scripted peer did not finish")
        if self.error is not None:
            raise AssertionError("scripted peer failed: %r" % (self.error,)) from self.error

    # the thread

    def _run(self) -> None:
        try:
            with self._listener:
                conn, _ = self._listener.accept()
            with conn:
                conn.settimeout(self.timeout)
                if self._play(conn):
                    self._linger(conn)
        except BaseException as e:  # reported to the test by finish()
            self.error = e

    def _play(self, conn: socket.socket) -> bool:
        for step in self.script:
            kind = step[0]
            if kind == "send":
                try:
                    conn.sendall(step[1])
                except OSError:
                    if not step[2]:
                        raise
            elif kind == "recv":
                self.received.append(self._read_packet(conn))
            elif kind == "sleep":
                time.sleep(step[1])
            elif kind == "wait":
                if not step[1].wait(self.timeout):
                    raise TimeoutError("scripted peer: event never set")
            elif kind == "signal":
                step[1].set()
            elif kind == "shut_wr":
                conn.shutdown(socket.SHUT_WR)
            elif kind == "close":
                return False
            else:
                raise ValueError("unknown step %r" % (kind,))
        return True

    def _linger(self, conn: socket.socket) -> None:
        conn.settimeout(0.02)
        deadline = time.monotonic() + self.timeout
        while not self._stop.is_set() and time.monotonic() < deadline:
            try:
                data = conn.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            if not data:
                break
            self.trailing += data
        self.client_closed.set()

    @staticmethod
    def _read_exact(conn: socket.socket, n: int) -> bytes:
        buf = bytearray()
        while len(buf) < n:
            chunk = conn.recv(n - len(buf))
            if not chunk:
                raise EOFError("client closed after %d of %d bytes" % (len(buf), n))
            buf += chunk
        return bytes(buf)

    def _read_packet(self, conn: socket.socket) -> Received:
        mt, st, cm, length = unpack_header(self._read_exact(conn, HEADER_LENGTH))
        body = None
        if length > 0:
            body = unpack_one(self._read_exact(conn, length), st, cm)
        return Received(mt, st, cm, length, body)


# -- connections -------------------------------------------------------------------


def connect(impl: Any, peer: Peer, auth: Optional[dict] = None) -> Any:
    """A real ``impl.Connection`` to ``peer``, whose script must start with the handshake."""
    sock = peer.socket()
    try:
        return impl.Connection(sock, {"user": "tester"} if auth is None else auth)
    except BaseException:
        sock.close()
        raise


def safe_close(conn: Any) -> None:
    try:
        conn.close()
    except (OSError, ValueError):
        pass
