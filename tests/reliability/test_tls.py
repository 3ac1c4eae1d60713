"""A connection over an ``ssl``-wrapped socket, with a certificate made for the test.

The reference server speaks plain TCP; a TLS front on loopback (asyncio,
in a thread) terminates TLS and forwards to it.  The client verifies the
certificate (made at test time, for 127.0.0.1) and then runs the handshake,
single answers, tables (one of many TLS records) and the liveness check.
"""

from __future__ import annotations

import asyncio
import datetime
import ipaddress
import os
import shutil
import socket
import ssl
import subprocess
import threading
import warnings
from types import ModuleType
from typing import Any, Iterator, Optional, Tuple

import pytest

from vantrel.share.errors import RemoteExecutionError

from .servers import close_quietly, start_server

Address = Tuple[str, int]
TIMEOUT = 10.0


def make_certificate(directory: str) -> Tuple[str, str]:
    """A self-signed certificate and key for 127.0.0.1; skips when no tool can make one."""
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    try:
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.x509.oid import NameOID
    except ImportError:
        if shutil.which("openssl") is None:
            pytest.skip("neither the cryptography package nor the openssl command is available")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, capture_output=True, timeout=60)
        return cert, key
    private = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                   .public_key(private.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(minutes=5))
                   .not_valid_after(now + datetime.timedelta(days=1))
                   .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
                                  critical=False)
                   .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                   .sign(private, hashes.SHA256()))
    with open(cert, "wb") as f:
        f.write(certificate.public_bytes(serialization.Encoding.PEM))
    with open(key, "wb") as f:
        f.write(private.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
    return cert, key


class TLSFront:
    """Accepts TLS on 127.0.0.1 and forwards the plain bytes to ``upstream``."""

    def __init__(self, upstream: Address, context: ssl.SSLContext) -> None:
        self.upstream = upstream
        self.context = context
        self.address: Optional[Address] = None
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._stop: Optional[asyncio.Event] = None
        self._tasks: "set[asyncio.Task[Any]]" = set()
        self._writers: "set[asyncio.StreamWriter]" = set()
        self._thread = threading.Thread(target=self._loop.run_until_complete, args=(self._main(),),
                                        name="tls-front", daemon=True)
        self._thread.start()
        if not self._ready.wait(TIMEOUT):
            raise RuntimeError("the TLS front did not start")

    def close(self) -> None:
        if self._stop is not None:
            self._loop.call_soon_threadsafe(self._stop.set)
        self._thread.join(TIMEOUT)
        self._loop.close()

    async def _main(self) -> None:
        self._stop = asyncio.Event()
        server = await asyncio.start_server(self._handle, "127.0.0.1", 0, ssl=self.context)
        self.address = server.sockets[0].getsockname()[:2]
        self._ready.set()
        async with server:
            await self._stop.wait()
        for writer in list(self._writers):  # ends the pipes of open connections
            writer.transport.abort()
        await asyncio.gather(*self._tasks, return_exceptions=True)

    async def _handle(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        assert task is not None
        self._tasks.add(task)
        self._writers.add(writer)
        up_writer: Optional[asyncio.StreamWriter] = None
        try:
            up_reader, up_writer = await asyncio.open_connection(*self.upstream)
            self._writers.add(up_writer)
            await asyncio.gather(self._pipe(reader, up_writer), self._pipe(up_reader, writer))
        finally:
            self._tasks.discard(task)
            self._writers.discard(writer)
            self._writers.discard(up_writer)  # type: ignore[arg-type]

    @staticmethod
    async def _pipe(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                writer.write(data)
                await writer.drain()
        except (ConnectionError, ssl.SSLError):
            pass
        finally:
            writer.close()


@pytest.fixture(scope="module")
def tls(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Tuple[Address, ssl.SSLContext]]:
    cert, key = make_certificate(str(tmp_path_factory.mktemp("tls")))
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(cert, key)
    client_context = ssl.create_default_context(cafile=cert)
    thread = start_server(notice="hello over TLS")
    assert thread.address is not None
    front = TLSFront(thread.address, server_context)
    assert front.address is not None
    yield front.address, client_context
    front.close()
    thread.stop()


def tls_socket(address: Address, context: ssl.SSLContext) -> ssl.SSLSocket:
    raw = socket.create_connection(address, timeout=TIMEOUT)
    try:
        return context.wrap_socket(raw, server_hostname=address[0])
    except BaseException:
        raw.close()
        raise


def test_handshake_table_and_liveness_over_tls(impl: ModuleType, tls: Tuple[Address, ssl.SSLContext]) -> None:
    address, context = tls
    sock = tls_socket(address, context)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        conn: Any = impl.Connection(sock, {"user": "tls"})
    try:
        assert [str(w.message) for w in caught] == ["hello over TLS"]
        assert isinstance(conn._socket, ssl.SSLSocket) and sock.version() is not None
        assert conn.is_normal() is True
        assert conn.execute("table", 3) == [{"id": 0, "name": "ada", "score": 0.0},
                                            {"id": 1, "name": "bob", "score": 1.5},
                                            {"id": 2, "name": "cyd", "score": 3.0}]
        assert conn.is_normal() is True
        rows = conn.execute("big_table", 20000, 5000)  # several packets, each many TLS records
        assert len(rows) == 20000 and rows[-1]["id"] == 19999
        assert conn.execute("echo", "x" * 100000) == "x" * 100000
        with pytest.raises(RemoteExecutionError, match="over TLS too"):
            conn.execute("fail", "over TLS too")
        assert conn.execute("feed", 5)[-1] == {"seq": 4, "text": "event 4"}
        assert conn.is_normal() is True
    finally:
        close_quietly(conn)


def test_untrusted_certificate_is_refused(impl: ModuleType, tls: Tuple[Address, ssl.SSLContext]) -> None:
    """Without the test's certificate the TLS layer refuses before any packet is sent."""
    address, _ = tls
    with pytest.raises(ssl.SSLCertVerificationError):
        tls_socket(address, ssl.create_default_context())
