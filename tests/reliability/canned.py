"""A fast loopback server that answers every request with the same canned bytes.

Made for loops of many thousands of exchanges, where a new scripted peer per
exchange would cost a thread and a listener each time.  One thread serves the
connections one after another: it reads the handshake, sends ``handshake``,
then answers every REQUEST with ``answer`` (and with ``close_after`` ends its
side right after), until the client closes.  Every socket has a time-out.
"""

from __future__ import annotations

import socket
import threading
from typing import List, Optional, Tuple

from vantrel.share.codec import pack_header, unpack_header
from vantrel.share.protocol import HEADER_LENGTH, MSG_TYPE

TIMEOUT = 5.0
HANDSHAKE_OK = pack_header(MSG_TYPE.HANDSHAKE, 2, 0, 0)


class CannedServer:
    def __init__(self, answer: bytes = b"", handshake: bytes = HANDSHAKE_OK,
                 close_after: bool = False) -> None:
        self.answer = answer
        self.handshake = handshake
        self.close_after = close_after
        self.requests = 0
        self.errors: List[BaseException] = []
        self._stop = threading.Event()
        self._listener = socket.create_server(("127.0.0.1", 0), backlog=64)
        self._listener.settimeout(0.05)
        self.address: Tuple[str, int] = self._listener.getsockname()[:2]
        self._thread = threading.Thread(target=self._run, name="canned-server", daemon=True)
        self._thread.start()

    def set(self, answer: bytes, handshake: bytes = HANDSHAKE_OK, close_after: bool = False) -> None:
        """Takes effect for the next connection (set it while no client is connected)."""
        self.answer, self.handshake, self.close_after = answer, handshake, close_after

    def socket(self) -> socket.socket:
        return socket.create_connection(self.address, timeout=TIMEOUT)

    def close(self) -> None:
        self._stop.set()
        self._thread.join(TIMEOUT + 1)
        self._listener.close()

    def __enter__(self) -> "CannedServer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _run(self) -> None:
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                with conn:
                    conn.settimeout(TIMEOUT)
                    self._serve(conn)
            except (ConnectionError, socket.timeout):
                pass
            except Exception as e:  # reported by the tests through .errors
                self.errors.append(e)

    def _serve(self, conn: socket.socket) -> None:
        answer, handshake, close_after = self.answer, self.handshake, self.close_after
        if self._read_packet(conn) is None:
            return
        conn.sendall(handshake)
        while self._read_packet(conn) is not None:
            self.requests += 1
            conn.sendall(answer)
            if close_after:
                conn.shutdown(socket.SHUT_WR)
                while conn.recv(65536):
                    pass
                return

    @staticmethod
    def _read_exact(conn: socket.socket, n: int) -> Optional[bytes]:
        buf = bytearray()
        while len(buf) < n:
            chunk = conn.recv(n - len(buf))
            if not chunk:
                return None
            buf += chunk
        return bytes(buf)

    def _read_packet(self, conn: socket.socket) -> Optional[bytes]:
        header = self._read_exact(conn, HEADER_LENGTH)
        if header is None:
            return None
        length = unpack_header(header)[3]
        if length > 0 and self._read_exact(conn, length) is None:
            return None
        return header
