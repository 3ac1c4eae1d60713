"""The asyncio client: the blocking client's answers and errors, cancellation, the pool."""

from __future__ import annotations

import asyncio
import random
import socket
import ssl
import threading
import warnings
from functools import partial
from typing import Any, Awaitable, Callable, Iterator, List, Tuple, TypeVar

import pytest

import vantrel
import vantrel.aio as aio
from peer import Step, close, connect_to, error_packet, packet, raw_packet, recv, send
from vantrel._lease import unwrap
from vantrel.aio.connection import MODULE
from vantrel.server import Server, ServerThread, demo_server
from vantrel.server.demo_methods import demo_handlers
from vantrel.share.errors import AuthenticationError, ServerError
from vantrel.share.protocol import COMPRESSION_METHOD, MSG_TYPE, SERIALIZATION_TYPE

MT, MSGPACK, NONE = MSG_TYPE, SERIALIZATION_TYPE.MSGPACK, COMPRESSION_METHOD.NONE
Address = Tuple[str, int]
T = TypeVar("T")
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")  # the servers' notices


def run(coro: Awaitable[T]) -> T:
    return asyncio.run(asyncio.wait_for(coro, 60))


@pytest.fixture(scope="module")
def demo() -> Iterator[Address]:
    with ServerThread(demo_server(notice="hi")) as address:
        yield address


def outcome(call: Callable[[], Any]) -> Any:
    try:
        return ("ok", call())
    except Exception as e:
        return (type(e), str(e))


async def aoutcome(call: Callable[[], Awaitable[Any]]) -> Any:
    try:
        return ("ok", await call())
    except Exception as e:
        return (type(e), str(e))


# -- the blocking client's answers ------------------------------------------------


CALLS = [("echo", 1), ("echo", "a", [2, {"b": None}]), ("add", 2.5, 3), ("table", 7), ("table", 0),
         ("table2", 5), ("table2", 0), ("feed", 9), ("big_table", 3000, 7), ("fail", "boom"),
         ("big_table", 60000, 30000), ("big_table", 60000, 500),  # packets, answers beyond the buffer's limit
         ("fail", "bad", 4), ("no_such_method",), ("broken_feed", 10, 3), ("echo", b"raw"),
         ("echo", random.Random(1).randbytes(8_000_000))]  # beyond the write buffer, compressed or not


def test_answers_as_the_blocking_client(demo: Address) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        blocking = connect_to(MODULE, demo, {"user": "t"})
    expected = [outcome(partial(blocking.execute, *c)) for c in CALLS]
    blocking.close()

    async def main() -> List[Any]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            conn = await aio.connect(demo, {"user": "t"})
        assert [str(w.message) for w in caught] == ["hi"]
        async with conn:
            got = [await aoutcome(partial(conn.execute, *c)) for c in CALLS]
            assert conn.is_normal()  # server errors leave the connection usable
        assert conn.closed and not conn.is_normal()
        return got

    assert run(main()) == expected


# -- packets and their errors, against a scripted peer -------------------------


def answer(*packets: bytes) -> List[Step]:
    return [recv(), send(b"".join(packets), may_fail=True)]


def stream(*packets: bytes) -> List[Step]:
    return answer(packet(MT.STREAM_START), *packets, packet(MT.STREAM_END, "ignored"))


SCRIPTS = {
    "response": answer(packet(MT.RESPONSE, {"a": [1]})),
    "no_body": answer(packet(MT.RESPONSE)),
    "empty_stream": stream(),
    "table": stream(packet(MT.TABLE, [["k", "k", "x"], [1, 2, 3], [4]]), packet(MT.TABLE, [[5, 6, 7, 8]]),
                    packet(MT.TABLE, [])),
    "table2": stream(packet(MT.TABLE2, [["h"], 1]), packet(MT.TABLE2, [[2], 3])),
    "feed": stream(packet(MT.FEED, [1, [2]]), packet(MT.FEED, []), packet(MT.FEED, ["c"])),
    "disconnected": [recv(), close()],
    "short_header": [recv(), send(b"\x03\x02\x00"), close()],
    "bad_type": answer(raw_packet(99, 77, 0, 0)),
    "bad_serializer": answer(raw_packet(MT.RESPONSE, 3, 9, 0)),
    "bad_compression": answer(raw_packet(MT.RESPONSE, MSGPACK, 5, 0)),
    "short_body": [recv(), send(raw_packet(MT.RESPONSE, MSGPACK, NONE, 10, b"abc")), close()],
    "undecodable": answer(raw_packet(MT.RESPONSE, MSGPACK, NONE, 1, b"\xc1")),
    "server_error": answer(error_packet(5, "boom")),
    "error_no_body": answer(packet(MT.ERROR)),
    "no_stream_start": answer(packet(MT.TABLE, [["a"]])),
    "stream_in_stream": answer(packet(MT.STREAM_START), packet(MT.STREAM_START)),
    "table_then_feed": stream(packet(MT.TABLE, [["a"], [1]]), packet(MT.FEED, [2])),
    "table2_then_table": stream(packet(MT.TABLE2, [["h"]]), packet(MT.TABLE, [2])),
    "feed_then_response": stream(packet(MT.FEED, [1]), packet(MT.RESPONSE, 2)),
    "error_in_stream": answer(packet(MT.STREAM_START), packet(MT.FEED, [1]), error_packet(3, "gone")),
    "empty_first_table": stream(packet(MT.TABLE, [])),
    "feed_no_body": stream(packet(MT.FEED)),
    "table_body_undecodable": stream(packet(MT.TABLE, [["a"]]), raw_packet(MT.TABLE, MSGPACK, NONE, 1, b"\xc1")),
}


@pytest.mark.parametrize("name", sorted(SCRIPTS))
def test_packets_as_the_blocking_client(net: Any, name: str) -> None:
    blocking = net.serve(MODULE, SCRIPTS[name])
    expected = outcome(lambda: blocking.execute("m", 1, k=2))
    peer = net.peer(SCRIPTS[name])

    async def main() -> Any:
        conn = await aio.connect(peer.address, {"user": "tester"})
        got = await aoutcome(lambda: conn.execute("m", 1, k=2))
        # a failure in mid-answer closes the connection; a server error does not
        broken = got[0] != "ok" and not issubclass(got[0], ServerError)
        assert conn.closed == broken and conn.is_normal() == (not broken)
        await conn.close()
        return got

    if name == "disconnected":  # the bare connection's text; a connection of connect() names the address
        expected = (vantrel.ConnectionClosed, "connection to 127.0.0.1:%d closed by the server during "
                    "call 'm'" % peer.address[1])
    assert run(main()) == expected
    peer.finish()
    assert peer.received[1][4] == ["m", [1], {"k": 2}]
    assert peer.received[0][4] == {"user": "tester", "node": "127.0.0.1"}


@pytest.mark.parametrize("reply, error, text", [
    (packet(MT.RESPONSE, 1), MODULE.ProtocolError, "handshake message expected while RESPONSE received"),
    (packet(MT.ERROR), MODULE.ProtocolError, "handshake message expected while ERROR received"),
    (error_packet(2, "denied"), AuthenticationError, "denied"),
])
def test_handshake_refused(net: Any, reply: bytes, error: type, text: str) -> None:
    # the server's refusal is raised as it is; a broken reply is this host's
    # cause in a ConnectError
    peer = net.peer([recv(), send(reply)], handshake=False)
    with pytest.raises(error if error is AuthenticationError else vantrel.ConnectError,
                       match=text) as caught:
        run(aio.connect(peer.address))
    if error is not AuthenticationError:
        assert isinstance(caught.value, vantrel.ConnectError)
        assert isinstance(caught.value.attempts[0][1], error)


def test_idle_liveness_and_timeouts(net: Any) -> None:
    listener = socket.create_server(("127.0.0.1", 0))  # never accepts, never answers
    peer = net.peer([send(packet(MT.RESPONSE, 1)), close()])

    async def main() -> None:
        with pytest.raises(TimeoutError):
            await aio.connect(listener.getsockname(), connect_timeout=0.1)
        conn = await aio.connect(peer.address, timeout=0.2)
        for _ in range(100):  # the stray packet arrives, then the end of the stream
            if not conn.is_normal():
                break
            await asyncio.sleep(0.01)
        assert not conn.is_normal()  # the stray packet, or the end of the stream after it
        await conn.close()

    with listener:
        run(main())


# -- one call at a time, cancellation, time-outs ----------------------------------------


def test_second_call_raises_at_once(demo: Address) -> None:
    async def main() -> None:
        async with await aio.connect(demo) as conn:
            first = asyncio.ensure_future(conn.execute("sleep", 0.2))
            await asyncio.sleep(0.05)
            assert not conn.is_normal()
            with pytest.raises(RuntimeError, match=aio.CALL_IN_PROGRESS):
                await conn.execute("echo", 1)
            assert await first == 0.2
            assert await conn.execute("echo", 2) == 2

    run(main())


ROWS, BATCH = 20000, 250


@pytest.mark.parametrize("how", ["cancel", "wait_for", "call_timeout"])
def test_interrupted_calls_never_leave_a_stale_answer(how: str) -> None:
    """Calls interrupted at moments spread over a whole answer (whichever of
    them a time-out or cancellation meets), then one call that the server
    holds until told, interrupted for certain: each interrupted connection is
    closed, and the pool's next calls get their own answers."""
    received, release = threading.Event(), threading.Event()

    async def held() -> str:  # the server has the call, and answers once released
        received.set()
        await asyncio.get_running_loop().run_in_executor(None, release.wait, 30)
        return "late"

    async def main(address: Address) -> None:
        pool = aio.Pool(address, max_size=2, timeout=10.0)
        loop = asyncio.get_running_loop()
        start = loop.time()
        assert len(await pool.execute("big_table", ROWS, BATCH)) == ROWS
        span = loop.time() - start
        for step in range(25):
            delay = span * step / 20
            used: List[aio.AsyncConnection] = []

            last = step == 24  # the held call
            method: Tuple[Any, ...] = ("held",) if last else ("big_table", ROWS, BATCH)

            async def call(used: List[aio.AsyncConnection] = used, delay: float = delay,
                           method: Tuple[Any, ...] = method) -> Any:
                async with pool.connection() as conn:
                    used.append(unwrap(conn))  # the connection itself, beyond its lease
                    conn.set_timeout(delay if how == "call_timeout" else None)
                    return await conn.execute(*method)

            task = asyncio.ensure_future(call() if how != "wait_for" else asyncio.wait_for(call(), delay))
            if how == "cancel":
                if last:
                    await loop.run_in_executor(None, received.wait, 30)
                else:
                    await asyncio.sleep(delay)
                task.cancel()
            try:
                assert len(await task) == ROWS
                assert not used[0].closed and not last
            except (asyncio.CancelledError, asyncio.TimeoutError, TimeoutError):
                assert not used or used[0].closed
            assert await pool.execute("echo", step) == step
            assert await pool.execute("table", 3) == [{"id": 0, "name": "ada", "score": 0.0},
                                                      {"id": 1, "name": "bob", "score": 1.5},
                                                      {"id": 2, "name": "cyd", "score": 3.0}]
        stats = pool.stats()
        assert stats["size"] <= 2 and stats["in_use"] == 0
        await pool.close()

    handlers = dict(demo_handlers(), held=held)
    with ServerThread(Server(handlers, notice=None)) as address:
        try:
            run(main(address))
        finally:
            release.set()


def test_tls(tmp_path: Any) -> None:
    from reliability.test_tls import make_certificate

    cert, key = make_certificate(str(tmp_path))
    server_side = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    server_side.load_cert_chain(cert, key)
    client_side = ssl.create_default_context(cafile=cert)

    async def main(address: Address) -> None:
        async with await aio.connect(address, tls=client_side) as conn:
            assert len(await conn.execute("big_table", 5000)) == 5000
            assert conn.is_normal()
        with pytest.raises(vantrel.ConnectError) as caught:
            await aio.connect(address, tls=True)  # not signed by a known authority
        assert isinstance(caught.value.attempts[0][1], ssl.SSLError)
        with pytest.raises(TypeError, match="tls must be True"):
            await aio.connect(address, tls="yes")  # type: ignore[arg-type]

    with ServerThread(demo_server(notice=None, tls=server_side)) as address:
        run(main(address))

