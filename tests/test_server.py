"""The reference server end to end: real loopback sockets, both connection modules."""

from __future__ import annotations

import asyncio
import logging
import socket
import threading
import time
import warnings
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

from peer import close_quietly, connect_to, packet, read_packet
from vantrel.server import (
    Credentials,
    Feed,
    Server,
    ServerThread,
    Table,
    Table2,
    demo_handlers,
    demo_server,
    encode_stream,
)
from vantrel.share.codec import pack_header
from vantrel.share.errors import (
    AuthenticationError,
    InvalidArgumentsError,
    MethodNotFoundError,
    RemoteExecutionError,
    ServerBusyError,
    ServerError,
)
from vantrel.share.protocol import COMPRESSION_METHOD, HEADER_LENGTH, MSG_TYPE, SERIALIZATION_TYPE

TIMEOUT = 10.0
NOTICE = "hello from the test server"
MSGPACK, JSON = SERIALIZATION_TYPE.MSGPACK, SERIALIZATION_TYPE.JSON
NONE, ZLIB = COMPRESSION_METHOD.NONE, COMPRESSION_METHOD.ZLIB
Address = Tuple[str, int]


# -- servers and clients --------------------------------------------------------


@pytest.fixture(scope="module")
def demo() -> Iterator[Address]:
    thread = ServerThread(demo_server(notice=NOTICE))
    yield thread.start()
    thread.stop()


@pytest.fixture(scope="module")
def locked() -> Iterator[Address]:
    thread = ServerThread(demo_server(notice=None, authenticator=Credentials({"ann": "s3cret"})))
    yield thread.start()
    thread.stop()


class Clients:
    def __init__(self) -> None:
        self.conns: List[Any] = []
        self.sockets: List[socket.socket] = []

    def connect(self, impl: Any, address: Address, auth: Optional[Dict[str, Any]] = None) -> Any:
        conn, _ = self.connect_noticed(impl, address, auth)
        return conn

    def connect_noticed(self, impl: Any, address: Address,
                        auth: Optional[Dict[str, Any]] = None) -> Tuple[Any, List[str]]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            conn = connect_to(impl, address, auth, TIMEOUT)
        self.conns.append(conn)
        return conn, [str(w.message) for w in caught]

    def raw(self, address: Address) -> socket.socket:
        sock = socket.create_connection(address, timeout=TIMEOUT)
        self.sockets.append(sock)
        return sock

    def close(self) -> None:
        for conn in self.conns:
            close_quietly(conn)
        for sock in self.sockets:
            sock.close()


@pytest.fixture
def clients() -> Iterator[Clients]:
    c = Clients()
    yield c
    c.close()


def closed_by_peer(sock: socket.socket) -> bool:
    """Read until the server closes ``sock`` (end of stream or reset); times out otherwise."""
    try:
        while sock.recv(65536):
            pass
    except ConnectionResetError:
        pass
    return True


def handshake(sock: socket.socket, st: int = MSGPACK, record: Any = None) -> None:
    record = {"user": "raw"} if record is None else record
    sock.sendall(packet(MSG_TYPE.HANDSHAKE, record, st))
    assert read_packet(sock).mt == MSG_TYPE.HANDSHAKE


def big_rows(n: int) -> List[Dict[str, Any]]:
    cols = ["id", "group", "count", "price", "ratio", "code", "label", "active"]
    labels = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]
    return [dict(zip(cols, [i, i % 16, i * 7 % 1000, i * 0.25, (i % 100) / 100.0,
                            "c%04d" % (i % 10000), labels[i & 7], not (i & 1)]))
            for i in range(n)]


# -- the demo methods -------------------------------------------------------------------

DEMO_CALLS = [
    (("echo", "hi"), {}, "hi"),
    (("echo", 1, "a", [2, None]), {}, [1, "a", [2, None]]),
    (("echo",), {}, []),
    (("add", 2, 40), {}, 42),
    (("add", "ab", "cd"), {}, "abcd"),
    (("table",), {"rows": 3}, [{"id": 0, "name": "ada", "score": 0.0},
                               {"id": 1, "name": "bob", "score": 1.5},
                               {"id": 2, "name": "cyd", "score": 3.0}]),
    (("table", 0), {}, []),
    (("table2", 3), {}, (["t", "value"], [[0, 0], [1, 1], [2, 4]])),
    (("table2", 0), {}, []),
    (("feed", 5), {}, [{"seq": i, "text": "event %d" % i} for i in range(5)]),
    (("feed", 0), {}, []),
    (("big_table", 25), {"batch": 7}, big_rows(25)),
    (("big_table", 20000), {}, big_rows(20000)),
    (("sleep", 0.01), {}, 0.01),
]


@pytest.mark.parametrize("call,kwargs,expected", DEMO_CALLS,
                         ids=["%s-%d" % (c[0][0], i) for i, c in enumerate(DEMO_CALLS)])
def test_demo_method(impl, demo, clients, call, kwargs, expected):
    conn = clients.connect(impl, demo)
    assert conn.execute(*call, **kwargs) == expected
    assert conn.is_normal()
    assert conn.execute("echo", "next") == "next"  # the answer was read to its end


ERRORS = [
    (("fail", "boom"), {}, RemoteExecutionError, "RuntimeError: boom"),
    (("fail", "busy now"), {"code": 6}, ServerBusyError, "busy now"),
    (("fail", "odd"), {"code": 77}, ServerError, "odd"),
    (("no_such_method",), {}, MethodNotFoundError, "no such method: 'no_such_method'"),
    (("add", 1), {}, InvalidArgumentsError, "add: missing a required argument: 'b'"),
    (("add", 1, 2), {"c": 3}, InvalidArgumentsError, "add: got an unexpected keyword argument 'c'"),
    (("add", 1, "x"), {}, RemoteExecutionError, "TypeError: "),
    (("broken_feed", 10), {"after": 3}, RemoteExecutionError, "RuntimeError: feed broken after 3"),
    (("broken_feed", 10), {"after": 0}, RemoteExecutionError, "RuntimeError: feed broken after 0"),
]


@pytest.mark.parametrize("call,kwargs,cls,text", ERRORS,
                         ids=["%s-%d" % (e[0][0], i) for i, e in enumerate(ERRORS)])
def test_server_error_keeps_connection_usable(impl, demo, clients, call, kwargs, cls, text):
    conn = clients.connect(impl, demo)
    with pytest.raises(ServerError) as info:
        conn.execute(*call, **kwargs)
    assert type(info.value) is cls or (cls is ServerError and info.value.code == 77)
    assert str(info.value).startswith(text)
    assert conn.is_normal()
    assert conn.execute("add", 1, 1) == 2


# -- the handshake ------------------------------------------------------------------------


def test_handshake_notice_is_one_warning(impl, demo, locked, clients):
    _, notices = clients.connect_noticed(impl, demo)
    assert notices == [NOTICE]
    _, notices = clients.connect_noticed(impl, locked, {"user": "ann", "password": "s3cret"})
    assert notices == []


@pytest.mark.parametrize("auth", [{"user": "ann", "password": "wrong"},
                                  {"user": "bob", "password": "s3cret"}, {"user": "ann"}, {}])
def test_refused_handshake(impl, locked, auth, caplog):
    caplog.set_level(logging.INFO, logger="vantrel.server")
    sock = socket.create_connection(locked, timeout=TIMEOUT)
    try:
        with pytest.raises(AuthenticationError) as info:
            impl.Connection(sock, auth)
        assert info.value.code == 2
        assert "authentication failed" in str(info.value)
        assert sock.fileno() != -1  # the socket is still the caller's
        assert closed_by_peer(sock)
    finally:
        sock.close()
    assert "s3cret" not in caplog.text and "wrong" not in caplog.text


def test_authenticator_variants(impl, clients, caplog):
    async def slow_yes(record):
        await asyncio.sleep(0)
        return record.get("user") != "nobody"

    def explodes(record):
        raise KeyError(record["password"])

    with ServerThread(Server(demo_handlers(), authenticator=slow_yes)) as address:
        assert clients.connect(impl, address, {"user": "ann"}).execute("add", 1, 2) == 3
        with pytest.raises(AuthenticationError):
            clients.connect(impl, address, {"user": "nobody"})
    with ServerThread(Server(demo_handlers(), authenticator=explodes)) as address, \
            pytest.raises(AuthenticationError, match="authentication failed"):
        clients.connect(impl, address, {"user": "ann", "password": "hunter2"})
    assert "hunter2" not in caplog.text


# -- answers of custom handlers -------------------------------------------------------------


async def _async_items(n: int):
    for i in range(n):
        await asyncio.sleep(0)
        yield {"i": i}


PRE_ENCODED = encode_stream(Table(["a", "b"], [[i, str(i)] for i in range(25)], batch=10))


@pytest.fixture(scope="module")
def custom() -> Iterator[Address]:
    handlers: Dict[str, Callable[..., Any]] = {
        "packets": lambda: PRE_ENCODED,
        "async_feed": lambda n: Feed(_async_items(n), batch=3),
        "from_dicts": lambda: Table.from_dicts([{"x": 1, "y": 2}, {"x": 3, "y": 4}]),
        "unencodable": lambda: {1, 2},
        "bad_row": lambda: Table(["a"], [[1], [object()]], batch=1),
        "table2_list_head": lambda: Table2({"kind": "series"}, iter([[1], [2], [3]]), batch=2),
        "raises_coded": _raise_invalid,
        "huge": lambda: "x" * 5000,
    }
    thread = ServerThread(Server(handlers, compression="zlib"))
    yield thread.start()
    thread.stop()


def _raise_invalid(value):
    raise InvalidArgumentsError("value out of range: %r" % (value,))


@pytest.mark.parametrize("call,expected", [
    (("packets",), [{"a": i, "b": str(i)} for i in range(25)]),
    (("async_feed", 7), [{"i": i} for i in range(7)]),
    (("async_feed", 0), []),
    (("from_dicts",), [{"x": 1, "y": 2}, {"x": 3, "y": 4}]),
    (("table2_list_head",), ({"kind": "series"}, [[1], [2], [3]])),
    (("huge",), "x" * 5000),
])
def test_custom_answers(impl, custom, clients, call, expected):
    conn = clients.connect(impl, custom)
    assert conn.execute(*call) == expected
    assert conn.execute(*call) == expected  # twice on one connection


@pytest.mark.parametrize("call,cls,text", [
    (("unencodable",), RemoteExecutionError, "cannot encode the answer"),
    (("bad_row",), RemoteExecutionError, "cannot encode the answer"),
    (("raises_coded", 9), InvalidArgumentsError, "value out of range: 9"),
])
def test_custom_errors(impl, custom, clients, call, cls, text):
    conn = clients.connect(impl, custom)
    with pytest.raises(cls, match=text):
        conn.execute(*call)
    assert conn.execute("huge") == "x" * 5000


@pytest.mark.parametrize("st", [MSGPACK, JSON])
def test_answers_use_request_serializer_and_server_compression(custom, clients, st):
    sock = clients.raw(custom)
    handshake(sock, st)
    sock.sendall(packet(MSG_TYPE.REQUEST, ("huge", [], {}), st))
    got = read_packet(sock)
    assert (got.mt, got.st, got.cm, got.body) == (MSG_TYPE.RESPONSE, st, ZLIB, "x" * 5000)
    sock.sendall(packet(MSG_TYPE.REQUEST, ("from_dicts", [], {}), st))
    kinds = [(p.mt, p.st, p.cm, p.body) for p in (read_packet(sock) for _ in range(3))]
    assert kinds == [(MSG_TYPE.STREAM_START, st, NONE, None),
                     (MSG_TYPE.TABLE, st, NONE, [["x", "y"], [1, 2], [3, 4]]),  # small: NONE
                     (MSG_TYPE.STREAM_END, st, NONE, None)]


@pytest.mark.parametrize("payload", [["echo"], ("echo", "notalist", {}), (5, [], {}),
                                     ("echo", [], {1: 2})])
def test_malformed_request_payload_is_an_error_answer(demo, clients, payload):
    sock = clients.raw(demo)
    handshake(sock)
    sock.sendall(packet(MSG_TYPE.REQUEST, payload))
    mt, _, _, _, body = read_packet(sock)
    assert mt == MSG_TYPE.ERROR and body[0] == InvalidArgumentsError.code
    sock.sendall(packet(MSG_TYPE.REQUEST, ("add", [1, 2], {})))
    assert read_packet(sock).body == 3


# -- many clients, bad clients --------------------------------------------------------------


@pytest.mark.filterwarnings("ignore:" + NOTICE)
def test_fifty_clients_at_once(impl, demo):
    n = 50
    barrier = threading.Barrier(n, timeout=TIMEOUT)
    results: List[Any] = [None] * n

    def client(i: int) -> None:
        conn = None
        try:
            conn = connect_to(impl, demo, {"user": "u%d" % i}, TIMEOUT)  # warnings are not thread-safe
            barrier.wait()
            got = (conn.execute("add", i, 1000), conn.execute("echo", "c%d" % i),
                   len(conn.execute("big_table", 500 + i, batch=100)), conn.execute("sleep", 0.05))
            results[i] = got
        except BaseException as e:  # reported below
            results[i] = e
        finally:
            if conn is not None:
                conn.close()

    threads = [threading.Thread(target=client, args=(i,), daemon=True) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(3 * TIMEOUT)
    assert not any(t.is_alive() for t in threads)
    assert results == [(i + 1000, "c%d" % i, 500 + i, 0.05) for i in range(n)]


BAD_INPUTS = {
    "garbage header": b"\xff" * HEADER_LENGTH,
    "request before handshake": packet(MSG_TYPE.REQUEST, ("echo", [1], {})),
    "undecodable handshake": pack_header(MSG_TYPE.HANDSHAKE, MSGPACK, ZLIB, 4) + b"oops",
    "bad serializer": pack_header(MSG_TYPE.HANDSHAKE, 9, NONE, 0),
    "bad compression": pack_header(MSG_TYPE.HANDSHAKE, MSGPACK, 9, 0),
    "raw handshake": packet(MSG_TYPE.HANDSHAKE, b"xyz", SERIALIZATION_TYPE.RAW),
    "body over the limit": pack_header(MSG_TYPE.HANDSHAKE, MSGPACK, NONE, 1 << 40),
    "truncated header": b"\x01\x02\x00",
}


@pytest.mark.parametrize("bad", sorted(BAD_INPUTS))
def test_bad_client_does_not_disturb_others(impl, demo, clients, caplog, bad):
    caplog.set_level(logging.DEBUG, logger="vantrel.server")
    good = clients.connect(impl, demo)
    busy = clients.connect(impl, demo)
    assert good.execute("add", 1, 2) == 3
    sock = clients.raw(demo)
    sock.sendall(BAD_INPUTS[bad])
    if bad == "truncated header":
        sock.shutdown(socket.SHUT_WR)
    result: Dict[str, Any] = {}
    worker = threading.Thread(target=lambda: result.update(n=len(busy.execute("big_table", 30000))))
    worker.start()
    assert closed_by_peer(sock)
    worker.join(TIMEOUT)
    assert result == {"n": 30000}
    assert good.execute("echo", "fine") == "fine"
    assert good.is_normal()
    # one line for the client (at DEBUG before authentication: a flood of them is
    # counted once per interval at WARNING)
    logged = [r for r in caplog.records if r.name == "vantrel.server"
              and "closing connection" in r.getMessage()]
    assert len(logged) == 1


@pytest.mark.parametrize("bad", ["second handshake", "undecodable request", "raw request",
                                 "response instead of request"])
def test_bad_packet_after_handshake_closes_only_that_connection(demo, clients, caplog, bad):
    caplog.set_level(logging.WARNING, logger="vantrel.server")
    sock = clients.raw(demo)
    handshake(sock)
    sock.sendall({
        "second handshake": packet(MSG_TYPE.HANDSHAKE, {"user": "x"}),
        "undecodable request": pack_header(MSG_TYPE.REQUEST, MSGPACK, NONE, 1) + b"\xc1",
        "raw request": packet(MSG_TYPE.REQUEST, b"echo", SERIALIZATION_TYPE.RAW),
        "response instead of request": packet(MSG_TYPE.RESPONSE, 1),
    }[bad])
    assert closed_by_peer(sock)
    assert "closing connection" in caplog.text
    other = clients.raw(demo)
    handshake(other)


@pytest.mark.parametrize("partial", [b"", pack_header(MSG_TYPE.REQUEST, MSGPACK, NONE, 100) + b"half"])
def test_idle_timeout_drops_idle_and_stuck_clients(impl, clients, partial):
    thread = ServerThread(demo_server(notice=None, idle_timeout=0.2))
    address = thread.start()
    try:
        if not partial:  # idle after an answer
            conn = clients.connect(impl, address)
            assert conn.execute("add", 1, 2) == 3
            sock = conn._socket
        else:  # stuck in the middle of a request
            sock = clients.raw(address)
            handshake(sock)
            sock.sendall(partial)
        assert closed_by_peer(sock)  # within the socket's time-out, long before it
        other = clients.raw(address)
        handshake(other)
    finally:
        thread.stop()


@pytest.mark.parametrize("idle_timeout", [0, -1.0, float("nan")])
def test_idle_timeout_must_be_positive(idle_timeout):
    with pytest.raises(ValueError, match="idle_timeout must be a positive number"):
        demo_server(idle_timeout=idle_timeout)


def test_client_gone_mid_stream_stops_the_generator(clients):
    produced = []
    closed = threading.Event()

    def endless():
        try:
            i = 0
            while True:
                produced.append(i)
                yield ["row %d" % i, i]
                i += 1
        finally:
            closed.set()

    server = Server({"endless": lambda: Table(["text", "n"], endless(), batch=1000)})
    with ServerThread(server) as address:
        sock = clients.raw(address)
        handshake(sock)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.sendall(packet(MSG_TYPE.REQUEST, ("endless", [], {})))
        assert read_packet(sock)[0] == MSG_TYPE.STREAM_START
        # The client reads no more: back-pressure must stop the generator.
        last, stalled = -1, False
        for _ in range(200):
            if closed.wait(0.05):
                break
            if len(produced) == last:
                stalled = True
                break
            last = len(produced)
        assert stalled and not closed.is_set()
        sock.shutdown(socket.SHUT_RDWR)
        sock.close()
        assert closed.wait(TIMEOUT)  # the server noticed and closed the generator
        handshake(clients.raw(address))  # and serves on


def test_shutdown_lets_an_answer_in_progress_finish(impl, clients):
    started = threading.Event()

    async def slow() -> str:
        started.set()
        await asyncio.sleep(0.3)
        return "done"

    thread = ServerThread(Server({"slow": slow}))
    address = thread.start()
    conn = clients.connect(impl, address)
    idle = clients.connect(impl, address)
    result: Dict[str, Any] = {}
    worker = threading.Thread(target=lambda: result.update(v=conn.execute("slow")))
    worker.start()
    assert started.wait(TIMEOUT)
    thread.stop(grace=5.0)
    worker.join(TIMEOUT)
    assert result == {"v": "done"}
    assert closed_by_peer(idle._socket)  # idle connections are closed by the shutdown
    assert not conn.is_normal()
    with pytest.raises(OSError):
        socket.create_connection(address, timeout=TIMEOUT).close()


# -- limits against hostile clients ------------------------------------------------------


def refusal(sock: socket.socket) -> str:
    """The text of the ERROR packet that refuses a handshake; the server then closes ``sock``."""
    got = read_packet(sock)
    assert got.mt == MSG_TYPE.ERROR and got.body[0] == AuthenticationError.code
    assert closed_by_peer(sock)
    return str(got.body[1])


def _bomb(count: int) -> bytes:
    # An array of `count` empty arrays, zlib-compressed: a few bytes per thousand objects.
    import zlib
    body = zlib.compress(b"\xdd" + count.to_bytes(4, "big") + b"\x90" * count, 9)
    return pack_header(MSG_TYPE.HANDSHAKE, MSGPACK, ZLIB, len(body)) + body


OVER_THE_LIMITS = {
    "announced": (pack_header(MSG_TYPE.HANDSHAKE, MSGPACK, NONE, 65537) + b"\0" * 65537,
                  "body of 65537 bytes exceeds the limit of 65536 before authentication"),
    "announced json": (pack_header(MSG_TYPE.HANDSHAKE, JSON, NONE, 1 << 30),  # answered in JSON
                       "body of 1073741824 bytes exceeds the limit of 65536 before authentication"),
    "expanded": (_bomb(100_000), "ZLIB body expands beyond 65536 bytes"),
    "msgpack objects": (packet(MSG_TYPE.HANDSHAKE, {"user": "u", "pad": [[]] * 1000}),
                        "more than 1000 objects before authentication"),
    "json objects": (packet(MSG_TYPE.HANDSHAKE, {"user": "u", "pad": [0] * 1000}, JSON),
                     "more than 1000 objects before authentication"),
}


@pytest.mark.parametrize("bad", sorted(OVER_THE_LIMITS))
def test_handshake_over_the_limits_is_refused(impl, demo, clients, bad):
    data, text = OVER_THE_LIMITS[bad]
    sock = clients.raw(demo)
    sock.sendall(data)
    assert refusal(sock) == "handshake refused: " + text
    good = clients.connect(impl, demo, {"user": "u", "pad": [[]] * 900})  # just under
    assert good.execute("add", 1, 2) == 3


def test_handshake_limits_are_options(impl, clients):
    with ServerThread(demo_server(max_handshake_objects=5000, max_handshake_body=1 << 20,
                                  max_handshake_expanded=1 << 20)) as address:
        conn = clients.connect(impl, address, {"user": "u", "pad": ["x" * 100] * 3000})
        assert conn.execute("echo", 1) == 1
        sock = clients.raw(address)
        sock.sendall(_bomb(2_000_000))
        assert "expands beyond 1048576 bytes" in refusal(sock)


def test_in_flight_budget_holds_large_bodies_and_cuts_stalled_ones(clients, caplog):
    # One client sends half of a body as large as the whole budget: another
    # large body is not read until the first is complete, a small request is
    # answered meanwhile, and an announced body reserves nothing until its
    # bytes come.  A body that stalls is cut after body_timeout.
    caplog.set_level(logging.WARNING, logger="vantrel.server")
    body = packet(MSG_TYPE.REQUEST, ("echo", ["x" * 99_900], {}))
    server = demo_server(notice=None, max_in_flight=len(body) - HEADER_LENGTH, body_timeout=0.5)
    with ServerThread(server) as address:
        hog, other, small, staller = (clients.raw(address) for _ in range(4))
        for sock in (hog, other, small, staller):
            handshake(sock)
        staller.sendall(body[:HEADER_LENGTH])
        hog.sendall(body[:50_000])
        deadline = time.monotonic() + TIMEOUT
        while server._budget.used == 0:  # the hog's reservation is made
            assert time.monotonic() < deadline
            time.sleep(0.01)
        assert server._budget.used == len(body) - HEADER_LENGTH  # the staller holds nothing
        other.sendall(body)
        small.sendall(packet(MSG_TYPE.REQUEST, ("add", [1, 2], {})))
        assert read_packet(small).body == 3
        hog.sendall(body[50_000:])
        assert read_packet(hog).body == "x" * 99_900
        assert read_packet(other).body == "x" * 99_900
        assert closed_by_peer(staller)
        assert server._budget.used == 0
    assert ("REQUEST body of %d bytes not received within 0.5 s" % (len(body) - HEADER_LENGTH)
            in caplog.text)


def test_byte_budget_order_and_cancellation():
    from vantrel.server.budget import ByteBudget

    async def main() -> List[str]:
        budget, order = ByteBudget(10), []

        async def take(name: str, size: int) -> None:
            await budget.acquire(size)
            order.append(name)

        await budget.acquire(8)
        waiting = [asyncio.ensure_future(take(n, s)) for n, s in (("a", 5), ("b", 1), ("c", 30))]
        await asyncio.sleep(0.01)
        assert order == []  # b would fit, but waits behind a
        waiting[0].cancel()
        await asyncio.sleep(0.01)
        assert order == ["b"] and budget.used == 9
        budget.release(9)
        await asyncio.sleep(0.01)
        assert order == ["b", "c"] and budget.used == 30  # alone, larger than the budget
        budget.release(30)
        assert budget.used == 0
        return order

    assert asyncio.run(main()) == ["b", "c"]


def test_connection_limit_drops_the_oldest_unauthenticated_first(impl, clients, caplog):
    caplog.set_level(logging.INFO, logger="vantrel.server")
    with ServerThread(demo_server(notice=None, max_connections=3)) as address:
        silent = [clients.raw(address) for _ in range(2)]
        time.sleep(0.2)
        good = clients.connect(impl, address)  # the third
        late = clients.raw(address)            # takes the place of the oldest silent one
        assert closed_by_peer(silent[0])
        second = clients.connect(impl, address)  # takes the place of silent[1]
        assert closed_by_peer(silent[1])
        third = clients.connect(impl, address)   # takes the place of late
        assert closed_by_peer(late)
        for _ in range(5):                     # all three are authenticated: closed at once
            try:
                sock = clients.raw(address)
            except ConnectionResetError:       # reset before connect() returned
                continue
            assert closed_by_peer(sock)
        assert [c.execute("add", i, 1) for i, c in enumerate((good, second, third))] == [1, 2, 3]
    over = [r for r in caplog.records if "over the limit of 3" in r.getMessage()]
    assert len(over) == 1 and "1 time(s)" in over[0].getMessage()  # one line per interval


def test_failed_accepts_are_survived_and_logged_once_per_interval(impl, clients, caplog):
    import errno

    caplog.set_level(logging.WARNING, logger="vantrel.server")
    server = demo_server(notice=None)

    class Full:  # a listening socket in a process out of descriptors
        def _accept(self) -> Any:
            raise OSError(errno.EMFILE, "Too many open files")

    with ServerThread(server) as address:
        listener: Any = server._server

        async def fail() -> None:
            for _ in range(1000):
                listener._accept(Full())

        asyncio.run_coroutine_threadsafe(fail(), server_loop(server)).result(TIMEOUT)
        # accepting resumes a moment later
        assert clients.connect(impl, address).execute("add", 1, 2) == 3
    lines = [r.getMessage() for r in caplog.records if "accepting a connection failed" in r.getMessage()]
    assert lines == ["accepting a connection failed: [Errno 24] Too many open files "
                     "(1 time(s) since the last such line)"]
    assert server._accept_failed.total == 1000


def server_loop(server: Server) -> asyncio.AbstractEventLoop:
    assert server._server is not None
    loop = server._server._loop
    assert loop is not None
    return loop


def test_sockets_are_accepted_only_under_the_limit(impl, clients, caplog):
    # A flood of silent connections that reconnect: the server never holds more
    # sockets than its limit, evictions are counted in one line, and a good
    # client gets in.
    caplog.set_level(logging.INFO, logger="vantrel.server")
    server = demo_server(notice=None, max_connections=8)
    seen: List[int] = []
    with ServerThread(server) as address:
        listener: Any = server._server
        accept = listener._on_socket
        listener._on_socket = lambda sock: (seen.append(listener.open), accept(sock))
        for _ in range(60):
            clients.raw(address)
        good = clients.connect(impl, address)
        assert good.execute("add", 1, 2) == 3
    assert seen and max(seen) <= 8
    evictions = [r.getMessage() for r in caplog.records if "for new ones" in r.getMessage()]
    assert len(evictions) == 1 and "(1 time(s)" in evictions[0]


def test_failed_authentications_slow_their_address_only(impl, caplog):
    # Wrong passwords from 127.0.0.2 until its attempts are refused untried (their
    # turn would come after the handshake deadline); 127.0.0.3 is not slowed.
    caplog.set_level(logging.INFO, logger="vantrel.server")
    checked: List[str] = []
    credentials = Credentials({"ann": "good"})

    def authenticator(record: Dict[str, Any]) -> Any:
        checked.append(str(record.get("password")))
        return credentials(record)

    server = demo_server(notice=None, authenticator=authenticator, handshake_timeout=1.0)

    def attempt(source: str, password: str) -> Any:
        sock = socket.create_connection(address, timeout=TIMEOUT, source_address=(source, 0))
        try:
            sock.sendall(packet(MSG_TYPE.HANDSHAKE, {"user": "ann", "password": password}))
            return read_packet(sock)
        finally:
            sock.close()

    with ServerThread(server) as address:
        tries, reply = 0, None
        while tries < 30 and "too many failures" not in str(getattr(reply, "body", "")):
            tries += 1
            reply = attempt("127.0.0.2", "bad")
        assert reply is not None and reply.mt == MSG_TYPE.ERROR and 4 < tries < 30
        assert checked == ["bad"] * (tries - 1)  # the refused one was not checked
        assert attempt("127.0.0.3", "good").mt == MSG_TYPE.HANDSHAKE
        assert "too many failures" in str(attempt("127.0.0.2", "good").body)
        assert len(server._throttle) == 1  # a success clears its address
    assert "refused handshakes from addresses with too many failed" in caplog.text


def test_throttle_table_is_bounded_and_forgets():
    from vantrel.server.throttle import AuthThrottle, address_key

    throttle = AuthThrottle(10.0, free=2, size=3, forget=60.0)
    for i in range(10):
        for _ in range(3):
            throttle.failed("10.0.0.%d" % i, 0.0)
    assert len(throttle) == 3  # the most recent addresses
    assert throttle.wait("10.0.0.9", 0.0, 5.0) == pytest.approx(0.2)  # 0.1 s doubled once
    assert throttle.wait("10.0.0.9", 0.0, 5.0) == pytest.approx(0.4)  # after the first's turn
    assert throttle.wait("10.0.0.9", 0.0, 0.1) is None
    assert throttle.wait("10.0.0.9", 100.0, 5.0) == 0.0  # forgotten
    assert address_key("2001:db8::1") == address_key("2001:db8::2") == "2001:db8::/64"
    assert address_key("::ffff:10.1.2.3") == "10.1.2.3"


def test_trades_carry_timestamps_and_take_a_day_as_a_date_or_a_number(impl, demo, clients):
    from vantrel.share.codec import msgpack

    conn = clients.connect(impl, demo)
    rows = conn.execute("trades", 1, rows=3)
    assert rows == conn.execute("trades", "2024-05-03", rows=3)  # a day as days after 2024-05-02
    assert [type(r["timestamp"]) for r in rows] == [msgpack.Timestamp] * 3
    assert rows[0]["timestamp"].to_datetime().isoformat() == "2024-05-03T09:30:00+00:00"
    stamps = [r["timestamp"].seconds for r in conn.execute("trades", rows=30_000)]
    assert stamps == sorted(stamps) and stamps[-1] - stamps[0] < 6.5 * 3600
    sock = clients.raw(demo)
    handshake(sock)
    sock.sendall(packet(MSG_TYPE.REQUEST, ("trades", [], {"rows": 1})))
    assert read_packet(sock).mt == MSG_TYPE.STREAM_START
    header = sock.recv(HEADER_LENGTH, socket.MSG_WAITALL)
    body = sock.recv(int.from_bytes(header[4:], "big"), socket.MSG_WAITALL)
    assert b"\xd6\xff" in body  # a timestamp 32, extension type -1
    with pytest.raises(InvalidArgumentsError, match="YYYY-MM-DD or a number of days"):
        conn.execute("trades", "May 2")


def test_client_that_reads_nothing_is_dropped_after_the_write_timeout(impl, clients, caplog):
    caplog.set_level(logging.WARNING, logger="vantrel.server")
    with ServerThread(demo_server(notice=None, idle_timeout=0.3)) as address:
        sock = clients.raw(address)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        handshake(sock)
        sock.sendall(packet(MSG_TYPE.REQUEST, ("big_table", [2_000_000], {})))
        deadline = time.monotonic() + TIMEOUT
        while "read none of its answer for 0.3 s" not in caplog.text:
            assert time.monotonic() < deadline
            time.sleep(0.05)
        good = clients.connect(impl, address)
        assert good.execute("add", 1, 2) == 3
        assert closed_by_peer(sock)  # reset: what was queued for it is gone
