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
``None`` forwards faithfully.  One thread serves both directions of a
connection and alone closes its two sockets (a socket closed under another
thread's blocked call can leave that call waiting on a reused descriptor);
every thread ends by itself, and :meth:`FaultProxy.close` ends them early.
"""

from __future__ import annotations

import selectors
import socket
import struct
import threading
import time
from typing import List, NamedTuple, Optional, Tuple

from vantrel.share.codec import unpack_header
from vantrel.share.protocol import HEADER_LENGTH

TIMEOUT = 10.0
Socket = socket.socket  # for annotations in FaultProxy, whose method socket() hides the module


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


class FaultProxy:
    def __init__(self, upstream: Tuple[str, int], fault: Optional[Fault] = None,
                 timeout: float = TIMEOUT) -> None:
        self.upstream = upstream
        self.timeout = timeout
        self._fault = fault
        self._lock = threading.Lock()
        self._closed = threading.Event()
        self._threads: List[threading.Thread] = []
        self.faults_applied = 0
        self.connections = 0
        self.errors: List[BaseException] = []
        self._listener = socket.create_server(("127.0.0.1", 0), backlog=256)
        self._listener.settimeout(0.05)
        self.address: Tuple[str, int] = self._listener.getsockname()[:2]
        self._spawn(self._accept_loop, "proxy-accept")

    def set_fault(self, fault: Optional[Fault]) -> None:
        with self._lock:
            self._fault = fault

    def socket(self) -> Socket:
        """A client socket connected through the proxy, with the proxy's time-out."""
        return socket.create_connection(self.address, timeout=self.timeout)

    def close(self) -> None:
        self._closed.set()
        for t in list(self._threads):
            t.join(self.timeout)
        self._listener.close()

    def __enter__(self) -> FaultProxy:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- threads ---------------------------------------------------------------

    def _spawn(self, target, name: str, *args) -> None:
        t = threading.Thread(target=target, args=args, name=name, daemon=True)
        with self._lock:
            self._threads = [x for x in self._threads if x.is_alive()] + [t]
        t.start()

    def _accept_loop(self) -> None:
        while not self._closed.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                fault = self._fault
                self.connections += 1
            self._spawn(self._serve, "proxy-conn", client, fault)

    def _serve(self, client: Socket, fault: Optional[Fault]) -> None:
        try:
            server = socket.create_connection(self.upstream, timeout=self.timeout)
        except OSError:
            _reset(client)  # no server behind the proxy: the client sees a reset
            return
        try:
            _Link(self, client, server, fault).run()
        except OSError as e:
            if not self._closed.is_set() and not isinstance(e, (ConnectionError, socket.timeout)):
                self.errors.append(e)
        finally:
            for s in (client, server):
                s.close()


class _Link:
    """Both directions of one proxied connection, served by one thread."""

    def __init__(self, proxy: FaultProxy, client: socket.socket, server: socket.socket,
                 fault: Optional[Fault]) -> None:
        self.proxy = proxy
        self.client = client
        self.server = server
        self.fault = fault
        self.down = bytearray()  # from the server, not yet split into packets
        self.index = 0  # packets of the server seen so far
        self.held: List[bytes] = []  # packets waiting for the end of a delay
        self.hold_until = 0.0
        for s in (client, server):
            s.settimeout(proxy.timeout)

    def run(self) -> None:
        sel = selectors.DefaultSelector()
        sel.register(self.client, selectors.EVENT_READ)
        sel.register(self.server, selectors.EVENT_READ)
        client_open = server_open = True
        try:
            while server_open and not self.proxy._closed.is_set():
                if self.held and time.monotonic() >= self.hold_until:
                    self.client.sendall(b"".join(self.held))
                    self.held.clear()
                for key, _ in sel.select(0.02):
                    if key.fileobj is self.client:
                        data = self.client.recv(65536)
                        if data:
                            self.server.sendall(data)
                        else:
                            client_open = False
                            sel.unregister(self.client)
                            self.server.shutdown(socket.SHUT_WR)
                    else:
                        data = self.server.recv(65536)
                        if not data:
                            server_open = False
                            break
                        self.down += data
                        if not self._forward_packets():
                            return
            if not server_open:  # the server ended its stream: so does the proxy
                while self.held and not self.proxy._closed.is_set():
                    time.sleep(max(0.0, min(0.02, self.hold_until - time.monotonic())))
                    if time.monotonic() >= self.hold_until:
                        self.client.sendall(b"".join(self.held))
                        self.held.clear()
                self.client.sendall(bytes(self.down))  # a packet the server left unfinished
                self.client.shutdown(socket.SHUT_WR)
                if client_open:  # let the client read it all before the socket goes
                    self.client.settimeout(0.5)
                    while self.client.recv(65536):
                        pass
        finally:
            sel.close()

    def _forward_packets(self) -> bool:
        """Forward the whole packets received so far; False once the connection is ended."""
        while len(self.down) >= HEADER_LENGTH:
            length = unpack_header(bytes(self.down[:HEADER_LENGTH]))[3]
            size = HEADER_LENGTH + max(length, 0)
            if len(self.down) < size:
                return True
            packet = bytes(self.down[:size])
            del self.down[:size]
            fault = self.fault
            if fault is not None and fault.packet == self.index:
                self.proxy.faults_applied += 1
                if fault.kind == "cut":
                    self.client.sendall(packet[:fault.offset])
                    self.client.shutdown(socket.SHUT_RDWR)
                    return False
                if fault.kind == "drop":
                    _reset(self.client)
                    _reset(self.server)
                    return False
                if fault.kind != "delay":
                    raise ValueError("unknown fault %r" % (fault.kind,))
                self.hold_until = time.monotonic() + fault.seconds
            self.index += 1
            if self.held or time.monotonic() < self.hold_until:
                self.held.append(packet)
            else:
                self.client.sendall(packet)
        return True
