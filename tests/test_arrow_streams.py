"""Arrow streams under careless consumers: released while another thread reads
them, reads that fail, a reader in a daemon thread at interpreter exit.  The
cases that crashed or aborted the interpreter run in a fresh one.
"""

from __future__ import annotations

import gc
import importlib.util
import json
import weakref
from typing import Any, List

import pytest

pa = pytest.importorskip("pyarrow")

from peer import connect_to  # noqa: E402
from test_hardening import EXIT_IN_MID_STREAM, run_script  # noqa: E402
from vantrel import _arrow  # noqa: E402
from vantrel.results import fetch_arrow  # noqa: E402
from vantrel.server import Server, ServerThread, Table  # noqa: E402
from vantrel.share.errors import RemoteExecutionError  # noqa: E402

RELEASED_WHILE_READ = r'''
import json, socket, threading, time, pyarrow as pa
from vantrel.results import fetch_arrow
from vantrel.server import Server, ServerThread, Table
mod = load()
rows = [[i, "value %d" % i] for i in range(100_000)]
handlers = {"big": lambda: Table(["a", "b"], rows, batch=50_000),
            "small": lambda: Table(["a"], [[i] for i in range(2000)], batch=10)}
outcomes, seen = [], []
def read(reader):
    try:
        rows = 0
        for batch in reader:
            seen.extend(batch.column(0).to_pylist())
            rows += batch.num_rows
        outcomes.append(rows)
    except Exception as e:
        outcomes.append(type(e).__name__)
with ServerThread(Server(handlers)) as address:
    for delay in (0, 0.001, 0.002, 0.004, 0.008, 0.016):   # closed under a read
        conn = mod.Connection(socket.create_connection(address), {"user": "t"})
        reader = pa.RecordBatchReader.from_stream(fetch_arrow(conn, "big"))
        thread = threading.Thread(target=read, args=(reader,))
        thread.start()
        time.sleep(delay)
        reader.close()
        thread.join()
    seen.clear()   # two threads reading one stream: each batch goes to one of them
    conn = mod.Connection(socket.create_connection(address), {"user": "t"})
    reader = pa.RecordBatchReader.from_stream(fetch_arrow(conn, "small"))
    threads = [threading.Thread(target=read, args=(reader,)) for _ in range(2)]
    [t.start() for t in threads]
    [t.join() for t in threads]
print(json.dumps([len(seen) == len(set(seen)) and set(seen) <= set(range(2000)), outcomes]))
'''


@pytest.mark.parametrize("impl_name", ["ext", "twin"])
def test_stream_released_while_another_thread_reads(impl_name: str) -> None:
    proc = run_script(impl_name, RELEASED_WHILE_READ)
    assert proc.returncode == 0, proc.stderr[-3000:]
    distinct, outcomes = json.loads(proc.stdout)
    # the whole table or an error, never a table cut short; no batch read twice
    assert all(o == 100_000 or isinstance(o, str) for o in outcomes[:6]), outcomes
    assert distinct and len(outcomes) == 8


STREAMS_OF_SEVERAL_THREADS = r'''
import json, socket, threading
from vantrel.results import fetch_arrow
from vantrel.server import Server, ServerThread, Table
mod = load()
def part(start, rows, batch):
    return Table(["id", "label"], ([i, "r%d" % i] for i in range(start, start + rows)), batch=batch)
wrong = []
with ServerThread(Server({"part": part})) as address:
    def work():
        conn = mod.Connection(socket.create_connection(address), {"user": "t"})
        for k in range(40):
            table = fetch_arrow(conn, "part", k, 50 + k, 7 + k % 5).read_all()
            if table.column("id").to_pylist() != list(range(k, k + 50 + k)):
                wrong.append(k)
    threads = [threading.Thread(target=work) for _ in range(4)]
    [t.start() for t in threads]
    [t.join() for t in threads]
print(json.dumps(wrong))
'''


@pytest.mark.parametrize("impl_name", ["ext", "twin"])
def test_streams_read_by_several_threads_at_once(impl_name: str) -> None:
    # Each stream leaves the list of streams being read as it found it (a stale
    # link there once corrupted the heap when the next read began).
    proc = run_script(impl_name, STREAMS_OF_SEVERAL_THREADS)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert json.loads(proc.stdout) == []


def test_a_decoder_is_used_by_one_body_at_a_time() -> None:
    decoder = _arrow.TableDecoder()
    refused: List[str] = []

    class Row(list):  # type: ignore[type-arg]
        def __iter__(self) -> Any:  # runs while the body is decoded
            for use in (lambda: decoder.names, lambda: decoder.infer([[2]]), decoder.schema,
                        lambda: decoder.stream(lambda: None, print)):
                with pytest.raises(RuntimeError) as info:
                    use()
                refused.append(str(info.value))
            return super().__iter__()

    assert decoder.begin([["a"], Row([1])]) is True
    assert refused == ["the decoder is in use by another call"] * 4
    assert decoder.names == ["a"] and decoder.types == ["int64"]


def _failing_table() -> Table:
    def rows() -> Any:
        yield [1]
        raise ValueError("mid-stream")
    return Table(["a"], rows(), batch=1)


def test_failed_reads_leave_no_stream_behind(impl: Any) -> None:
    polars = ["to_polars"] if importlib.util.find_spec("polars") else []
    streams = []
    with ServerThread(Server({"t": _failing_table})) as address:
        for read in ["read_all", "to_pandas"] + polars:
            for _ in range(30):
                conn = connect_to(impl, address, {"user": "t"})
                stream = fetch_arrow(conn, "t")
                streams.append(weakref.ref(stream))
                try:
                    getattr(stream, read)()
                except BaseException as e:  # polars 1 panics instead (a BaseException)
                    if not isinstance(e, RemoteExecutionError) and type(e).__name__ != "PanicException":
                        raise
                else:
                    pytest.fail("%s did not fail" % read)
                conn.close()
                del stream
    gc.collect()
    assert [s for s in streams if s() is not None] == []


# The daemon thread waits in pull() for the rest of the stream, under polars'
# frames, when the interpreter exits.
POLARS_AT_EXIT = EXIT_IN_MID_STREAM.replace(
    'threading.Thread(target=conn.execute, args=("table",), daemon=True).start()',
    'import polars\nfrom vantrel.results import fetch_arrow\n'
    'threading.Thread(target=polars.DataFrame, args=(fetch_arrow(conn, "table"),), daemon=True).start()')


@pytest.mark.parametrize("impl_name", ["ext", "twin"])
def test_polars_reading_in_a_daemon_thread_at_exit(impl_name: str) -> None:
    pytest.importorskip("polars")
    assert POLARS_AT_EXIT != EXIT_IN_MID_STREAM
    proc = run_script(impl_name, POLARS_AT_EXIT)
    assert (proc.returncode, proc.stdout.strip()) == (0, "exiting"), proc.stderr[-3000:]
