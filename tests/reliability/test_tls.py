"""A connection over an ``ssl``-wrapped socket, with a certificate made for the test.

The reference server serves TLS with a certificate made at test time for
127.0.0.1; the client verifies it and then runs the handshake, single
answers, tables (one of many TLS records) and the liveness check, from the
API and from the command line.
"""

from __future__ import annotations

import datetime
import ipaddress
import os
import shutil
import socket
import ssl
import subprocess
import warnings
from types import ModuleType
from typing import Any, Iterator, Tuple

import pytest

from peer import close_quietly, run_python
from vantrel.share.errors import RemoteExecutionError

from .servers import start_server

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


@pytest.fixture(scope="module")
def tls(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Tuple[Address, ssl.SSLContext]]:
    cert, key = make_certificate(str(tmp_path_factory.mktemp("tls")))
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(cert, key)
    client_context = ssl.create_default_context(cafile=cert)
    thread = start_server(notice="hello over TLS", tls=server_context)
    assert thread.address is not None
    yield thread.address, client_context
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


def test_command_line_call_over_tls(tls: Tuple[Address, ssl.SSLContext],
                                    tmp_path_factory: pytest.TempPathFactory) -> None:
    address, context = tls
    cafile = tmp_path_factory.mktemp("ca") / "ca.pem"
    with tls_socket(address, context) as sock:
        der = sock.getpeercert(binary_form=True)
    assert der is not None
    cafile.write_text(ssl.DER_cert_to_PEM_cert(der))
    where = "%s:%d" % address
    ok = run_python("-m", "vantrel", "call", where, "add", "2", "3", "--tls-ca", str(cafile))
    assert (ok.returncode, ok.stdout.strip()) == (0, "5"), ok.stderr
    plain = run_python("-m", "vantrel", "call", where, "add", "2", "3", "--timeout", "5")
    # the server tells a plain client that it speaks TLS
    assert plain.returncode == 1 and "Traceback" not in plain.stderr
    assert "the server speaks TLS: connect with TLS" in plain.stderr



def test_one_deadline_covers_tls_and_the_handshake(impl: ModuleType, tmp_path: Any) -> None:
    """Clients silent before TLS or after it are dropped after handshake_timeout (within
    the socket's time-out, not asyncio's minute for a TLS handshake)."""
    cert, key = make_certificate(str(tmp_path))
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(cert, key)
    client_context = ssl.create_default_context(cafile=cert)
    thread = start_server(tls=server_context, handshake_timeout=0.5)
    assert thread.address is not None
    try:
        silent = [socket.create_connection(thread.address, timeout=TIMEOUT) for _ in range(3)]
        silent.append(tls_socket(thread.address, client_context))  # TLS, then nothing
        for sock in silent:
            with sock:
                try:
                    assert sock.recv(1) == b""
                except ConnectionResetError:
                    pass
        conn: Any = impl.Connection(tls_socket(thread.address, client_context), {"user": "tls"})
        try:
            assert conn.execute("add", 1, 2) == 3
        finally:
            close_quietly(conn)
    finally:
        thread.stop()


def test_abandoned_tls_handshakes_leave_nothing_behind(tmp_path: Any) -> None:
    """1,000 connections that end during the TLS handshake (at once, after part of a
    ClientHello, after a whole one) leave no TLS protocol object for a collection to free."""
    import asyncio.sslproto
    import gc
    import time

    cert, key = make_certificate(str(tmp_path))
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(cert, key)
    context = ssl.create_default_context(cafile=cert)
    thread = start_server(tls=server_context)
    address = thread.address
    assert address is not None
    out = ssl.MemoryBIO()
    tls_object = context.wrap_bio(ssl.MemoryBIO(), out, server_hostname=address[0])
    with pytest.raises(ssl.SSLWantReadError):
        tls_object.do_handshake()
    hello = out.read()

    def alive() -> int:
        return sum(isinstance(o, asyncio.sslproto.SSLProtocol) for o in gc.get_objects())

    gc.collect()
    gc.disable()  # what is left must go without a collection
    try:
        before = alive()
        for i in range(1000):
            with socket.create_connection(address, timeout=TIMEOUT) as sock:
                sock.sendall(hello[:(i % 3) * len(hello) // 2])
        deadline = time.monotonic() + 60
        listener: Any = thread.server._server
        while len(thread.server._clients) or listener.open:  # all closed
            assert time.monotonic() < deadline
            time.sleep(0.05)
        left = alive() - before
    finally:
        gc.enable()
        thread.stop()
    assert left < 100  # not one per connection


def test_tls_and_plain_mismatch_is_named_on_both_sides(
        tls: Tuple[Address, ssl.SSLContext], caplog: pytest.LogCaptureFixture) -> None:
    import asyncio
    import logging

    import vantrel
    import vantrel.aio
    from vantrel._tls_mismatch import TLSMismatchError
    from vantrel.share.errors import AuthenticationError

    caplog.set_level(logging.DEBUG, logger="vantrel.server")
    address, context = tls
    for opening in (lambda: vantrel.connect(address, {}, connect_timeout=TIMEOUT),
                    lambda: asyncio.run(vantrel.aio.connect(address, {}, connect_timeout=TIMEOUT))):
        with pytest.raises(AuthenticationError, match="the server speaks TLS: connect with TLS"):
            opening()
    assert "a plain client connected to a TLS listener" in caplog.text
    plain = start_server()
    try:
        where = plain.address
        for opening in (lambda: vantrel.connect(where, {}, tls=context, connect_timeout=TIMEOUT),
                        lambda: asyncio.run(vantrel.aio.connect(where, {}, tls=context,
                                                                connect_timeout=TIMEOUT))):
            with pytest.raises(vantrel.ConnectError, match="the server does not speak TLS") as info:
                opening()
            assert isinstance(info.value.attempts[0][1], TLSMismatchError)
    finally:
        plain.stop()
    assert ("a TLS client connected to a plain listener (start the server with TLS, or connect "
            "without)") in caplog.text
