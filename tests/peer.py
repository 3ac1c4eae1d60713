"""The scripted loopback peer of the tests, the fuzzer and the benchmarks.

A :class:`Peer` listens on an ephemeral 127.0.0.1 port and runs a script of
steps for each client it accepts, in a thread of its own::

    peer = Peer([recv(), send(packet(MSG_TYPE.RESPONSE, 42))], handshake=True)
    conn = connect(impl, peer)
    assert conn.execute("m") == 42
    conn.close()
    peer.finish()          # joins the thread, re-raises whatever went wrong there

After its script the peer keeps the connection open until the client closes it
(or :meth:`Peer.finish` is called), so an idle client is never disturbed by a
spurious end of stream.  Every socket carries a time-out, and the thread
always ends: a hung script gives up after ``timeout`` seconds.

By default a peer serves one client.  ``clients=None`` serves any number of
them, one after another (or each in a thread of its own with ``concurrent``),
until :meth:`Peer.finish`; the step :func:`answer_each` makes such a peer
answer every request with the same canned bytes, as loops of thousands of
exchanges and the benchmarks' answer server want.

:func:`read_packet` is the one packet reader of the harness: the peer reads
its clients with it, and tests that talk to the reference server directly
read its answers with it.

The last sections hold the other helpers shared by the test files: opening a
real connection to an address, and running a child Python that imports the
same package as the tests.
"""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import threading
import time
from types import ModuleType
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Union

import vantrel
from vantrel._impls import CONNECTION_MODULES
from vantrel.share.codec import pack_header, pack_one, unpack_header, unpack_one
from vantrel.share.protocol import COMPRESSION_METHOD, HEADER_LENGTH, MSG_TYPE, SERIALIZATION_TYPE

TIMEOUT = 20.0
CLIENT_TIMEOUT = 10.0  # of connections to the reference server or a proxy
MSGPACK = SERIALIZATION_TYPE.MSGPACK
NONE = COMPRESSION_METHOD.NONE
_NOBODY = object()
Address = Tuple[str, int]
Socket = socket.socket  # for annotations inside Peer, whose socket() hides the module


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


def handshake_reply(notice: Any = _NOBODY) -> bytes:
    return packet(MSG_TYPE.HANDSHAKE, notice)


class Received(NamedTuple):
    """One packet read from the other end."""

    mt: int
    st: int
    cm: int
    length: int
    body: Any  # decoded (or raw, see read_packet) body, None when length <= 0


def recv_exact(sock: Socket, n: int) -> bytes:
    """Exactly ``n`` bytes; EOFError when the stream ends before."""
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise EOFError("end of stream after %d of %d bytes" % (len(buf), n))
        buf += chunk
    return bytes(buf)


def read_packet(sock: Socket, decode: bool = True) -> Received:
    """One whole packet from ``sock``, its body decoded (raw bytes with ``decode=False``)."""
    mt, st, cm, length = unpack_header(recv_exact(sock, HEADER_LENGTH))
    body: Any = None
    if length > 0:
        body = recv_exact(sock, length)
        if decode:
            body = unpack_one(body, st, cm)
    return Received(mt, st, cm, length, body)


# -- script steps --------------------------------------------------------------

Step = Tuple[Any, ...]
Answer = Union[bytes, Callable[[Received], bytes]]


def send(data: bytes, may_fail: bool = False) -> Step:
    """Send raw bytes; with ``may_fail`` a socket error of the send is ignored."""
    return ("send", data, may_fail)


def recv(record: bool = True) -> Step:
    """Read one whole packet from the client; decode it and append it to ``peer.received``
    (with ``record=False`` the packet is only read)."""
    return ("recv", record)


def answer_each(answer: Answer) -> Step:
    """Until the client closes: read each packet it sends and answer with ``answer``
    (bytes, or a function of the received packet, whose body is then decoded).
    Nothing is recorded."""
    return ("answer_each", answer)


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


# -- the peer --------------------------------------------------------------------


class Peer:
    """Serves ``clients`` clients (None: any number) with ``script``, which may be
    replaced between clients; ``handshake`` puts the reading and answering of the
    client's handshake in front of it."""

    def __init__(self, script: List[Step], handshake: bool = False, timeout: float = TIMEOUT,
                 clients: Optional[int] = 1, concurrent: bool = False) -> None:
        if handshake:
            script = [recv(), send(handshake_reply())] + list(script)
        self.script = list(script)
        self.timeout = timeout
        self.clients = clients
        self.concurrent = concurrent
        self.received: List[Received] = []
        self.trailing = bytearray()  # bytes the (latest) client sent after the script
        self.error: Optional[BaseException] = None
        self.client_closed = threading.Event()
        self._stop = threading.Event()
        self._accepting = False
        self._listener = socket.create_server(("127.0.0.1", 0), backlog=128)
        self._listener.settimeout(None if clients is None else timeout)
        self.address: Address = self._listener.getsockname()[:2]
        self._thread = threading.Thread(target=self._run, name="scripted-peer", daemon=True)
        self._thread.start()

    # client side helpers

    def socket(self) -> Socket:
        """A client socket connected to this peer, with the default time-out."""
        return socket.create_connection(self.address, timeout=self.timeout)

    def finish(self) -> None:
        """Stop the peer, join its thread and re-raise its failure, if any."""
        self._stop.set()
        if self._accepting:  # wake the thread up with a client of its own (clients=None)
            try:
                self.socket().close()
            except OSError:
                pass
        self._thread.join(self.timeout + 2)
        if self._thread.is_alive():
            raise AssertionError("scripted peer did not finish")
        if self.error is not None:
            raise AssertionError("scripted peer failed: %r" % (self.error,)) from self.error

    def __enter__(self) -> Peer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.finish()

    # the threads

    def _run(self) -> None:
        served = 0
        try:
            with self._listener:
                while self.clients is None or served < self.clients:
                    conn = self._accept()
                    if conn is None:
                        return
                    served += 1
                    if served == self.clients:
                        self._listener.close()  # no client beyond the last one
                    if self.concurrent:
                        threading.Thread(target=self._serve, args=(conn,), name="scripted-peer-client",
                                         daemon=True).start()
                    else:
                        self._serve(conn)
        except BaseException as e:  # reported to the test by finish()
            self.error = e

    def _accept(self) -> Optional[Socket]:
        """The next client; None once a peer of any number of clients is stopped
        (finish() wakes it up).  A peer of a fixed number waits for each at most its
        time-out, stopped or not: a client may be on its way when the test ends."""
        conn: Optional[Socket] = None
        if self.clients is not None:
            conn = self._listener.accept()[0]
        else:
            self._accepting = True  # set before _stop is tested: finish() tests them the other way round
            try:
                conn = None if self._stop.is_set() else self._listener.accept()[0]
            finally:
                self._accepting = False
            if self._stop.is_set():
                if conn is not None:
                    conn.close()
                return None
        assert conn is not None
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return conn

    def _serve(self, conn: Socket) -> None:
        self.trailing = bytearray()
        try:
            with conn:
                conn.settimeout(self.timeout)
                if self._play(conn, self.script):
                    self._linger(conn)
        except BaseException as e:  # reported to the test by finish()
            if self.error is None:
                self.error = e
            if not self.concurrent:
                raise

    def _play(self, conn: Socket, script: List[Step]) -> bool:
        for step in script:
            kind = step[0]
            if kind == "send":
                try:
                    conn.sendall(step[1])
                except OSError:
                    if not step[2]:
                        raise
            elif kind == "recv":
                received = read_packet(conn, decode=step[1])
                if step[1]:
                    self.received.append(received)
            elif kind == "answer_each":
                self._answer_each(conn, step[1])
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

    @staticmethod
    def _answer_each(conn: Socket, answer: Answer) -> None:
        try:
            while True:
                received = read_packet(conn, decode=callable(answer))
                conn.sendall(answer(received) if callable(answer) else answer)
        except (EOFError, ConnectionError):
            return  # the client has gone: the end of the loop

    def _linger(self, conn: Socket) -> None:
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


# -- connections -------------------------------------------------------------------


def connect_to(impl: ModuleType, address: Address, auth: Optional[Dict[str, Any]] = None,
               timeout: float = CLIENT_TIMEOUT) -> Any:
    """A real ``impl.Connection`` to ``address``, with the socket closed again if it fails."""
    sock = socket.create_connection(address, timeout=timeout)
    try:
        return impl.Connection(sock, {"user": "tester"} if auth is None else auth)
    except BaseException:
        sock.close()
        raise


def connect(impl: ModuleType, peer: Peer, auth: Optional[Dict[str, Any]] = None) -> Any:
    """A real ``impl.Connection`` to ``peer``, whose script must start with the handshake."""
    return connect_to(impl, peer.address, auth, peer.timeout)


def shut_and_close(sock: Socket) -> None:
    """Shut the socket down, then close it: a reader that a failed constructor left
    open on it keeps the descriptor alive past ``close()``, and the peer waiting."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    sock.close()


def close_quietly(conn: Any) -> None:
    try:
        conn.close()
    except (OSError, ValueError):
        pass


def impl_name(module: ModuleType) -> str:
    """The implementation key (``ext`` or ``twin``) of a connection module."""
    return {v: k for k, v in CONNECTION_MODULES.items()}[module.__name__]


def open_fds() -> int:
    """The number of descriptors this process has open."""
    return len(os.listdir("/proc/self/fd"))


def run_threads(count: int, target: Callable[[int], None], join: float = 60.0) -> List[BaseException]:
    """``target(0)`` ... ``target(count - 1)``, each in a thread of its own; the
    exceptions they raised, and an AssertionError for threads still running
    after ``join`` seconds."""
    errors: List[BaseException] = []

    def guarded(i: int) -> None:
        try:
            target(i)
        except BaseException as e:  # collected and reported by the test
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(join)
    if any(t.is_alive() for t in threads):
        errors.append(AssertionError("a thread hung"))
    return errors


# -- child processes ----------------------------------------------------------------

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(vantrel.__file__)))


def python_env(**extra: str) -> Dict[str, str]:
    """The environment of a child Python that imports the same vantrel package as
    the tests (its folder first on PYTHONPATH), with ``extra`` set."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
    env.update(extra)
    return env


def run_python(*args: str, timeout: float = 60.0,
               env: Optional[Dict[str, str]] = None) -> subprocess.CompletedProcess[str]:
    """``python ARGS`` (``-c CODE``, ``-m MODULE ...``) in a child process, its output
    captured as text; ``env`` defaults to :func:`python_env`."""
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=timeout,
                          env=python_env() if env is None else env)
