"""Arrow streams handed to other engines without a detour through Python rows:
DuckDB, polars and pyarrow's dataset writer each read a fetch_arrow stream
batch by batch, and get what execute returns."""

from __future__ import annotations

import os
from typing import Any, Dict, Iterator, List, Tuple

import pytest

pa = pytest.importorskip("pyarrow")

import vantrel  # noqa: E402
from vantrel.results import fetch_arrow  # noqa: E402
from vantrel.server import Server, ServerThread, Table  # noqa: E402

ROWS = 5000
SYMBOLS = ["AAA", "BBB", "CCC", "DDD"]


def _trades(rows: int = ROWS) -> Table:
    return Table(["ts", "symbol", "price", "size", "side"],
                 ([1_700_000_000 + i, SYMBOLS[i % 4], 100 + (i % 50) / 8, i % 9 + 1, "buy" if i % 3 else "sell"]
                  for i in range(rows)), batch=512)


@pytest.fixture(scope="module")
def address() -> Iterator[Tuple[str, int]]:
    with ServerThread(Server({"trades": _trades})) as address:
        yield address


@pytest.fixture
def conn(address: Tuple[str, int]) -> Iterator[Any]:
    with vantrel.connect(address, {}) as conn:
        yield conn


def _sums(conn: Any) -> List[Tuple[str, int]]:
    rows = conn.execute("trades")
    out: Dict[str, int] = {}
    for r in rows:
        out[r["symbol"]] = out.get(r["symbol"], 0) + r["size"]
    return sorted(out.items())


def test_duckdb_queries_the_stream(conn: Any) -> None:
    duckdb = pytest.importorskip("duckdb")
    stream = fetch_arrow(conn, "trades")  # noqa: F841 - DuckDB finds it by its name
    got = duckdb.sql("select symbol, sum(size) from stream group by 1 order by 1").fetchall()
    assert [(s, int(n)) for s, n in got] == _sums(conn)
    assert conn.is_normal()


def test_polars_frame_from_the_stream(conn: Any) -> None:
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame(fetch_arrow(conn, "trades"))
    assert frame.height == ROWS and frame.columns == ["ts", "symbol", "price", "size", "side"]
    assert sorted(frame.group_by("symbol").agg(pl.col("size").sum()).rows()) == _sums(conn)


def test_dataset_written_from_the_stream(conn: Any, tmp_path: Any) -> None:
    ds = pytest.importorskip("pyarrow.dataset")
    reader = pa.RecordBatchReader.from_stream(fetch_arrow(conn, "trades"))
    ds.write_dataset(reader, str(tmp_path), format="parquet", partitioning=["symbol"],
                     partitioning_flavor="hive")
    assert sorted(os.listdir(tmp_path)) == ["symbol=%s" % s for s in SYMBOLS]
    back = ds.dataset(str(tmp_path), format="parquet", partitioning="hive").to_table()
    assert back.num_rows == ROWS
    assert sorted(back.group_by("symbol").aggregate([("size", "sum")]).to_pylist(),
                  key=lambda r: r["symbol"]) == [{"size_sum": n, "symbol": s} for s, n in _sums(conn)]
