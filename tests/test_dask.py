"""vantrel.dask on a real two-process LocalCluster against the reference server:
the frame equals the single-machine fetch, a failed partition names its call,
and the credentials stay out of the task graph's repr."""

from __future__ import annotations

from typing import Any, Iterator, List, Tuple

import pytest

pytestmark = pytest.mark.slow  # a cluster of two worker processes

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

import vantrel  # noqa: E402
import vantrel.dask  # noqa: E402
from vantrel.results import fetch_arrow  # noqa: E402
from vantrel.server import Server, ServerThread, Table  # noqa: E402
from vantrel.server.auth import Credentials  # noqa: E402

SECRET = "s3cr3t-Pa55"


def _part(day: int, rows: int = 500) -> Table:
    symbols = ["AAA", "BBB", "CCC"]
    return Table(["day", "symbol", "size", "price"],
                 ([day, symbols[(day + i) % 3], i % 7, 10.0 + i / 4] for i in range(rows)), batch=128)


def _fail(day: int) -> Table:
    raise RuntimeError("no data for day %d" % day)


@pytest.fixture(scope="module")
def cluster() -> Iterator[Tuple[Any, Tuple[str, int]]]:
    server = Server({"part": _part, "fail": _fail},
                    authenticator=Credentials({"alice": SECRET}))
    with ServerThread(server) as address, \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     host="127.0.0.1", dashboard_address=None) as lc, \
            distributed.Client(lc) as client:
        yield client, address


def _url(address: Tuple[str, int]) -> str:
    return "vantrel://alice:%s@%s:%d" % (SECRET, address[0], address[1])


def test_frame_equals_the_single_machine_fetch(cluster: Tuple[Any, Tuple[str, int]]) -> None:
    client, address = cluster
    calls: List[Any] = [("part", (day,), {"rows": 300 + day}) for day in range(8)]
    frame = vantrel.dask.read_calls(_url(address), calls)
    assert frame.npartitions == 8
    got = frame.compute()
    with vantrel.connect(address, {"user": "alice", "password": SECRET}) as conn:
        want = pa.concat_tables([fetch_arrow(conn, m, *a, **k).read_all() for m, a, k in calls])
    # (dask may hold the strings in its own string dtype: the values must match)
    pd.testing.assert_frame_equal(got.reset_index(drop=True), want.to_pandas(), check_dtype=False)
    by_symbol = frame.groupby("symbol")["size"].sum().compute().sort_index()
    assert by_symbol.to_dict() == want.to_pandas().groupby("symbol")["size"].sum().to_dict()
    # The partitions ran on the cluster's worker processes, not here.
    workers = client.run(lambda: sorted(vantrel.dask._pools))
    assert any(workers.values())
    # The password is in no repr of the graph, its keys or its layers.
    graph = frame.__dask_graph__()
    shown = repr(frame) + repr(dict(graph)) + repr(graph) + repr(frame.__dask_keys__())
    assert SECRET not in shown and "alice" not in shown


def test_schema_given_and_failed_partition_named(cluster: Tuple[Any, Tuple[str, int]]) -> None:
    _, address = cluster
    auth = {"user": "alice", "password": SECRET}
    schema = {"day": "int64", "symbol": "string", "size": "int64", "price": "double"}
    frame = vantrel.dask.read_calls(address, [("part", (1,), {"rows": 10})], auth=auth,
                                    arrow_schema=schema)
    assert list(frame.columns) == list(schema) and len(frame.compute()) == 10
    bad = vantrel.dask.read_calls(address, [("part", (1,), {}), ("fail", (4,), {})], auth=auth,
                                  arrow_schema=schema)
    with pytest.raises(Exception, match=r"call 1 \(fail\(4\)\) failed.*no data for day 4"):
        bad.compute()
    with pytest.raises(vantrel.ServerError):  # wrong credentials fail here, before any graph
        vantrel.dask.read_calls(address, [("part", (1,), {})],
                                auth={"user": "alice", "password": "wrong"})
