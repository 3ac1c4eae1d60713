"""vantrel.results: Arrow batches and row iteration over real loopback answers.

The reference server and the scripted peer send the answers; every case runs
on the compiled connection and on the twin.  Arrow results are compared with
``pyarrow.Table.from_pylist`` over the rows ``execute`` returns.
"""

from __future__ import annotations

import gc
import random
import re
import textwrap
import tracemalloc
from typing import Any, Callable, Dict, Iterator, List, Sequence, Tuple

import pytest

pa = pytest.importorskip("pyarrow")

from peer import connect_to, error_packet, packet, raw_packet, recv, run_python, send, shut_wr  # noqa: E402
from vantrel.results import AnswerKindError, ColumnTypeError, fetch_arrow, iter_rows  # noqa: E402
from vantrel.server import Feed, Server, ServerThread, Table, Table2  # noqa: E402
from vantrel.share._codecbase import MAX_NESTING  # noqa: E402
from vantrel.share.errors import RemoteExecutionError  # noqa: E402
from vantrel.share.protocol import COMPRESSION_METHOD, MSG_TYPE, SERIALIZATION_TYPE  # noqa: E402

MSGPACK, JSON = SERIALIZATION_TYPE.MSGPACK, SERIALIZATION_TYPE.JSON
I64_MIN, I64_MAX = -2**63, 2**63 - 1


def _handlers() -> Dict[str, Any]:
    return {
        "table": lambda cols, rows, batch=3: Table(cols, rows, batch=batch),
        "table2": lambda head, items, batch=2: Table2(head, items, batch=batch),
        "feed": lambda n, batch=1000: Feed(list(range(n)), batch=batch),
        "one": lambda: {"answer": 42},
        "fail": lambda: 1 / 0,
    }


@pytest.fixture(scope="module")
def server() -> Iterator[Tuple[str, int]]:
    with ServerThread(Server(_handlers())) as address:
        yield address


@pytest.fixture
def connect(impl: Any, server: Tuple[str, int]) -> Iterator[Callable[[], Any]]:
    conns: List[Any] = []

    def make() -> Any:
        conn = connect_to(impl, server, {"user": "t"})
        conns.append(conn)
        return conn

    yield make
    for c in conns:
        c.close()


def expected(cols: List[str], rows: Sequence[Any], schema: Any = None) -> Any:
    return pa.Table.from_pylist([dict(zip(cols, r)) for r in rows], schema=schema)


# -- random typed tables ----------------------------------------------------------

_TEXT = "aé中🙂\u0000 z"


def _value(kind: str, rnd: random.Random) -> Any:
    if kind == "int":
        return rnd.choice([I64_MIN, I64_MAX, 0, -1, rnd.randint(-1000, 1000), rnd.randint(I64_MIN, I64_MAX)])
    if kind in ("float", "mix"):
        return rnd.choice([rnd.random() * 1e6, float(rnd.randint(-5, 5))]) if kind == "float" or rnd.random() < .5 \
            else rnd.randint(-10**12, 10**12)
    if kind == "str":
        return "".join(rnd.choice(_TEXT) for _ in range(rnd.randint(0, 6)))
    if kind == "bytes":
        return bytes(rnd.randint(0, 255) for _ in range(rnd.randint(0, 5)))
    return rnd.random() < 0.5  # bool


def random_table(seed: int, nrows: int, json: bool = False) -> Tuple[List[str], List[List[Any]]]:
    rnd = random.Random(seed)
    kinds = ["int", "float", "mix", "str", "bool", "none"] + ([] if json else ["bytes"])
    cols = ["c%d_%s" % (k, kind) for k, kind in enumerate(kinds)]
    rows = []
    for r in range(nrows):
        row: List[Any] = []
        for kind in kinds:
            if kind == "none" or (r > 0 and rnd.random() < 0.2):
                row.append(None)
            elif kind == "mix" and r == 0:
                row.append(0.5)  # a float first: the column is double from its first value
            else:
                row.append(_value(kind, rnd))
        rows.append(row)
    return cols, rows


@pytest.mark.parametrize("seed, nrows, batch", [(3, 50, 7), (4, 300, 1000)])
def test_random_tables_batches_and_rows(connect: Callable[[], Any], seed: int, nrows: int, batch: int) -> None:
    # (the values against from_pylist: tests/test_arrow_oracle.py)
    conn = connect()
    cols, rows = random_table(seed, nrows)
    want = conn.execute("table", cols, rows, batch=batch)
    table = fetch_arrow(conn, "table", cols, rows, batch=batch).read_all()
    assert table.equals(pa.Table.from_pylist(want))
    assert [b.num_rows for b in table.to_batches()][:1] == [min(batch, nrows)]
    assert list(iter_rows(conn, "table", cols, rows, batch=batch)) == want


def test_shapes_of_rows_and_headers(impl: Any, net: Any) -> None:
    # short and long rows, a repeated header key, a column typed only by a
    # later packet (held back), JSON bodies and compressed bodies
    cols = ["a", "b", "a", "c"]
    rows1 = [[1, "x"], [2, "y", 3, None, "extra"], [None]]
    rows2 = [[4, None, 5, 2.5]]
    script = [recv(), send(packet(MSG_TYPE.STREAM_START)),
              send(packet(MSG_TYPE.TABLE, [cols] + rows1, cm=COMPRESSION_METHOD.ZLIB)),
              send(packet(MSG_TYPE.TABLE, rows2, st=JSON)), send(packet(MSG_TYPE.STREAM_END))]
    conn = net.serve(impl, script * 2)
    # from_pylist takes its columns from the first row's keys, the stream from the header
    want = [{k: row.get(k) for k in ("a", "b", "c")} for row in conn.execute("t")]
    table = fetch_arrow(conn, "t").read_all()
    assert table.equals(pa.Table.from_pylist(want))
    assert str(table.schema.field("c").type) == "double"


def test_schema_type_names(connect: Callable[[], Any]) -> None:
    # a mapping of names to type names, as pyarrow writes them
    conn = connect()
    cols, rows = ["a", "b", "t", "d"], [[1, "x", "2024-05-02T10:00:00+02:00", "1.50"], [None, "y", None, 2]]
    names = {"b": "large_string", "a": "uint8", "z": "int64", "t": "timestamp[ms, tz=UTC]", "d": "decimal128(5, 2)"}
    table = fetch_arrow(conn, "table", cols, rows, arrow_schema=names).read_all()
    assert [str(t) for t in table.schema.types] == list(names.values())
    assert table.column("t").to_pylist()[0].isoformat() == "2024-05-02T08:00:00+00:00"
    assert [str(v) for v in table.column("d").to_pylist()] == ["1.50", "2.00"]


@pytest.mark.parametrize("answer, columns", [
    # an empty stream: no header, no columns; a header alone: null columns
    ([packet(MSG_TYPE.STREAM_START), packet(MSG_TYPE.STREAM_END)], []),
    ([packet(MSG_TYPE.STREAM_START), packet(MSG_TYPE.TABLE, [["a", "b"]]), packet(MSG_TYPE.STREAM_END)],
     ["a", "b"]),
])
def test_empty_answers(impl: Any, net: Any, answer: List[bytes], columns: List[str]) -> None:
    conn = net.serve(impl, [recv(), send(b"".join(answer))] * 2)
    table = fetch_arrow(conn, "t").read_all()
    assert table.num_rows == 0 and table.column_names == columns
    assert list(iter_rows(conn, "t")) == []


def _decode(bodies: List[Any], schema: Any = None) -> Any:
    """The Arrow table that the decoder builds from the given TABLE bodies."""
    from vantrel import _arrow
    decoder = _arrow.TableDecoder(schema)
    decoder.begin(bodies[0])
    queue = [(b, k == 0) for k, b in enumerate(bodies)]
    capsule = decoder.stream(lambda: queue.pop(0) if queue else None, lambda error: None)
    return pa.RecordBatchReader._import_from_c_capsule(capsule).read_all()


@pytest.mark.parametrize("single_float", [False, True])
def test_every_encoding_of_a_value(single_float: bool) -> None:
    # ints of every width and sign, floats of both sizes, strs and bytes of
    # every length class, in MessagePack bytes and as decoded JSON rows
    msgpack = pytest.importorskip("msgpack")
    ints = [0, 1, 127, 128, 255, 256, 65535, 65536, 2**32 - 1, 2**32, I64_MAX, -1, -32, -33, -128, -129,
            -32768, -32769, -2**31, -2**31 - 1, I64_MIN]
    texts = ["", "a" * 31, "é" * 16, "b" * 32, "c" * 255, "d" * 256, "e" * 70000]
    rows = [[i, i / 3 if i % 2 else float(i), texts[k % len(texts)], texts[k % len(texts)].encode()[:k * 40],
             k % 2 == 0] for k, i in enumerate(ints)]
    cols = ["i", "f", "s", "b", "t"]
    want = expected(cols, rows)
    packed = [msgpack.packb([cols] + rows[:5], use_single_float=single_float),
              msgpack.packb(rows[5:], use_single_float=single_float)]
    got = _decode(packed)
    if single_float:  # float32 on the wire: the values widened
        want = want.set_column(1, "f", pa.array([float(msgpack.unpackb(msgpack.packb(r[1], use_single_float=True)))
                                                 for r in rows]))
    assert got.equals(want)
    assert _decode([[cols] + rows[:5], rows[5:]]).equals(expected(cols, rows))  # JSON-decoded rows


@pytest.mark.parametrize("schema, error", [
    ({"a": "decimal"}, "unknown type name 'decimal'"),
    ({"a": "decimal128(39, 2)"}, "unknown type name 'decimal128(39, 2)'"),
    ("pyarrow-list", "column 'a': the Arrow type list is not supported"),
    ("pyarrow-time32", "column 'a': the Arrow type time32[s] is not supported"),
    ([("a", "int64"), ("a", "bool")], "names the column 'a' twice"),
    (42, "arrow_schema must be"),
])
def test_unusable_schemas(schema: Any, error: str) -> None:
    from vantrel import _arrow
    if schema == "pyarrow-list":
        schema = pa.schema([("a", pa.list_(pa.int64()))])
    if schema == "pyarrow-time32":
        schema = pa.schema([("a", pa.time32("s"))])
    with pytest.raises(TypeError, match=re.escape(error)):
        _arrow.TableDecoder(schema)


def test_requested_schema_and_the_hold_back_bound(connect: Callable[[], Any], monkeypatch: Any) -> None:
    conn = connect()
    cols, rows = ["a", "b"], [[1, None], [2, None], [3, "x"]]
    requested = pa.schema([("b", pa.string()), ("a", pa.float64())])
    reader = pa.RecordBatchReader.from_stream(fetch_arrow(conn, "table", cols, rows, batch=1), schema=requested)
    assert reader.read_all().equals(expected(cols, rows, requested))
    # other fields: refused before anything is taken, and the stream is still there
    for other in ([("a", pa.int64())], [("a", pa.int64()), ("c", pa.string())],
                  [("a", pa.int64()), ("b", pa.string()), ("c", pa.int64())]):
        stream = fetch_arrow(conn, "table", cols, rows, batch=1)
        with pytest.raises(ValueError, match=r"the requested schema's fields \['a'"):
            stream.__arrow_c_stream__(pa.schema(other).__arrow_c_schema__())
        assert stream.read_all().equals(expected(cols, rows))
    # a type not produced here: the stream's own schema
    unproduced = pa.schema([("a", pa.list_(pa.int64())), ("b", pa.string())])
    reader = pa.RecordBatchReader.from_stream(fetch_arrow(conn, "table", cols, rows, batch=1), schema=unproduced)
    assert reader.read_all().equals(expected(cols, rows))
    # "b" is None in the first two packets: held back, it is typed by the third
    assert fetch_arrow(conn, "table", cols, rows, batch=1).read_all().equals(expected(cols, rows))
    monkeypatch.setattr("vantrel.results.HOLD_BACK_BYTES", 1)
    with pytest.raises(ColumnTypeError, match="column 'b', row 2: the str 'x' does not fit the null column"):
        fetch_arrow(conn, "table", cols, rows, batch=1).read_all()


# -- values that do not fit ------------------------------------------------------------


@pytest.mark.parametrize("rows, batch, text", [
    ([[1], ["x"]], 10, "column 'v', row 1: the str 'x' after int64 values (mixed types"),
    ([[1.5], [True]], 10, "column 'v', row 1: the bool True after double values"),
    ([[True], [None], [False], [1]], 10, "column 'v', row 3: the int 1 after bool values"),
    ([["a"], [b"x"], [1]], 10, "column 'v', row 2: the int 1 after binary values"),
    ([[1], [2.5]], 1, "column 'v', row 1: the float 2.5 does not fit the int64 column"),
    ([[1], [2**63]], 1, "column 'v', row 1: the int 9223372036854775808 is outside the int64 range"),
    ([[-1], [2**63]], 10, "column 'v', row 0: the int -1 is outside the uint64 range"),
    ([[2**63], [-1]], 1, "column 'v', row 1: the int -1 is outside the uint64 range"),
    ([[0.5], [2**53 + 1]], 10, "column 'v', row 1: the int 9007199254740993 has no exact double value"),
    ([[0.5], [2**53 + 1]], 1, "column 'v', row 1: the int 9007199254740993 has no exact double value"),
    ([[1], [[1, 2]]], 10, "column 'v', row 1: nested values (list) are not supported"),
    ([["a"], [{"k": 1}]], 1, "column 'v', row 1: nested values (dict) are not supported"),
    ([["a"], [b"x" * 50]], 1, "column 'v', row 1: the bytes b'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'... "
                              "does not fit the string column"),
])
def test_value_that_does_not_fit(connect: Callable[[], Any], rows: List[Any], batch: int, text: str) -> None:
    conn = connect()
    stream = fetch_arrow(conn, "table", ["v"], rows, batch=batch)
    with pytest.raises(ColumnTypeError, match=text.replace("(", r"\(").replace(")", r"\)")):
        stream.read_all()
    with pytest.raises(OSError):  # the rest of the answer is never read as another's
        conn.execute("one")


# -- answers of other kinds and errors ---------------------------------------------


def test_other_answer_kinds(connect: Callable[[], Any]) -> None:
    conn = connect()
    with pytest.raises(AnswerKindError) as info:
        fetch_arrow(conn, "one")
    assert info.value.value == {"answer": 42}
    with pytest.raises(AnswerKindError):
        iter_rows(conn, "one")
    rows = iter_rows(conn, "table2", {"h": 1}, [1, 2, 3])
    assert list(rows) == [1, 2, 3] and rows.head == {"h": 1} and rows.finished
    assert list(iter_rows(conn, "feed", 2500)) == list(range(2500))
    with pytest.raises(RemoteExecutionError):  # a server error ends the answer cleanly
        fetch_arrow(conn, "fail")
    assert conn.execute("one") == {"answer": 42}
    with pytest.raises(AnswerKindError, match="TABLE2 stream is not a table"):
        fetch_arrow(conn, "table2", 0, [1, 2, 3])
    with pytest.raises(OSError):
        conn.execute("one")


def test_an_open_stream_holds_its_connection(connect: Callable[[], Any]) -> None:
    conn = connect()
    with pytest.raises(TypeError):  # not packed, nothing sent: the connection stays usable
        iter_rows(conn, "feed", object())
    rows = iter_rows(conn, "feed", 2500)
    assert next(rows) == 0
    for other_call in (lambda: conn.execute("one"), lambda: iter_rows(conn, "one"),
                       lambda: fetch_arrow(conn, "table", ["a"], [[1]])):
        with pytest.raises(RuntimeError, match="another call is in progress on this connection"):
            other_call()
    assert not conn.is_normal()
    assert list(rows) == list(range(1, 2500))  # the stream goes on undisturbed
    assert conn.execute("one") == {"answer": 42} and conn.is_normal()


_HEADER = [["a"], [1]]


@pytest.mark.parametrize("damage", [
    raw_packet(99, MSGPACK, 0, 0),
    raw_packet(MSG_TYPE.TABLE, 7, 0, 0),
    raw_packet(MSG_TYPE.TABLE, MSGPACK, 9, 0),
    raw_packet(MSG_TYPE.TABLE, MSGPACK, 0, 10, b"\x91\x91"),
    raw_packet(MSG_TYPE.FEED, MSGPACK, 0, 0),
    raw_packet(MSG_TYPE.TABLE, MSGPACK, 0, 3, b"\x91\x91\xc1"),
    raw_packet(MSG_TYPE.TABLE, MSGPACK, 0, 4, b"\x91\x91\x01\x02"),
    raw_packet(MSG_TYPE.ERROR, MSGPACK, 0, 0),
    packet(MSG_TYPE.TABLE, b"\x91\x91\x01", st=SERIALIZATION_TYPE.RAW),
    error_packet(3, "late failure"),
    b"\x00\x01",
])
@pytest.mark.parametrize("reader", ["arrow", "rows"])
def test_damaged_answers_fail_as_execute_does(impl: Any, net: Any, damage: bytes, reader: str) -> None:
    answer = packet(MSG_TYPE.STREAM_START) + packet(MSG_TYPE.TABLE, _HEADER) + damage
    conn = net.serve(impl, [recv(), send(answer), shut_wr()])
    with pytest.raises(Exception) as by_execute:
        conn.execute("t")
    conn = net.serve(impl, [recv(), send(answer), shut_wr()])
    with pytest.raises(Exception) as by_results:
        if reader == "arrow":
            fetch_arrow(conn, "t").read_all()
        else:
            list(iter_rows(conn, "t"))
    assert type(by_results.value) is type(by_execute.value)
    if reader == "rows" or damage[0] != MSG_TYPE.TABLE or len(damage) < 15:  # else each decoder's text
        assert str(by_results.value) == str(by_execute.value)


@pytest.mark.parametrize("answer", [
    [packet(MSG_TYPE.TABLE2)],
    [packet(MSG_TYPE.TABLE2, [[1], 2]), packet(MSG_TYPE.TABLE2)],
    [packet(MSG_TYPE.FEED)],
    [packet(MSG_TYPE.FEED, [1]), packet(MSG_TYPE.FEED)],
    [packet(MSG_TYPE.TABLE)],
    [packet(MSG_TYPE.TABLE, _HEADER), packet(MSG_TYPE.TABLE)],
], ids=["table2-first", "table2-later", "feed-first", "feed-later", "table-first", "table-later"])
def test_packets_without_a_body_fail_as_execute_does(impl: Any, net: Any, answer: List[bytes]) -> None:
    data = packet(MSG_TYPE.STREAM_START) + b"".join(answer) + packet(MSG_TYPE.STREAM_END)
    conn = net.serve(impl, [recv(), send(data), shut_wr()])
    with pytest.raises(TypeError) as by_execute:
        conn.execute("t")
    readers: List[Callable[[Any], Any]] = [lambda c: list(iter_rows(c, "t"))]
    if answer[0][0] == MSG_TYPE.TABLE:
        readers.append(lambda c: fetch_arrow(c, "t").read_all())
    for read in readers:
        conn = net.serve(impl, [recv(), send(data), shut_wr()])
        with pytest.raises(TypeError) as by_reader:
            read(conn)
        assert str(by_reader.value) == str(by_execute.value)


@pytest.mark.parametrize("deeper", [0, 1])
def test_dropped_values_nest_as_deep_as_any_value(impl: Any, net: Any, deeper: int) -> None:
    # A value past the header's columns, nested to the package's one limit
    # (counted over the whole body), is dropped by every reader; one level
    # deeper, every reader refuses the body.
    body = b"\x92\x91\xa1a\x92\x01" + b"\x91" * (MAX_NESTING - 2 + deeper) + b"\xc0"
    data = (packet(MSG_TYPE.STREAM_START) + raw_packet(MSG_TYPE.TABLE, MSGPACK, 0, len(body), body)
            + packet(MSG_TYPE.STREAM_END))
    outcomes = []
    for read in (lambda c: c.execute("t"), lambda c: list(iter_rows(c, "t")),
                 lambda c: fetch_arrow(c, "t").read_all().to_pylist()):
        conn = net.serve(impl, [recv(), send(data), shut_wr()])
        try:
            outcomes.append(read(conn))
        except impl.ProtocolError as e:
            outcomes.append("nesting too deep" in str(e))
    assert outcomes == ([True] * 3 if deeper else [[{"a": 1}]] * 3)


# -- abandoned streams --------------------------------------------------------------------


def _abandon_rows(conn: Any) -> None:
    rows = iter_rows(conn, "feed", 50_000)
    next(rows)
    rows.close()


def _drop_rows(conn: Any) -> None:
    rows = iter_rows(conn, "feed", 50_000)
    next(rows)
    del rows


def _drop_unconsumed(conn: Any) -> None:
    stream = fetch_arrow(conn, "table", ["a"], [[i] for i in range(20)], batch=2)
    del stream


def _drop_capsule(conn: Any) -> None:
    fetch_arrow(conn, "table", ["a"], [[i] for i in range(20)], batch=2).__arrow_c_stream__()


def _one_batch(conn: Any) -> None:
    reader = pa.RecordBatchReader.from_stream(fetch_arrow(conn, "table", ["a"], [[i] for i in range(20)], batch=2))
    assert reader.read_next_batch().num_rows == 2
    del reader


def _closed_while_read(conn: Any) -> None:
    stream = fetch_arrow(conn, "table", ["a"], [[i] for i in range(20)], batch=2)
    reader = pa.RecordBatchReader.from_stream(stream)
    reader.read_next_batch()
    stream.close()
    with pytest.raises(Exception, match="abandoned"):  # an error, never a shorter table
        reader.read_all()


def _consumer_raises(conn: Any) -> None:
    with pytest.raises(KeyError), fetch_arrow(conn, "table", ["a"], [[i] for i in range(20)], batch=2) as stream:
        for _ in pa.RecordBatchReader.from_stream(stream):
            raise KeyError("the consumer fails")


@pytest.mark.parametrize("abandon", [_abandon_rows, _drop_rows, _drop_unconsumed, _drop_capsule, _one_batch,
                                     _closed_while_read, _consumer_raises])
def test_abandoned_stream_puts_the_connection_out_of_use(connect: Callable[[], Any], abandon: Any) -> None:
    conn = connect()
    abandon(conn)
    gc.collect()
    assert not conn.is_normal()
    with pytest.raises(OSError):
        conn.execute("one")


# -- memory and other libraries ----------------------------------------------------------


def test_iter_rows_holds_about_one_packet(impl: Any, net: Any) -> None:
    rows = [[i, "r%d" % i, i * 0.5] for i in range(100_000)]
    bodies = [([["a", "b", "c"]] if k == 0 else []) + rows[k:k + 2000] for k in range(0, len(rows), 2000)]
    answer = b"".join([packet(MSG_TYPE.STREAM_START)] + [packet(MSG_TYPE.TABLE, b) for b in bodies]
                      + [packet(MSG_TYPE.STREAM_END)])
    del rows, bodies
    # Read under tracemalloc, slowly: the peer's sending may outlast its
    # usual time-out on a loaded machine.
    conn = net.connect(impl, net.peer([recv(), send(answer), recv(), send(answer)], timeout=300))
    peaks = []
    for read in (lambda: sum(1 for _ in iter_rows(conn, "t")), lambda: len(conn.execute("t"))):
        tracemalloc.start()
        try:
            assert read() == 100_000
            peaks.append(tracemalloc.get_traced_memory()[1])
        finally:
            tracemalloc.stop()
    assert peaks[0] * 20 < peaks[1]


def test_pandas_and_polars(connect: Callable[[], Any]) -> None:
    conn = connect()
    cols, rows = random_table(9, 40)
    want = expected(cols, rows)
    pd = pytest.importorskip("pandas")
    pd.testing.assert_frame_equal(fetch_arrow(conn, "table", cols, rows).to_pandas(), want.to_pandas())
    pl = pytest.importorskip("polars")
    assert fetch_arrow(conn, "table", cols, rows).to_polars().equals(pl.from_arrow(want))
    taken = pl.from_arrow(fetch_arrow(conn, "table", cols, rows))  # a frame, or (polars 2) a Series of structs
    assert (taken.struct.unnest() if isinstance(taken, pl.Series) else taken).equals(pl.from_arrow(want))


def test_json_ints_beyond_64_bits(impl: Any, connect: Callable[[], Any], monkeypatch: Any) -> None:
    monkeypatch.setattr(impl, "DEFAULT_SERIALIZER_TYPE", JSON)
    conn = connect()
    for big in (-10**30, 2**70, 2**64):
        with pytest.raises(ColumnTypeError, match="column 'v', row 1: the int %d " % big):
            fetch_arrow(conn, "table", ["v"], [[0.5], [big]], batch=1).read_all()
        conn = connect()
    decimals = fetch_arrow(conn, "table", ["v"], [[2**70]], arrow_schema={"v": "decimal128(30, 0)"}).read_all()
    assert decimals.column(0).to_pylist() == [2**70]


@pytest.mark.ext_only
def test_streams_alive_at_interpreter_exit(ext: Any, server: Tuple[str, int]) -> None:
    # A half-read reader and an untaken capsule are released during the
    # interpreter's teardown: no Python object may be touched then.
    code = textwrap.dedent("""
        import socket, sys, pyarrow as pa
        from vantrel.connection import Connection
        from vantrel.results import fetch_arrow
        conn = Connection(socket.create_connection(("127.0.0.1", %d)), {"user": "t"})
        reader = pa.RecordBatchReader.from_stream(fetch_arrow(conn, "table", ["a"], [[1], [2], [3]], batch=1))
        reader.read_next_batch()
        conn2 = Connection(socket.create_connection(("127.0.0.1", %d)), {"user": "t"})
        capsule = fetch_arrow(conn2, "table", ["a"], [[1], [2], [3]], batch=1).__arrow_c_stream__()
        sys.stdout.write("ok")
    """ % (server[1], server[1]))
    done = run_python("-c", code)
    assert (done.returncode, done.stdout) == (0, "ok"), done.stderr
