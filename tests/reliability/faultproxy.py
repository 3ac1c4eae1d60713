"""A loopback TCP proxy that injects faults into the server's answers.

The proxy listens on 127.0.0.1, forwards every accepted client to an upstream
server and copies the client's bytes upstream unchanged.  The server's bytes
are forwarded packet by packet (header, then body), which lets a :class:`Fault`
act at an exact place of the answer stream: packet ``packet`` counts the
server's packets on that connection from 0 (0 is the handshake reply).

* ``Fault("cut", packet, offset)``: forward ``offset`` bytes of that packet,
  then close the client's side (an end of stream in mid-header for an offset
  below the header length, in mid-body above it).
* ``Fault("delay", packet, seconds=s)``: hold that packet (and so all that
  follows it) for ``s`` seconds, then go on forwarding.
* ``Fault("drop", packet)``: when that packet arrives, reset both connections
  (the server is gone without a goodbye).

Faults apply to the connections accepted after :meth:`FaultProxy.set_fault`;
``None`` forwards faithfully.  Every socket has a time-out and every thread
ends by itself; :meth:`FaultProxy.close` ends them early.
"""

from __future__ import annotations

import socket
import struct
import threading
import time
from typing import List, NamedTuple, Optional, Tuple

from vantrel.share.codec import unpack_header
from vantrel.share.protocol import HEADER_LENGTH

TIMEOUT = 10.0


class Fault(NamedTuple):
    kind: str  # "cut", "delay" or "drop"
    packet: int
    offset: int = 0
    seconds: float = 0.0


def _reset(sock: socket.socket) -> None:
    """Close with an RST instead of an orderly end of stream."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


def _kill(sock: socket.socket) -> None:
    """Shut down and close; a thread blocked on the socket wakes up."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    sock.close()


def _recv_exact(sock: socket.socket, n: int) -> bytes:
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(min(n - len(buf), 1 << 20))
        if not chunk:
            break
        buf += chunk
    return bytes(buf)


class FaultProxy:
    def __init__(self, upstream: Tuple[str, int], fault: Optional[Fault] = None,
                 timeout: float = TIMEOUT) -> None:
        self.upstream = upstream
        self.timeout = timeout
        self._fault = fault
        self._lock = threading.Lock()
        self._closed = threading.Event()
        self._sockets: List[socket.socket] = []
        self._threads: List[threading.Thread] = []
        self.faults_applied = 0
        self.errors: List[BaseException] = []
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.1)
        self.address: Tuple[str, int] = self._listener.getsockname()[:2]
        self._spawn(self._accept_loop, "proxy-accept")

    def set_fault(self, fault: Optional[Fault]) -> None:
        with self._lock:
            self._fault = fault

    def socket(self) -> socket.socket:
        """A client socket connected through the proxy, with the proxy's time-out."""
        return socket.create_connection(self.address, timeout=self.timeout)

    def close(self) -> None:
        self._closed.set()
        with self._lock:
            socks = list(self._sockets)
        for s in socks:
            _kill(s)
        for t in list(self._threads):
            t.join(self.timeout)
        self._listener.close()

    def __enter__(self) -> "FaultProxy":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- threads ---------------------------------------------------------------

    def _spawn(self, target, name: str, *args) -> None:
        t = threading.Thread(target=target, args=args, name=name, daemon=True)
        self._threads.append(t)
        t.start()

    def _track(self, s: socket.socket) -> socket.socket:
        with self._lock:
            self._sockets.append(s)
        return s

    def _accept_loop(self) -> None:
        while not self._closed.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self._track(client).settimeout(self.timeout)
            with self._lock:
                fault = self._fault
            try:
                server = self._track(socket.create_connection(self.upstream, timeout=self.timeout))
            except OSError:
                _reset(client)  # no server behind the proxy: the client sees a reset
                continue
            self._spawn(self._client_to_server, "proxy-up", client, server)
            self._spawn(self._server_to_client, "proxy-down", server, client, fault)

    def _client_to_server(self, client: socket.socket, server: socket.socket) -> None:
        try:
            while True:
                data = client.recv(65536)
                if not data:
                    break
                server.sendall(data)
            server.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def _server_to_client(self, server: socket.socket, client: socket.socket,
                          fault: Optional[Fault]) -> None:
        index = 0
        try:
            while True:
                header = _recv_exact(server, HEADER_LENGTH)
                length = unpack_header(header)[3] if len(header) == HEADER_LENGTH else 0
                body = _recv_exact(server, length) if length > 0 else b""
                packet = header + body
                whole = len(header) == HEADER_LENGTH and len(body) == max(length, 0)
                if fault is not None and fault.packet == index and packet:
                    self.faults_applied += 1
                    if fault.kind == "cut":
                        client.sendall(packet[:fault.offset])
                        return
                    if fault.kind == "drop":
                        _reset(client)
                        _reset(server)
                        return
                    if fault.kind != "delay":
                        raise ValueError("unknown fault %r" % (fault.kind,))
                    self._closed.wait(fault.seconds)
                client.sendall(packet)
                if not whole:
                    return  # the server ended its stream (inside a packet or between two)
                index += 1
        except OSError as e:
            if not self._closed.is_set() and not isinstance(e, (ConnectionError, socket.timeout)):
                self.errors.append(e)
        finally:
            # Whatever ended the forwarding, both peers see the connection end.
            _kill(client)
            _kill(server)
