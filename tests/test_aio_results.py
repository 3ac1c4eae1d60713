"""vantrel.aio.iter_rows and fetch_arrow: vantrel.results' answers and errors, on asyncio.

Every scripted answer of test_aio (good streams, damaged packets, server
errors) is read by the blocking ``vantrel.results`` reader and by its asyncio
counterpart; outcomes (values or exception class and text) must be the same,
and so must the state the connection is left in.
"""

from __future__ import annotations

import asyncio
import threading
import tracemalloc
from typing import Any, Callable, Dict, Iterator, List, Tuple

import pytest

import vantrel
import vantrel.aio as aio
from peer import Peer, packet, recv, send, wait
from test_aio import SCRIPTS, Address, aoutcome, outcome, run
from vantrel import results
from vantrel.aio.connection import MODULE
from vantrel.server import Feed, Server, ServerThread, Table
from vantrel.share.errors import ServerError
from vantrel.share.protocol import MSG_TYPE

pa = pytest.importorskip("pyarrow")


def _rows_blocking(conn: Any) -> Any:
    it = results.iter_rows(conn, "m", 1, k=2)
    return (list(it), it.head)


async def _rows_async(conn: aio.AsyncConnection) -> Any:
    it = aio.iter_rows(conn, "m", 1, k=2)
    return ([row async for row in it], it.head)


def _arrow_blocking(conn: Any) -> Any:
    return results.fetch_arrow(conn, "m", 1, k=2).read_all().to_pylist()


async def _arrow_async(conn: aio.AsyncConnection) -> Any:
    return (await aio.fetch_arrow(conn, "m", 1, k=2)).read_all().to_pylist()


READERS: List[Tuple[str, Callable[[Any], Any], Callable[[aio.AsyncConnection], Any]]] = [
    ("iter_rows", _rows_blocking, _rows_async), ("fetch_arrow", _arrow_blocking, _arrow_async)]


@pytest.mark.parametrize("name", sorted(SCRIPTS))
@pytest.mark.parametrize("reader", READERS, ids=[r[0] for r in READERS])
def test_answers_and_errors_as_vantrel_results(net: Any, name: str, reader: Any) -> None:
    _, blocking_read, async_read = reader
    blocking = net.serve(MODULE, SCRIPTS[name])
    expected = outcome(lambda: blocking_read(blocking))
    peer = net.peer(SCRIPTS[name])

    async def main() -> Any:
        conn = await aio.connect(peer.address, {"user": "tester"})
        got = await aoutcome(lambda: async_read(conn))
        # a failure in mid-answer closes the connection; a server error, or an
        # answer of another kind read whole, leaves it usable
        kind_error = got[0] is results.AnswerKindError and "single value" in got[1]
        broken = got[0] != "ok" and not issubclass(got[0], ServerError) and not kind_error
        if reader[0] == "iter_rows":
            assert conn.closed == broken
        else:  # fetch_arrow reads its answer whole: an Arrow error comes after that
            assert broken or not conn.closed
        assert not conn.busy
        await conn.close()
        return got

    if name == "disconnected":  # the bare connection's text; a connection of connect() names the address
        expected = (vantrel.ConnectionClosed, "connection to 127.0.0.1:%d closed by the server during "
                    "call 'm'" % peer.address[1])
    assert run(main()) == expected
    peer.finish()
    assert peer.received[1][4] == ["m", [1], {"k": 2}]


@pytest.fixture(scope="module")
def server() -> Iterator[Address]:
    handlers: Dict[str, Callable[..., Any]] = {
        "table": lambda n: Table(["a", "b"], [[i, "r%d" % i] for i in range(n)], batch=1000),
        "feed": lambda n: Feed(list(range(n)), batch=1000),
        "one": lambda: 42}
    with ServerThread(Server(handlers)) as address:
        yield address


def test_iter_rows_holds_about_one_packet_and_marks_the_call(net: Any) -> None:
    rows = [[i, "r%d" % i, i * 0.5] for i in range(60_000)]
    bodies = [([["a", "b", "c"]] if k == 0 else []) + rows[k:k + 2000] for k in range(0, len(rows), 2000)]
    table = b"".join([packet(MSG_TYPE.STREAM_START)] + [packet(MSG_TYPE.TABLE, b) for b in bodies]
                     + [packet(MSG_TYPE.STREAM_END)])
    del rows, bodies
    # (a patient peer: reading under tracemalloc on a loaded machine is slow)
    peer = Peer([recv(), send(table), recv(), send(table), recv(), send(packet(MSG_TYPE.RESPONSE, 42))],
                handshake=True, timeout=60)
    net.peers.append(peer)

    async def main() -> Tuple[int, int, int]:
        async with await aio.connect(peer.address, {"user": "t"}) as conn:
            tracemalloc.start()
            try:
                count = 0
                it = aio.iter_rows(conn, "t")
                async for row in it:
                    if count == 0:
                        assert row == {"a": 0, "b": "r0", "c": 0.0}
                        assert conn.busy
                        with pytest.raises(RuntimeError, match="another call is in progress"):
                            await conn.execute("one")
                    count += 1
                streamed = tracemalloc.get_traced_memory()[1]
                tracemalloc.reset_peak()
                assert len(await conn.execute("t")) == 60_000
                collected = tracemalloc.get_traced_memory()[1]
            finally:
                tracemalloc.stop()
            assert it.finished and not conn.busy and conn.is_normal()
            assert await conn.execute("one") == 42
            return count, streamed, collected

    count, streamed, collected = run(main())
    assert count == 60_000
    assert streamed * 10 < collected, (streamed, collected)


def test_leaving_early_closes_the_connection(server: Address) -> None:
    async def main() -> None:
        conn = await aio.connect(server, {"user": "t"})
        async with aio.iter_rows(conn, "feed", 50_000) as it:
            assert await it.__anext__() == 0
        assert conn.closed and not conn.busy
        assert conn.broken_reason == "an iter_rows loop stopped at row 1 of an unfinished answer (call 'feed')"
        with pytest.raises(vantrel.ConnectionClosed, match="iter_rows loop stopped at row 1"):
            await conn.execute("one")

        conn = await aio.connect(server, {"user": "t"})
        with pytest.raises(results.AnswerKindError) as caught:
            await aio.fetch_arrow(conn, "one")
        assert caught.value.value == 42 and conn.is_normal()
        await conn.close()

    run(main())


def test_fetch_arrow_schema_and_time_limit(net: Any, server: Address) -> None:
    async def main() -> None:
        async with await aio.connect(server, {"user": "t"}) as conn:
            stream = await aio.fetch_arrow(conn, "table", 5000, arrow_schema={"a": "double", "b": "string",
                                                                               "c": "double"})
            table = pa.table(stream)
            assert table.schema.field("a").type == pa.float64() and table.num_rows == 5000
            assert table.column("b")[4999].as_py() == "r4999"

    run(main())
    # a peer that sends the start of a stream and then nothing: the call's limit ends it
    held = threading.Event()
    peer = net.peer([recv(), send(packet(MSG_TYPE.STREAM_START) + packet(MSG_TYPE.TABLE, [["a"], [1]])),
                     wait(held)])

    async def stalled() -> None:
        conn = await aio.connect(peer.address, {"user": "t"}, timeout=0.3)
        with pytest.raises(TimeoutError):
            await aio.fetch_arrow(conn, "m")
        assert conn.closed and not conn.busy

    try:
        asyncio.run(stalled())
    finally:
        held.set()
