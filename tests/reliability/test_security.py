"""Authentication: a refused handshake, and secrets kept out of every error.

A refused handshake raises the server's exception and hands out no
connection.  No exception the connection raises (refusal, protocol error,
server error, lost connection), nor its chained exceptions, its repr or its
formatted traceback, carries a value of the authentication record.
"""

from __future__ import annotations

import functools
import json
import os
import socket
import subprocess
import sys
from types import ModuleType
from typing import Any, Callable, Dict, Iterator, Tuple

import pytest

from peer import (
    Peer,
    close_quietly,
    connect,
    connect_to,
    error_packet,
    packet,
    python_env,
    raw_packet,
    recv,
    send,
    shut_wr,
)
from vantrel.server import Credentials
from vantrel.share.errors import AuthenticationError, ServerError
from vantrel.share.protocol import MSG_TYPE

from .malformed_handshakes import exception_texts as texts_of
from .servers import start_server

USER = "user-QRS-7"
PASSWORD = "s3cr3t-XYZ"
WRONG = "wr0ng-pw-ABC"
TOKEN = "tok-5f1e-DEF"
SECRETS = (USER, PASSWORD, WRONG, TOKEN)
Address = Tuple[str, int]


def auth(password: str = PASSWORD) -> Dict[str, str]:
    return {"user": USER, "password": password, "token": TOKEN}




def assert_no_secret(exc: BaseException) -> None:
    for text in texts_of(exc):
        for secret in SECRETS:
            assert secret not in text, "%r shows up in %r" % (secret, text[:300])


def raised(func: Callable[[], Any]) -> BaseException:
    try:
        func()
    except Exception as e:
        return e
    raise AssertionError("no exception")


@pytest.fixture(scope="module")
def server() -> Iterator[Address]:
    thread = start_server(authenticator=Credentials({USER: PASSWORD}))
    assert thread.address is not None
    yield thread.address
    thread.stop()


@pytest.mark.parametrize("record", [auth(WRONG), {"user": USER}, {"password": PASSWORD, "token": TOKEN}],
                         ids=["wrong-password", "no-password", "no-user"])
def test_refused_handshake(impl: ModuleType, server: Address, record: Dict[str, str]) -> None:
    sock = socket.create_connection(server, timeout=10.0)
    try:
        exc = raised(lambda: impl.Connection(sock, record))
        assert isinstance(exc, AuthenticationError)
        assert exc.code == 2
        assert_no_secret(exc)
        # No connection: the server has closed its side after the refusal.
        sock.settimeout(10.0)
        assert sock.recv(100) == b""
    finally:
        sock.close()


def test_accepted_handshake_and_server_errors(impl: ModuleType, server: Address) -> None:
    conn = connect_to(impl, server, auth())
    try:
        assert conn.execute("echo", "in") == "in"
        for call in [("fail", "boom"), ("fail", "refused", 2), ("no such method",), ("add", 1)]:
            exc = raised(functools.partial(conn.execute, *call))
            assert isinstance(exc, ServerError)
            assert_no_secret(exc)
        assert conn.execute("echo", "still in") == "still in"
    finally:
        close_quietly(conn)
    exc = raised(lambda: conn.execute("echo", "after close"))
    assert isinstance(exc, OSError)
    assert_no_secret(exc)


HANDSHAKE_REPLIES = [
    pytest.param(error_packet(2, "authentication failed"), id="refusal"),
    pytest.param(packet(MSG_TYPE.ERROR), id="error-without-body"),
    pytest.param(packet(MSG_TYPE.RESPONSE, "not a handshake"), id="wrong-type"),
    pytest.param(raw_packet(MSG_TYPE.HANDSHAKE, 2, 0, 40, b"\xc1" * 40), id="undecodable"),
    pytest.param(packet(MSG_TYPE.HANDSHAKE, "x")[:7], id="cut-header"),
    pytest.param(b"", id="closed"),
]


@pytest.mark.parametrize("reply", HANDSHAKE_REPLIES)
def test_failed_handshake_shows_no_secret(impl: ModuleType, reply: bytes) -> None:
    peer = Peer([recv(), send(reply), shut_wr()])
    sock = peer.socket()
    try:
        exc = raised(lambda: impl.Connection(sock, auth()))
        assert isinstance(exc, (impl.ProtocolError, ServerError))
        assert_no_secret(exc)
        assert peer.received and peer.received[0].body["password"] == PASSWORD  # it was sent
    finally:
        sock.close()
        peer.finish()


ANSWERS = [
    pytest.param(raw_packet(99, 2, 0, 1, b"\x01"), id="invalid-type"),
    pytest.param(raw_packet(MSG_TYPE.RESPONSE, 2, 1, 4, b"\x78\x9c\x00\x01"), id="undecodable"),
    pytest.param(packet(MSG_TYPE.RESPONSE, "abc")[:14], id="incomplete-body"),
    pytest.param(packet(MSG_TYPE.STREAM_START) + packet(MSG_TYPE.TABLE), id="wrong-shape"),
    pytest.param(packet(MSG_TYPE.ERROR, [1, 2, 3]), id="bad-error-body"),
    pytest.param(error_packet(5, "RuntimeError: boom"), id="server-error"),
]


@pytest.mark.parametrize("answer", ANSWERS)
def test_errors_of_a_call_show_no_secret(impl: ModuleType, answer: bytes) -> None:
    peer = Peer([recv(), send(answer), shut_wr()], handshake=True)
    conn = connect(impl, peer, auth())
    try:
        assert_no_secret(raised(lambda: conn.execute("m", 1)))
        assert_no_secret(raised(lambda: conn.execute("m", 2)))  # the call after it
    finally:
        close_quietly(conn)
        peer.finish()


@pytest.mark.parametrize("codec", ["native", "pure"])
def test_malformed_handshakes_show_the_password_nowhere(codec: str) -> None:
    """Every log line (DEBUG, tracebacks included), every reply and every codec exception
    text produced by handshakes malformed in a dozen ways, with either codec."""
    script = os.path.join(os.path.dirname(__file__), "malformed_handshakes.py")
    env = python_env(VANTREL_PURE_PYTHON="1")
    if codec == "native":
        del env["VANTREL_PURE_PYTHON"]
    proc = subprocess.run([sys.executable, script, PASSWORD], capture_output=True, text=True,
                          timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert PASSWORD not in proc.stdout and PASSWORD not in proc.stderr
    out = json.loads(proc.stdout)
    assert all("handshake refused" in replies[0] for replies in out.values())
    assert "extra data after the value" in " ".join(out["extra-bytes"])
    assert "handshake refused: more than 1000 objects" in out["too-many-objects"][0]
    assert "handshake refused: body of" in out["too-large"][0]
    assert proc.stderr.count("closing connection from") >= len(out)  # each one was logged
