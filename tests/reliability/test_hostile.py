"""Hostile clients against the reference server, beside good clients whose every call must work.

* compression bombs and oversized handshakes before authentication: each
  refused with an ERROR packet, none decoded;
* more silent connections than the server keeps: the oldest unauthenticated
  ones go, good clients still get in;
* clients that ask for a large table and read nothing: dropped after the
  write time-out, their connections reset, the server's table of clients empty.

Figures (memory, a good client's longest call) come from
``benchmarks/hostile.py``; here only counts and outcomes are checked.
"""

from __future__ import annotations

import socket
import threading
import time
import zlib
from types import ModuleType
from typing import Any, Callable, Iterator, List, Tuple

import pytest

from peer import close_quietly, connect_to, packet, raw_packet, read_packet, run_threads
from vantrel.server import ServerThread, demo_server
from vantrel.share.errors import AuthenticationError
from vantrel.share.protocol import COMPRESSION_METHOD, MSG_TYPE, SERIALIZATION_TYPE

from .sizes import scale

Address = Tuple[str, int]
TIMEOUT = 30.0
GOOD_CLIENTS = 4
GOOD_CALLS = scale(20, 400)
MSGPACK = int(SERIALIZATION_TYPE.MSGPACK)


def _bomb() -> bytes:
    count = 4_000_000
    body = zlib.compress(b"\xdd" + count.to_bytes(4, "big") + b"\x90" * count, 9)
    return raw_packet(MSG_TYPE.HANDSHAKE, MSGPACK, COMPRESSION_METHOD.ZLIB, len(body), body)


BOMB = _bomb()


def good_clients(impl: ModuleType, address: Address, fresh: bool) -> List[BaseException]:
    """GOOD_CLIENTS threads of GOOD_CALLS checked calls each, on a new connection per call
    when ``fresh``; the errors they met.  A connection reset before its handshake is
    answered is tried again, up to 5 times (a client that has not been heard from yet
    may lose its place to newer connections)."""

    def connect() -> Any:
        for attempt in range(5):
            try:
                return connect_to(impl, address, {"user": "good"}, TIMEOUT)
            except (ConnectionResetError, impl.ProtocolError):  # reset, or closed, unheard
                if attempt == 4:
                    raise
        raise AssertionError("unreachable")

    def client(i: int) -> None:
        conn: Any = None
        try:
            for n in range(GOOD_CALLS):
                if conn is None:
                    conn = connect()
                assert conn.execute("add", i, n) == i + n
                if fresh:
                    conn.close()
                    conn = None
        finally:
            if conn is not None:
                close_quietly(conn)

    return run_threads(GOOD_CLIENTS, client, join=120.0)


ATTACK_ERRORS: List[BaseException] = []


def attackers(count: int, attack: Callable[[int], None]) -> Tuple[threading.Event, List[threading.Thread]]:
    stop = threading.Event()
    ATTACK_ERRORS.clear()

    def loop(i: int) -> None:
        try:
            while not stop.is_set():
                attack(i)
        except BaseException as e:  # reported by finish()
            ATTACK_ERRORS.append(e)

    threads = [threading.Thread(target=loop, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    return stop, threads


def finish(stop: threading.Event, threads: List[threading.Thread]) -> None:
    stop.set()
    for t in threads:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in threads)
    assert ATTACK_ERRORS == []


def reply_and_close(sock: socket.socket) -> Any:
    """The server's one packet, then the end of the connection."""
    got = read_packet(sock)
    try:
        assert sock.recv(1) == b""
    except ConnectionResetError:
        pass
    return got


@pytest.fixture
def server() -> Iterator[ServerThread]:
    thread = ServerThread(demo_server(notice=None, max_connections=64, handshake_timeout=5.0,
                                      idle_timeout=0.5))
    thread.start()
    yield thread
    thread.stop()


def test_bombs_and_oversized_handshakes_are_refused(impl: ModuleType, server: ServerThread) -> None:
    assert server.address is not None
    address = server.address
    refusals: List[str] = []
    attacks = [BOMB, raw_packet(MSG_TYPE.HANDSHAKE, MSGPACK, 0, 64 << 20, b"\0" * (1 << 20)),
               packet(MSG_TYPE.HANDSHAKE, {"user": "x", "pad": [[]] * 5000})]

    def attack(i: int) -> None:
        with socket.create_connection(address, timeout=TIMEOUT) as sock:
            try:
                sock.sendall(attacks[i % len(attacks)])
            except ConnectionError:  # refused before all of it was read
                pass
            got = reply_and_close(sock)
            assert got.mt == MSG_TYPE.ERROR and got.body[0] == AuthenticationError.code
            refusals.append(got.body[1])

    stop, threads = attackers(6, attack)
    try:
        errors = good_clients(impl, address, fresh=True)
    finally:
        finish(stop, threads)
    assert errors == []
    assert len(refusals) >= len(threads)
    assert all(text.startswith("handshake refused: ") for text in refusals), set(refusals)
    wait_for(lambda: server.server._budget.used == 0)  # every reservation given back


def wait_for(condition: Callable[[], bool]) -> None:
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        assert time.monotonic() < deadline
        time.sleep(0.02)


def test_silent_connections_give_way_to_good_clients(impl: ModuleType) -> None:
    # 6 attackers hold 50 silent connections each, 300 against a limit of 128,
    # and open new ones for those the server drops (a few at a time: a client
    # that has sent nothing yet can lose its place to any newer connection, so
    # an unbounded flood of new connections would drop good ones too).
    thread = ServerThread(demo_server(notice=None, max_connections=128, handshake_timeout=10.0))
    address = thread.start()
    dropped = [0]
    halt = threading.Event()

    def attack(i: int) -> None:
        socks = [socket.create_connection(address, timeout=TIMEOUT) for _ in range(50)]
        try:
            while not halt.is_set():
                reopened = 0
                for n, sock in enumerate(socks):
                    sock.settimeout(0.001)
                    try:
                        gone = sock.recv(1) == b""
                    except socket.timeout:
                        gone = False
                    except ConnectionResetError:
                        gone = True
                    if gone and reopened < 2:
                        dropped[0] += 1
                        reopened += 1
                        sock.close()
                        socks[n] = socket.create_connection(address, timeout=TIMEOUT)
                time.sleep(0.05)
        finally:
            for sock in socks:
                sock.close()

    try:
        stop, threads = attackers(6, attack)
        try:
            errors = good_clients(impl, address, fresh=True)
        finally:
            halt.set()
            finish(stop, threads)
        assert errors == []
        assert dropped[0] > 0
        assert len(thread.server._clients) <= 128
    finally:
        thread.stop()


def test_clients_that_read_nothing_are_dropped(impl: ModuleType, server: ServerThread) -> None:
    assert server.address is not None
    address = server.address
    readers = []
    for _ in range(20):
        sock = socket.create_connection(address, timeout=TIMEOUT)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.sendall(packet(MSG_TYPE.HANDSHAKE, {"user": "slow"}))
        assert read_packet(sock).mt == MSG_TYPE.HANDSHAKE
        sock.sendall(packet(MSG_TYPE.REQUEST, ("big_table", [200_000], {})))
        readers.append(sock)
    errors = good_clients(impl, address, fresh=False)
    assert errors == []
    wait_for(lambda: len(server.server._clients) == 0)
    for sock in readers:
        with sock, pytest.raises(ConnectionResetError):
            while sock.recv(1 << 16):
                pass
