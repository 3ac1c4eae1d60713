"""fetch_arrow_many: several table calls on pooled connections, one stream in
call order, failures named and the others stopped with nothing stale left."""

from __future__ import annotations

import asyncio
import threading
from typing import Any, AsyncIterator, Dict, Iterator, List, Tuple

import pytest

pa = pytest.importorskip("pyarrow")

import vantrel  # noqa: E402
from vantrel.pool import Pool  # noqa: E402
from vantrel.results import fetch_arrow, fetch_arrow_many  # noqa: E402
from vantrel.server import Server, ServerThread, Table  # noqa: E402

AUTH = {"user": "alice", "password": "secret"}


def _handlers(gate: threading.Event) -> Dict[str, Any]:
    def part(start: int, rows: int, batch: int = 100) -> Table:
        return Table(["id", "label"], ([i, "r%d" % i] for i in range(start, start + rows)),
                     batch=batch)

    def wide(start: int) -> Table:        # a float column where part has none
        return Table(["id", "label", "x"], [[start, "w", 0.5]])

    def blocked(rows: int) -> Table:      # sends one batch, then waits for the gate
        async def gen() -> AsyncIterator[List[Any]]:
            yield [0, "first"]
            for _ in range(1000):
                if gate.is_set():
                    break
                await asyncio.sleep(0.01)
            for i in range(1, rows):
                yield [i, "later"]
        return Table(["id", "label"], gen(), batch=1)

    def bad(after: int) -> Table:
        def gen() -> Iterator[List[Any]]:
            yield from ([i, "ok"] for i in range(after))
            raise RuntimeError("part %d broke" % after)
        return Table(["id", "label"], gen(), batch=1)

    return {"part": part, "wide": wide, "blocked": blocked, "bad": bad, "one": lambda: 1}


@pytest.fixture
def setup() -> Iterator[Tuple[Pool, threading.Event]]:
    gate = threading.Event()
    server = Server(_handlers(gate))
    with ServerThread(server) as address:
        pool = Pool(address, AUTH, max_size=4, timeout=10)
        try:
            yield pool, gate
        finally:
            gate.set()
            pool.close()


def _expected(pool: Pool, calls: List[Any]) -> Any:
    tables = []
    with pool.connection() as conn:
        for method, args, kwargs in calls:
            tables.append(fetch_arrow(conn, method, *args, **kwargs).read_all())
    return pa.concat_tables(tables, promote_options="permissive")


def test_calls_in_order_equal_the_one_by_one_read(setup: Tuple[Pool, threading.Event]) -> None:
    pool, _ = setup
    calls = [("part", (i * 1000, 250 + i * 10), {"batch": 7 + i}) for i in range(8)]
    got = fetch_arrow_many(pool, calls).read_all()
    assert got.equals(_expected(pool, calls))
    assert got.column("id").to_pylist()[:3] == [0, 1, 2]
    # With a schema: each call cast as it arrives, the same rows.
    schema = pa.schema([("id", pa.int64()), ("label", pa.string())])
    streamed = pa.RecordBatchReader.from_stream(fetch_arrow_many(pool, calls, arrow_schema=schema,
                                                                 max_workers=2))
    assert streamed.schema == schema
    assert streamed.read_all().equals(got)
    assert fetch_arrow_many(pool, calls[:2]).to_pandas()["id"].tolist() == \
        got.column("id").to_pylist()[:510]
    assert pool.stats()["discarded"] == 0


def test_schemas_are_unified(setup: Tuple[Pool, threading.Event]) -> None:
    pool, _ = setup
    calls: List[Any] = [("part", (0, 2), {}), ("wide", (5,), {}), ("part", (9, 1), {})]
    got = fetch_arrow_many(pool, calls).read_all()
    assert got.schema.names == ["id", "label", "x"]
    assert got.column("x").to_pylist() == [None, None, 0.5, None]
    assert got.column("id").to_pylist() == [0, 1, 5, 9]


def test_a_failed_call_is_named_and_stops_the_others(setup: Tuple[Pool, threading.Event]) -> None:
    pool, gate = setup
    calls: List[Any] = [("blocked", (50,), {}), ("bad", (3,), {}), ("blocked", (50,), {})]
    with pytest.raises(vantrel.CallError, match=r"call 1 \(bad\(3\)\) failed") as info:
        fetch_arrow_many(pool, calls).read_all()
    assert info.value.index == 1
    assert isinstance(info.value.cause, vantrel.ServerError)
    gate.set()
    # The stopped calls' connections were part-read: never handed out again.
    for _ in range(6):
        assert pool.execute("one") == 1
    assert fetch_arrow_many(pool, [("part", (0, 3), {})]).read_all().num_rows == 3


def test_a_single_value_answer_fails_the_read(setup: Tuple[Pool, threading.Event]) -> None:
    pool, _ = setup
    with pytest.raises(vantrel.CallError, match="call 0") as info:
        fetch_arrow_many(pool, [("one", (), {})]).read_all()
    assert isinstance(info.value.__cause__, TypeError)
    with pytest.raises(TypeError, match="call 0"):
        fetch_arrow_many(pool, ["part"])
    stream = fetch_arrow_many(pool, [("part", (0, 5), {})])
    stream.read_all()
    with pytest.raises(RuntimeError, match="already taken"):
        stream.read_all()


def test_closing_early_stops_the_calls(setup: Tuple[Pool, threading.Event]) -> None:
    pool, gate = setup
    schema = {"id": "int64", "label": "string"}
    stream = fetch_arrow_many(pool, [("blocked", (20,), {})] * 3, arrow_schema=schema)
    reader = pa.RecordBatchReader.from_stream(stream)
    assert reader.read_next_batch().num_rows == 1
    reader.close()
    gate.set()
    for _ in range(6):
        assert pool.execute("one") == 1


def test_the_asyncio_pool_reads_calls_at_once(setup: Tuple[Pool, threading.Event]) -> None:
    import vantrel.aio

    pool, gate = setup
    calls: List[Any] = [("part", (i * 100, 50 + i), {"batch": 9}) for i in range(5)]
    want = _expected(pool, calls)

    async def main() -> None:
        async with vantrel.aio.Pool(pool.address, AUTH, max_size=3) as apool:
            got = (await vantrel.aio.fetch_arrow_many(apool, calls, max_workers=2)).read_all()
            assert got.equals(want)
            mixed: List[Any] = [("part", (0, 2), {}), ("wide", (5,), {})]
            assert (await vantrel.aio.fetch_arrow_many(apool, mixed)).read_all().schema.names == \
                ["id", "label", "x"]
            with pytest.raises(vantrel.CallError, match=r"call 1 \(bad\(2\)\) failed") as info:
                await vantrel.aio.fetch_arrow_many(apool, [("blocked", (30,), {}), ("bad", (2,), {})])
            assert isinstance(info.value.cause, vantrel.ServerError)
            gate.set()
            assert await apool.execute("one") == 1  # the cancelled call left nothing stale

    asyncio.run(asyncio.wait_for(main(), 60))
