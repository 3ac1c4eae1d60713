"""What vantrel.connect and vantrel.aio.connect hand out: addresses and settings,
the error family, the connection's state, whole-call time-outs, answer limits
and several hosts."""

from __future__ import annotations

import asyncio
import logging
import os
import socket
import threading
import tracemalloc
import warnings
from typing import Any, Iterator, List, Tuple

import pytest
import zstandard

import vantrel
import vantrel.aio
from peer import Peer, close, impl_name, packet, raw_packet, recv, send, sleep, wait
from vantrel.server import ServerThread, demo_server
from vantrel.share.errors import InvalidArgumentsError
from vantrel.share.protocol import COMPRESSION_METHOD, MSG_TYPE, SERIALIZATION_TYPE

pytestmark = pytest.mark.both_impls  # what vantrel.connect hands out, for each module

SECRET = "s3cr%t pw"
MT = MSG_TYPE


def closed_port() -> Tuple[str, int]:
    """A loopback port nobody listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        host, port = s.getsockname()[:2]
        return host, port


@pytest.fixture
def servers() -> Iterator[List[ServerThread]]:
    threads = [ServerThread(demo_server(notice=None)) for _ in range(2)]
    for t in threads:
        t.start()
    yield threads
    for t in threads:
        t.stop()


def trickled(data: bytes, first: int, gap: float) -> List[Any]:
    """Steps sending the first ``first`` bytes one at a time, ``gap`` s apart, then the rest."""
    steps: List[Any] = []
    for i in range(first):
        steps += [send(data[i:i + 1], may_fail=True), sleep(gap)]
    return steps + [send(data[first:], may_fail=True)]


# -- addresses, settings and secrets ---------------------------------------------------


def test_url_env_and_secrets(impl: Any, monkeypatch: Any, caplog: Any) -> None:
    caplog.set_level(logging.DEBUG, logger="vantrel")
    peer = Peer([recv(), send(packet(MT.RESPONSE, 7))], handshake=True, clients=None)
    host, port = peer.address
    quoted = SECRET.replace("%", "%25").replace(" ", "%20")
    try:
        url = "vantrel://ann:%s@%s:%d?timeout=4&connect_timeout=3" % (quoted, host, port)
        with vantrel.connect(url, impl=impl_name(impl)) as conn:
            assert conn.execute("m") == 7 and conn.timeout == 4 and conn.address == (host, port)
            assert repr(conn) == "<vantrel.Connection %s:%d idle>" % (host, port)
        assert repr(conn).endswith(" closed>")
        monkeypatch.setenv("VANTREL_URL", "%s:%d" % (host, port))
        monkeypatch.setenv("VANTREL_USER", "bob")
        monkeypatch.setenv("VANTREL_PASSWORD", SECRET)
        with vantrel.connect(impl=impl_name(impl), timeout=2) as conn:  # explicit option wins
            assert conn.timeout == 2 and conn.execute("m") == 7
        with vantrel.connect(auth={"user": "cy"}, impl=impl_name(impl)) as conn:
            assert conn.execute("m") == 7
    finally:
        peer.finish()
    users = [(r.body["user"], r.body.get("password")) for r in peer.received
             if r.mt == MT.HANDSHAKE]
    assert users == [("ann", SECRET), ("bob", SECRET), ("cy", None)]
    with pytest.raises(ValueError, match="port 99999 out of range"):
        vantrel.connect("127.0.0.1:99999")
    with pytest.raises(ValueError) as bad:
        vantrel.connect("vantrel://ann:%s@127.0.0.1:1?tls=maybe" % quoted)
    shown = [str(bad.value)] + [r.getMessage() for r in caplog.records]
    assert not any(SECRET in text or quoted in text for text in shown)


# -- the error family -----------------------------------------------------------------------


def test_connect_error_names_each_host(impl: Any) -> None:
    first, second = closed_port(), closed_port()
    with pytest.raises(vantrel.ConnectError) as caught:
        vantrel.connect([first, "%s:%d" % second], impl=impl_name(impl))
    error = caught.value
    assert isinstance(error, ConnectionError) and not isinstance(error, TimeoutError)
    assert [a for a, _ in error.attempts] == [first, second]
    assert all(isinstance(c, ConnectionRefusedError) for _, c in error.attempts)
    for host in (first, second):
        assert "%s:%d: ConnectionRefusedError" % host in str(error)


def test_closed_broken_and_server_errors(impl: Any) -> None:
    peer = Peer([recv(), send(packet(MT.ERROR, [4, "bad args"])),
                 recv(), send(packet(MT.STREAM_START) + packet(MT.TABLE, [["a"], [1]])), close()],
                handshake=True)
    try:
        conn = vantrel.connect(peer.address, impl=impl_name(impl))
        with pytest.raises(InvalidArgumentsError):
            conn.execute("m")  # a server error leaves the connection usable
        assert not conn.closed and repr(conn).endswith(" idle>")
        peer_closes = conn.execute  # the peer closes in the middle of the stream
        with pytest.raises(vantrel.Error) as lost:
            peer_closes("t")
        assert conn.broken and conn.closed and not conn.is_normal()
        assert "previous call" in (conn.broken_reason or "")
        with pytest.raises(vantrel.ConnectionClosed, match="on a broken connection") as again:
            conn.execute("m")
        assert isinstance(again.value, ConnectionError) and again.value.reason == conn.broken_reason
        assert isinstance(lost.value, (vantrel.ConnectionClosed, impl.ProtocolError))
        conn.close()
        assert conn.broken  # closing a broken connection keeps why it broke
    finally:
        peer.finish()


def test_call_after_close(impl: Any) -> None:
    with Peer([], handshake=True) as peer:
        conn = vantrel.connect(peer.address, impl=impl_name(impl))
        conn.close()
        conn.close()
        with pytest.raises(vantrel.ConnectionClosed, match=r"call 'm' on a closed connection to "
                           r"127\.0\.0\.1:\d+ \(closed by close\(\)\)"):
            conn.execute("m")
        assert conn.closed and not conn.broken and not conn.is_normal()


# -- time-outs of the whole operation --------------------------------------------------------


def test_call_timeout_bounds_the_whole_answer(impl: Any) -> None:
    # Every byte comes within the limit of its read: only a bound on the whole
    # call stops it.
    answer = packet(MT.RESPONSE, "x" * 40)
    peer = Peer([recv(), send(packet(MT.HANDSHAKE)), recv()] + trickled(answer, 6, 0.3),
                timeout=10)
    try:
        conn = vantrel.connect(peer.address, timeout=1, impl=impl_name(impl))
        with pytest.raises(vantrel.Timeout, match=r"call 'slow' to 127\.0\.0\.1:\d+ took longer "
                           r"than 1 s") as caught:
            conn.execute("slow")
        assert isinstance(caught.value, TimeoutError) and isinstance(caught.value, socket.timeout)
        with pytest.raises(vantrel.ConnectionClosed, match="closed by a time-out in the previous call"):
            conn.execute("again")
    finally:
        peer.finish()


def test_connect_timeout_bounds_the_handshake(impl: Any) -> None:
    reply = packet(MT.HANDSHAKE, "a notice of some length")
    peer = Peer([recv()] + trickled(reply, 6, 0.3), timeout=10)
    try:
        with pytest.raises(vantrel.ConnectTimeout) as caught:
            vantrel.connect(peer.address, connect_timeout=1, impl=impl_name(impl))
        assert isinstance(caught.value, TimeoutError) and isinstance(caught.value, vantrel.ConnectError)
        assert "took longer than" in str(caught.value)
    finally:
        peer.finish()


# -- notices --------------------------------------------------------------------------------------


def test_notice_warning_and_callback(impl: Any) -> None:
    peer = Peer([recv(), send(packet(MT.HANDSHAKE, "maintenance at 6"))], clients=None)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            conn = vantrel.connect(peer.address, impl=impl_name(impl))
        assert conn.notice == "maintenance at 6"
        assert [(str(w.message), w.filename) for w in caught] == [("maintenance at 6", __file__)]
        conn.close()
        seen: List[Any] = []
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            vantrel.connect(peer.address, on_notice=seen.append, impl=impl_name(impl)).close()
        assert seen == ["maintenance at 6"]
    finally:
        peer.finish()


# -- answer limits --------------------------------------------------------------------------------


def test_answer_limits(impl: Any) -> None:
    bomb = b"\xdd" + (16_000_000).to_bytes(4, "big") + b"\x90" * 16_000_000  # 16M empty lists
    small = zstandard.ZstdCompressor(level=19).compress(bomb)
    assert len(small) < 1000
    zstd_bomb = raw_packet(MT.RESPONSE, SERIALIZATION_TYPE.MSGPACK, COMPRESSION_METHOD.ZSTD,
                           len(small), small)
    header_only = raw_packet(MT.RESPONSE, SERIALIZATION_TYPE.MSGPACK, COMPRESSION_METHOD.NONE,
                             2 << 20)
    chunk = ["y" * 1000] * 400  # about 400 KB a packet
    stream = (packet(MT.STREAM_START) + packet(MT.FEED, chunk) * 3 + packet(MT.STREAM_END))
    for answer, text in ((zstd_bomb, "expands beyond"), (header_only, "exceeds max_answer_bytes"),
                         (stream, "exceeds max_answer_bytes")):
        peer = Peer([recv(), send(packet(MT.HANDSHAKE)), recv(), send(packet(MT.RESPONSE, chunk)),
                     recv(), send(answer)], timeout=10)
        try:
            conn = vantrel.connect(peer.address, timeout=8, max_answer_bytes=1 << 20,
                                   impl=impl_name(impl))
            assert conn.max_answer_bytes == 1 << 20
            tracemalloc.start()
            try:
                assert conn.execute("fine") is not None  # one packet within the limit
                with pytest.raises(impl.ProtocolError, match=text):
                    conn.execute("hostile")
                peak = tracemalloc.get_traced_memory()[1]
            finally:
                tracemalloc.stop()
            assert peak < 32 << 20  # not 16M lists, not the declared body
            assert conn.broken and "malformed answer" in (conn.broken_reason or "")
        finally:
            peer.finish()


def test_max_answer_bytes_is_checked() -> None:
    for bad in (0, -1, 1.5, True):
        with pytest.raises(ValueError, match="max_answer_bytes"):
            vantrel.connect(closed_port(), max_answer_bytes=bad)  # type: ignore[arg-type]


# -- several hosts -------------------------------------------------------------------------------


def test_several_hosts_in_order_random_and_by_url(impl: Any, servers: List[ServerThread],
                                                  monkeypatch: Any) -> None:
    one, two = (t.address for t in servers)
    assert one is not None and two is not None
    down = closed_port()
    with vantrel.connect([down, one, two], impl=impl_name(impl)) as conn:
        assert conn.address == one and conn.execute("add", 1, 2) == 3
    url = "vantrel://%s:%d,%s:%d,%s:%d" % (down + one + two)
    with vantrel.connect(url, impl=impl_name(impl)) as conn:
        assert conn.address == one
    monkeypatch.setattr("random.shuffle", lambda hosts: hosts.reverse())
    with vantrel.connect(url + "?load_balance=random", impl=impl_name(impl)) as conn:
        assert conn.address == two
    servers[1].stop()
    with pytest.raises(vantrel.ConnectError) as caught:
        vantrel.connect([down, two], impl=impl_name(impl))
    assert [a for a, _ in caught.value.attempts] == [down, two]


# -- asyncio ---------------------------------------------------------------------------------------


def test_aio_surface(servers: List[ServerThread]) -> None:
    one = servers[0].address
    assert one is not None
    down = closed_port()

    async def main() -> None:
        conn = await vantrel.aio.connect([down, one], timeout=5)
        assert conn.address == one and repr(conn) == "<vantrel.aio.AsyncConnection %s:%d idle>" % one
        assert await conn.execute("add", 2, 3) == 5
        await conn.close()
        with pytest.raises(vantrel.ConnectionClosed, match=r"call 'add' on a closed connection"):
            await conn.execute("add", 1, 1)
        with pytest.raises(vantrel.ConnectError) as caught:
            await vantrel.aio.connect([down, down])
        assert len(caught.value.attempts) == 2

    asyncio.run(main())


def test_aio_call_timeout_names_the_call() -> None:
    held = threading.Event()  # the answer never comes: the peer waits until the test is done
    peer = Peer([recv(), send(packet(MT.HANDSHAKE, "hi")), recv(), wait(held)], timeout=10)
    seen: List[Any] = []

    async def main() -> None:
        conn = await vantrel.aio.connect(peer.address, timeout=0.2, on_notice=seen.append)
        assert conn.notice == "hi"
        with pytest.raises(vantrel.Timeout, match=r"call 'slow' to 127\.0\.0\.1:\d+ took longer "
                           r"than 0\.2 s"):
            await conn.execute("slow")
        assert conn.broken and "time-out" in (conn.broken_reason or "")
        with pytest.raises(vantrel.ConnectionClosed, match="on a broken connection"):
            await conn.execute("slow")

    try:
        asyncio.run(main())
    finally:
        held.set()
        peer.finish()
    assert seen == ["hi"]


def test_aio_answer_limit() -> None:
    chunk = ["y" * 1000] * 400
    stream = packet(MT.STREAM_START) + packet(MT.FEED, chunk) * 3 + packet(MT.STREAM_END)
    peer = Peer([recv(), send(packet(MT.HANDSHAKE)), recv(), send(stream), recv(), send(stream)],
                timeout=10)

    async def main() -> None:
        conn = await vantrel.aio.connect(peer.address, max_answer_bytes=3 << 20)
        assert len(await conn.execute("fits")) == 1200 and conn.max_answer_bytes == 3 << 20
        conn._call_life.max_answer_bytes = 1 << 20  # lowered for the next answer
        with pytest.raises(vantrel.aio.ProtocolError, match="exceeds max_answer_bytes"):
            await conn.execute("too much")
        assert conn.broken

    try:
        asyncio.run(main())
    finally:
        peer.finish()


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_connection_used_after_fork_refuses_in_the_child(impl: Any) -> None:
    # The child's call must send nothing on the parent's socket: the parent's
    # next answers are its own, and the child is told why it cannot call.
    with ServerThread(demo_server(notice=None)) as address, \
            vantrel.connect(address, impl=impl_name(impl)) as conn:
        assert conn.execute("echo", "before") == "before"
        pid = os.fork()
        if pid == 0:  # the child: never returns into pytest
            code = 1
            try:
                conn.execute("echo", "child")
            except vantrel.ConnectionClosed as e:
                code = 0 if "fork()" in str(e) and conn.broken else 2
            except BaseException:
                code = 3
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.WEXITSTATUS(status) == 0
        assert [conn.execute("echo", i) for i in range(50)] == list(range(50))
        assert conn.is_normal()
