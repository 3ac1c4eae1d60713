"""Arrow streams under careless consumers: a stream released while another
thread reads it, reads that fail, a reader in a daemon thread at interpreter
exit.  Cases that crashed or aborted the interpreter run in a fresh one.
"""

from __future__ import annotations

import gc
import json
import weakref
from typing import Any, Callable, Dict, List

import pytest

pa = pytest.importorskip("pyarrow")

from peer import connect_to, run_python  # noqa: E402
from vantrel import _arrow  # noqa: E402
from vantrel._impls import CONNECTION_MODULES  # noqa: E402
from vantrel.results import fetch_arrow  # noqa: E402
from vantrel.server import Server, ServerThread, Table  # noqa: E402
from vantrel.share.errors import RemoteExecutionError  # noqa: E402

PRELUDE = r'''
import importlib, json, socket, sys, threading, time
import pyarrow as pa
from vantrel.results import fetch_arrow
mod = importlib.import_module(MODNAME)
'''


def run_script(impl_name: str, body: str) -> Any:
    return run_python("-c", "MODNAME = %r\n%s\n%s" % (CONNECTION_MODULES[impl_name], PRELUDE, body))


# -- a release while another thread reads ---------------------------------------------

RELEASED_WHILE_READ = r'''
from vantrel.server import Server, ServerThread, Table
rows = [[i, "value %d" % i] for i in range(100_000)]
handlers = {"big": lambda: Table(["a", "b"], rows, batch=50_000),
            "small": lambda: Table(["a"], [[i] for i in range(2000)], batch=10)}
outcomes, twice = [], []
with ServerThread(Server(handlers)) as address:
    for delay in (0, 0.001, 0.002, 0.004, 0.008, 0.016):
        conn = mod.Connection(socket.create_connection(address), {"user": "t"})
        reader = pa.RecordBatchReader.from_stream(fetch_arrow(conn, "big"))
        def read_all():
            try:
                outcomes.append(reader.read_all().num_rows)
            except Exception as e:
                outcomes.append(type(e).__name__)
        thread = threading.Thread(target=read_all)
        thread.start()
        time.sleep(delay)
        reader.close()
        thread.join()
        conn.close()
    # two threads reading one stream: each batch goes to one of them
    conn = mod.Connection(socket.create_connection(address), {"user": "t"})
    reader = pa.RecordBatchReader.from_stream(fetch_arrow(conn, "small"))
    seen = []
    def read_batches():
        try:
            for batch in reader:
                seen.extend(batch.column(0).to_pylist())
        except Exception:
            pass
    threads = [threading.Thread(target=read_batches) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    twice = sorted(v for v in set(seen) if seen.count(v) > 1)
print(json.dumps([outcomes, twice, set(seen) <= set(range(2000))]))
'''


@pytest.mark.parametrize("impl_name", ["ext", "twin"])
def test_stream_released_while_another_thread_reads(impl_name: str) -> None:
    proc = run_script(impl_name, RELEASED_WHILE_READ)
    assert proc.returncode == 0, proc.stderr[-3000:]
    outcomes, twice, in_range = json.loads(proc.stdout)
    # the whole table, or an error: never a crash, never a table cut short
    assert all(o == 100_000 or isinstance(o, str) for o in outcomes), outcomes
    assert (twice, in_range) == ([], True)


def test_a_decoder_is_used_by_one_body_at_a_time() -> None:
    decoder = _arrow.TableDecoder()
    refused: List[str] = []

    class Row(list):  # type: ignore[type-arg]
        def __iter__(self) -> Any:
            uses: List[Callable[[], Any]] = [lambda: decoder.names, lambda: decoder.types,
                                             lambda: decoder.infer([[2]]), decoder.schema,
                                             lambda: decoder.stream(lambda: None, lambda e: None)]
            for use in uses:
                with pytest.raises(RuntimeError) as info:
                    use()
                refused.append(str(info.value))
            return super().__iter__()

    assert decoder.begin([["a"], Row([1])]) is True
    assert refused == ["the decoder is in use by another call"] * 5
    assert decoder.names == ["a"] and decoder.types == ["int64"]


# -- failed reads leave nothing behind ------------------------------------------------------


def _failing_table() -> Table:
    def rows() -> Any:
        yield [1]
        raise ValueError("mid-stream")
    return Table(["a"], rows(), batch=1)


def test_failed_reads_leave_no_stream_behind(impl: Any) -> None:
    reads: Dict[str, Callable[[Any], Any]] = {"read_all": lambda s: s.read_all(),
                                               "to_pandas": lambda s: s.to_pandas()}
    try:
        import polars  # noqa: F401
        reads["to_polars"] = lambda s: s.to_polars()
    except ImportError:
        pass
    streams: List[Any] = []
    with ServerThread(Server({"t": _failing_table})) as address:
        for name, read in reads.items():
            for _ in range(30):
                conn = connect_to(impl, address, {"user": "t"})
                stream = fetch_arrow(conn, "t")
                streams.append(weakref.ref(stream))
                try:
                    read(stream)
                except BaseException as e:  # polars 1 panics instead (a BaseException)
                    if not isinstance(e, RemoteExecutionError) and type(e).__name__ != "PanicException":
                        raise
                else:
                    pytest.fail("%s did not fail" % name)
                del stream
                conn.close()
    gc.collect()
    assert [s for s in streams if s() is not None] == []


# -- a reader in a daemon thread at interpreter exit ----------------------------------

POLARS_AT_EXIT = r'''
import polars as pl
from vantrel.share.codec import pack_header, pack_one
from vantrel.share.protocol import MSG_TYPE as M, SERIALIZATION_TYPE as S, COMPRESSION_METHOD as C
listener = socket.create_server(("127.0.0.1", 0))
client = socket.create_connection(listener.getsockname()[:2])
server, _ = listener.accept()
server.sendall(pack_header(M.HANDSHAKE, S.MSGPACK, C.NONE, 0))
conn = mod.Connection(client, {"user": "u"})
server.recv(65536)
server.sendall(pack_header(M.STREAM_START, S.MSGPACK, C.NONE, 0)
               + pack_one([["a", "b"], [1, 2]], M.TABLE, S.MSGPACK, C.NONE))
stream = fetch_arrow(conn, "table")
server.recv(65536)
# polars' frames (not this module's) on the daemon thread's stack: it waits in
# pull() for the rest of the stream
threading.Thread(target=pl.DataFrame, args=(stream,), daemon=True).start()
time.sleep(0.3)

class WakeAtExit:
    """Cleared once the interpreter is finalizing: the rest of the stream
    wakes the waiting reader then."""
    def __init__(self):
        self.sock, self.sleep = server, time.sleep
        self.data = pack_one([[3, 4]], M.TABLE, S.MSGPACK, C.NONE)
    def __del__(self):
        try:
            self.sock.sendall(self.data)
        except OSError:
            pass
        self.sleep(0.5)

waker = WakeAtExit()
print("exiting", flush=True)
'''


@pytest.mark.parametrize("impl_name", ["ext", "twin"])
def test_polars_reading_in_a_daemon_thread_at_exit(impl_name: str) -> None:
    pytest.importorskip("polars")
    proc = run_script(impl_name, POLARS_AT_EXIT)
    assert (proc.returncode, proc.stdout.strip()) == (0, "exiting"), proc.stderr[-3000:]
    assert "FATAL" not in proc.stderr
