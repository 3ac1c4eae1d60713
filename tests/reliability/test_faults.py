"""Faults between the client and the reference server, injected by a loopback proxy.

The answer is cut in mid-header or mid-body, delayed past the client's
time-out, or the connection is reset; then the server itself goes away.  Each
time the call raises a clear error, the connection is marked unusable
(``is_normal`` is False and the next call fails at once), no later call ever
gets the answer meant for an earlier one, and a new connection works.
"""

from __future__ import annotations

import socket
import time
from types import ModuleType
from typing import Any, Iterator, Tuple

import pytest

from peer import Address, close_quietly, connect_to
from vantrel.share.errors import RemoteExecutionError

from .faultproxy import Fault, FaultProxy
from .servers import start_server

# Packets of the server's stream on one connection: 0 is the handshake reply.
# echo("first") answers with packet 1; table(rows=5) with 1 STREAM_START,
# 2-4 TABLE (two rows each), 5 STREAM_END.
HEADER_CUTS = [
    pytest.param(("echo", "first"), Fault("cut", 1, 0), "Disconnected from the remote server", id="cut-before-header"),
    pytest.param(("echo", "first"), Fault("cut", 1, 5), "incomplete header, 5", id="cut-mid-header"),
    pytest.param(("echo", "first"), Fault("cut", 1, 11), "incomplete header, 11", id="cut-header-less-one"),
    pytest.param(("echo", "first"), Fault("cut", 1, 14), "incomplete body", id="cut-mid-body"),
    pytest.param(("table",), Fault("cut", 1, 3), "incomplete header, 3", id="cut-stream-start"),
    pytest.param(("table",), Fault("cut", 3, 6), "incomplete header, 6", id="cut-mid-stream-header"),
    pytest.param(("table",), Fault("cut", 3, 20), "incomplete body", id="cut-mid-stream-body"),
    pytest.param(("table",), Fault("cut", 5, 0), "Disconnected from the remote server", id="cut-before-stream-end"),
    pytest.param(("feed", 9), Fault("cut", 2, 13), "incomplete body", id="cut-feed-body"),
]


@pytest.fixture(scope="module")
def server() -> Iterator[Address]:
    thread = start_server()
    assert thread.address is not None
    yield thread.address
    thread.stop()


@pytest.fixture
def proxy(server: Address) -> Iterator[FaultProxy]:
    with FaultProxy(server) as p:
        yield p
        assert not p.errors, p.errors


def assert_out_of_use(impl: ModuleType, conn) -> None:
    """After a failure in mid-answer: reported as not normal, and the next call fails at once."""
    assert conn.is_normal() is False
    with pytest.raises(OSError):
        conn.execute("echo", "second")


def assert_fresh_connection_works(impl: ModuleType, proxy: FaultProxy) -> None:
    proxy.set_fault(None)
    conn = connect_to(impl, proxy.address)
    try:
        assert conn.execute("echo", "fresh") == "fresh"
        assert conn.execute("table", 3) == [{"id": 0, "name": "ada", "score": 0.0},
                                            {"id": 1, "name": "bob", "score": 1.5},
                                            {"id": 2, "name": "cyd", "score": 3.0}]
        assert conn.is_normal() is True
    finally:
        close_quietly(conn)


@pytest.mark.parametrize("call, fault, message", HEADER_CUTS)
def test_cut_answer(impl: ModuleType, proxy: FaultProxy, call: Tuple[Any, ...], fault: Fault, message: str) -> None:
    proxy.set_fault(fault)
    conn = connect_to(impl, proxy.address)
    try:
        with pytest.raises(impl.ProtocolError) as info:
            conn.execute(*call)
        assert str(info.value) == message
        assert proxy.faults_applied == 1
        assert_out_of_use(impl, conn)
    finally:
        close_quietly(conn)
    assert_fresh_connection_works(impl, proxy)


@pytest.mark.parametrize("offset, message", [(0, "Disconnected from the remote server"),
                                             (7, "incomplete header, 7")])
def test_cut_handshake_reply(impl: ModuleType, proxy: FaultProxy, offset: int, message: str) -> None:
    proxy.set_fault(Fault("cut", 0, offset))
    sock = proxy.socket()
    try:
        with pytest.raises(impl.ProtocolError) as info:
            impl.Connection(sock, {"user": "tester"})
        assert str(info.value) == message
    finally:
        sock.close()
    assert_fresh_connection_works(impl, proxy)


@pytest.mark.parametrize("call, packet", [(("echo", "late answer"), 1), (("table", 5), 3), (("feed", 9), 2)],
                         ids=["single", "mid-table", "mid-feed"])
def test_answer_delayed_past_the_time_out(impl: ModuleType, proxy: FaultProxy, call: Tuple[Any, ...],
                                          packet: int) -> None:
    delay = 0.6
    proxy.set_fault(Fault("delay", packet, seconds=delay))
    conn = connect_to(impl, proxy.address)
    try:
        conn.set_timeout(0.15)
        with pytest.raises(socket.timeout):
            conn.execute(*call)
        time.sleep(delay + 0.2)  # the late answer has reached the client's socket by now
        conn.set_timeout(5.0)
        assert_out_of_use(impl, conn)
    finally:
        close_quietly(conn)
    assert_fresh_connection_works(impl, proxy)


@pytest.mark.parametrize("packet", [1, 3], ids=["before-answer", "mid-stream"])
def test_connection_reset(impl: ModuleType, proxy: FaultProxy, packet: int) -> None:
    proxy.set_fault(Fault("drop", packet))
    conn = connect_to(impl, proxy.address)
    try:
        with pytest.raises((impl.ProtocolError, ConnectionError)) as info:
            conn.execute("table", 5)
        assert str(info.value)  # a message, never an empty error
        with pytest.raises(OSError):
            conn.execute("echo", "second")
    finally:
        close_quietly(conn)
    assert_fresh_connection_works(impl, proxy)


def test_server_error_leaves_the_connection_in_step(impl: ModuleType, proxy: FaultProxy) -> None:
    """A whole ERROR packet ends its answer: the next call gets its own answer."""
    conn = connect_to(impl, proxy.address)
    try:
        for i in range(20):
            with pytest.raises(RemoteExecutionError):
                conn.execute("fail", "boom %d" % i)
            with pytest.raises(RemoteExecutionError, match="feed broken after 2"):
                conn.execute("broken_feed", 5, 2)
            assert conn.execute("echo", i) == i
        assert conn.is_normal() is True
    finally:
        close_quietly(conn)


def test_server_goes_away(impl: ModuleType) -> None:
    thread = start_server(grace=0.5)
    address = thread.address
    assert address is not None
    conn: Any = None
    try:
        conn = connect_to(impl, address)
        assert conn.execute("echo", 1) == 1
        thread.stop()
        deadline = time.monotonic() + 10
        while conn.is_normal() and time.monotonic() < deadline:
            time.sleep(0.01)
        assert conn.is_normal() is False
        with pytest.raises((impl.ProtocolError, OSError)) as info:
            conn.execute("echo", 2)
        assert str(info.value)
        with pytest.raises(OSError):
            conn.execute("echo", 3)
        with pytest.raises(ConnectionRefusedError):
            connect_to(impl, address)
    finally:
        if conn is not None:
            close_quietly(conn)
        thread.stop()
