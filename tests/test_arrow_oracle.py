"""fetch_arrow against its oracle, ``pyarrow.Table.from_pylist``.

For random rows, column types, packet splits and schemas, on the compiled
connection and on the twin, over MessagePack and JSON bodies:
``fetch_arrow(...).read_all()`` equals ``from_pylist`` over the rows that
``execute`` returns, with the same schema, or both refuse.  The oracle is
adapted only where docs/results.md lists a deliberate difference (see
``_infer`` and ``_cell``): the columns typed from the first packet, the
MessagePack timestamps and ISO texts read as timestamps, values refused
rather than changed.
"""

from __future__ import annotations

import datetime as dt
import decimal
import math
import struct
from typing import Any, Dict, Iterator, List, Tuple

import pytest

pa = pytest.importorskip("pyarrow")
msgpack = pytest.importorskip("msgpack")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, event, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from peer import connect_to  # noqa: E402
from vantrel.results import ColumnTypeError, fetch_arrow  # noqa: E402
from vantrel.server import Server, ServerThread, Table  # noqa: E402
from vantrel.share.protocol import SERIALIZATION_TYPE  # noqa: E402

I64 = 2**63
BOUNDS = [0, 1, -1, 127, 128, -129, 255, 256, 2**15, 2**31 - 1, 2**31, 2**32, 2**53, 2**53 + 1, -2**53 - 1,
          2**60, 2**60 + 1, I64 - 1, -I64, I64, 2**64 - 1]

# -- values of each kind ---------------------------------------------------------------

TEXT = st.text(st.characters(blacklist_categories=["Cs"]), max_size=14)
WHEN = st.datetimes(dt.datetime(1900, 1, 1), dt.datetime(2200, 1, 1))
ZONE = st.none() | st.sampled_from([dt.timezone.utc, dt.timezone(dt.timedelta(hours=5, minutes=30)),
                                    dt.timezone(-dt.timedelta(hours=8))])
KINDS: Dict[str, Any] = {
    "int": st.sampled_from(BOUNDS) | st.integers(-I64, 2**64 - 1) | st.integers(-300, 300),
    "float": st.sampled_from([0.1, 2.5, -0.0, 1e300, 3.0, 2.0**60]) | st.floats(allow_nan=False, allow_infinity=False),
    "bool": st.booleans(),
    "str": TEXT,
    "bytes": st.binary(max_size=14),
    "ts": st.builds(msgpack.Timestamp, st.integers(-2**40, 2**40), st.integers(0, 999_999_999)
                    | st.sampled_from([0, 1000, 1_000_000])),
    "iso": st.builds(lambda w, z, sep: w.replace(tzinfo=z).isoformat(sep), WHEN, ZONE, st.sampled_from("T "))
    | st.sampled_from(["2024-05-02", "yesterday", "2024-13-01T00:00:00"]),
    "date": st.dates().map(dt.date.isoformat) | st.sampled_from(["2024-02-30", "02/05/2024"]),
    "time": st.times().map(dt.time.isoformat) | st.just("25:00:00"),
    "dec": st.decimals(-10**6, 10**6, places=3, allow_nan=False).map(str) | st.sampled_from(["1e3", "x"]),
}
# What JSON cannot carry; ints beyond 64 bits only JSON can.
NOT_JSON = {"bytes", "ts"}
HUGE = st.sampled_from([2**64, 2**70, -10**30, 3 * 10**19, -I64 - 1])

# The types a schema may ask for a column of each kind (a few it refuses among them).
TS = [pa.timestamp(u, tz) for u in ("s", "ms", "us", "ns") for tz in (None, "UTC")]
INTS = [pa.int8(), pa.int16(), pa.int32(), pa.int64(), pa.uint8(), pa.uint16(), pa.uint32(), pa.uint64()]
STRS = [pa.string(), pa.large_string(), pa.string_view(), pa.binary(), pa.large_binary(), pa.binary_view(),
        pa.dictionary(pa.int32(), pa.string())]
ASKED: Dict[str, List[Any]] = {
    "int": INTS + [pa.float32(), pa.float64(), pa.decimal128(22, 2), pa.date32(), pa.timestamp("us"), pa.bool_()],
    "float": [pa.float64(), pa.float32(), pa.decimal128(12, 3), pa.int64()],
    "bool": [pa.bool_(), pa.float64(), pa.int8()],
    "str": STRS + [pa.int64()],
    "bytes": STRS,
    "ts": TS + [pa.date32(), pa.string()],
    "iso": TS + [pa.string(), pa.date32()],
    "date": [pa.date32(), pa.string(), pa.timestamp("s")],
    "time": [pa.time64("us"), pa.time64("ns"), pa.string()],
    "dec": [pa.decimal128(10, 3), pa.decimal128(5, 1), pa.string(), pa.float64()],
}


@st.composite
def answers(draw: Any) -> Dict[str, Any]:
    """Columns of one kind each (or two kinds mixed), rows, packets, a schema or none."""
    json = draw(st.booleans())
    kinds = [k for k in KINDS if not (json and k in NOT_JSON)]
    ncols = draw(st.integers(1, 3))
    cols = ["c%d" % k for k in range(ncols)]
    col_kinds = [draw(st.lists(st.sampled_from(kinds), min_size=1, max_size=2)) for _ in cols]
    nrows = draw(st.integers(1, 8))
    rows = []
    for _ in range(nrows):
        row: List[Any] = []
        for ks in col_kinds:
            if draw(st.integers(0, 4)) == 0:
                row.append(None)
            elif json and ks[0] == "int" and draw(st.integers(0, 9)) == 0:
                row.append(draw(HUGE))
            else:
                row.append(draw(KINDS[draw(st.sampled_from(ks))]))
        rows.append(row)
    schema = None
    way = draw(st.sampled_from(["none", "arrow_schema", "requested"]))
    if way != "none":
        fields = [(c, draw(st.sampled_from(ASKED[ks[0]]))) for c, ks in zip(cols, col_kinds)]
        if way == "arrow_schema" and draw(st.booleans()):
            fields = fields[1:] + [("extra", pa.int64())]  # a column dropped, one the header lacks
        schema = pa.schema(draw(st.permutations(fields)))
    return {"json": json, "cols": cols, "rows": rows, "batch": draw(st.integers(1, 4)), "way": way,
            "schema": schema}


# -- the oracle --------------------------------------------------------------------------

class Refused(Exception):
    """A value that fetch_arrow refuses where from_pylist would change it."""


def _infer(values: List[Any]) -> Any:
    """A column's type from the values of the packets that type it (docs/results.md:
    Column types), or Refused: from_pylist's inference but for MessagePack
    timestamps, uint64 ints, and bools never mixed with numbers."""
    kinds = {type(v) for v in values if v is not None}
    if not kinds:
        return pa.null()
    if kinds == {msgpack.Timestamp}:
        return pa.timestamp("ns", "UTC")
    if kinds <= {int}:
        big, negative = any(v >= I64 for v in values if v is not None), any(v < 0 for v in values if v is not None)
        if big and negative:
            raise Refused
        return pa.uint64() if big else pa.int64()
    if kinds <= {int, float}:
        return pa.float64()
    if kinds <= {str, bytes}:
        return pa.binary() if bytes in kinds else pa.string()
    if kinds == {bool}:
        return pa.bool_()
    raise Refused


def _nanos(value: Any) -> int:
    """A timestamp value (MessagePack, or ISO text) in nanoseconds since the epoch, UTC."""
    if isinstance(value, msgpack.Timestamp):
        return int(value.seconds * 10**9 + value.nanoseconds)
    if len(value) < 16 or value[10] not in "T ":
        raise Refused  # (fromisoformat reads more forms than isoformat writes)
    try:
        when = dt.datetime.fromisoformat(value)
    except ValueError:
        raise Refused from None
    if when.tzinfo is not None:
        when = when.astimezone(dt.timezone.utc).replace(tzinfo=None)
    delta = when - dt.datetime(1970, 1, 1)
    return (delta.days * 86400 + delta.seconds) * 10**9 + delta.microseconds * 1000


def _cell(value: Any, t: Any) -> Any:
    """The value from_pylist is given for a cell of type t: the value itself,
    or what it stands for, or Refused where from_pylist would change it."""
    if value is None:
        return None
    if isinstance(value, bool):
        if pa.types.is_floating(t):
            raise Refused  # from_pylist: 1.0
        return value
    if isinstance(value, float):
        if pa.types.is_integer(t) or pa.types.is_temporal(t):
            raise Refused  # from_pylist truncates
        if t == pa.float32() and math.isfinite(value) and abs(value) > 3.4028234663852886e38:
            raise Refused  # from_pylist: inf
        if pa.types.is_decimal(t):
            return decimal.Decimal(repr(value))
        return value
    if isinstance(value, int):
        if not -I64 <= value < 2**64 and not pa.types.is_decimal(t):
            raise Refused  # beyond 64 bits (from_pylist refuses them too, but not into a double)
        if pa.types.is_time64(t) and not 0 <= value < 86400 * (10**6 if t.unit == "us" else 10**9):
            raise Refused  # from_pylist makes an invalid array
        if pa.types.is_floating(t):
            exact = float(value) == value if t == pa.float64() else \
                struct.unpack("f", struct.pack("f", value))[0] == value if abs(value) < 2**128 else False
            if not exact:
                raise Refused  # (from_pylist refuses beyond 2**53 even when exact)
            return float(value)
        return value
    if isinstance(value, bytes) and (pa.types.is_string(t) or pa.types.is_large_string(t)
                                     or pa.types.is_string_view(t) or pa.types.is_dictionary(t)):
        raise Refused  # from_pylist decodes it
    if pa.types.is_timestamp(t) and isinstance(value, (msgpack.Timestamp, str)):
        per = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}[t.unit]
        nanos = _nanos(value)
        if nanos % per:
            raise Refused  # from_pylist truncates
        return nanos // per  # an int is a count of the column's units, for from_pylist too
    if pa.types.is_date32(t) and isinstance(value, (msgpack.Timestamp, str)):
        if isinstance(value, str):
            try:
                return dt.date.fromisoformat(value) if len(value) == 10 else _refuse()
            except ValueError:
                raise Refused from None
        days, rest = divmod(_nanos(value), 86400 * 10**9)
        if rest:
            raise Refused
        return days
    if pa.types.is_time64(t) and isinstance(value, str):
        try:
            when = dt.time.fromisoformat(value)
        except ValueError:
            raise Refused from None
        nanos = ((when.hour * 60 + when.minute) * 60 + when.second) * 10**9 + when.microsecond * 1000
        return nanos // (1000 if t.unit == "us" else 1)
    if pa.types.is_decimal(t) and isinstance(value, str):
        try:
            return decimal.Decimal(value)
        except decimal.InvalidOperation:
            raise Refused from None
    return value


def _refuse() -> Any:
    raise Refused


def oracle(case: Dict[str, Any], got_rows: List[Dict[str, Any]], own_schema: bool) -> Any:
    """What fetch_arrow must give (a table), or Refused / a pyarrow error."""
    cols, batch, schema = case["cols"], case["batch"], case["schema"]
    if schema is None or not own_schema:
        # typed from the first packet, and the packets after it while a column has only None
        k = batch
        while k < len(got_rows) and any(all(r[c] is None for r in got_rows[:k]) for c in cols):
            k += batch
        schema = pa.schema([(c, _infer([r[c] for r in got_rows[:k]])) for c in cols])
    rows = [{f.name: _cell(r.get(f.name), f.type) for f in schema} for r in got_rows]
    return pa.Table.from_pylist(rows, schema=schema)


def _plain(table: Any) -> Any:
    """Dictionary columns as their values (each batch has a dictionary of its own)."""
    return pa.table([c.cast(c.type.value_type) if pa.types.is_dictionary(c.type) else c for c in table.columns],
                    names=table.column_names)


# -- the property ----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def server() -> Iterator[Tuple[str, int]]:
    with ServerThread(Server({"table": lambda cols, rows, batch: Table(cols, rows, batch=batch)})) as address:
        yield address


# The unproducible type a requested schema may hold: the stream keeps its own schema then.
UNPRODUCIBLE = pa.list_(pa.int64())


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(case=answers(), unproducible=st.booleans())
def test_fetch_arrow_equals_from_pylist(impl: Any, server: Tuple[str, int], case: Dict[str, Any],
                                        unproducible: bool) -> None:
    saved = impl.DEFAULT_SERIALIZER_TYPE
    impl.DEFAULT_SERIALIZER_TYPE = SERIALIZATION_TYPE.JSON if case["json"] else SERIALIZATION_TYPE.MSGPACK
    conn = connect_to(impl, server, {"user": "t"})
    try:
        args = (case["cols"], case["rows"], case["batch"])
        got_rows = conn.execute("table", *args)
        schema, way = case["schema"], case["way"]
        own_schema = True
        if way == "requested" and unproducible:
            schema = pa.schema([schema.field(0).with_type(UNPRODUCIBLE)] + list(schema)[1:])
            own_schema = False
        try:
            want = oracle(case, got_rows, own_schema)
        except (Refused, pa.ArrowInvalid, pa.ArrowTypeError, OverflowError, TypeError, ValueError) as e:
            want = e
        stream = fetch_arrow(conn, "table", *args, arrow_schema=schema if way == "arrow_schema" else None)
        try:
            if way == "requested":
                got = pa.RecordBatchReader.from_stream(stream, schema=schema).read_all()
            else:
                got = stream.read_all()
        except (ColumnTypeError, OSError) as e:
            assert isinstance(want, Exception), "refused, where from_pylist gives %r: %s" % (want, e)
            assert "ColumnTypeError: column '" in str(e) or str(e).startswith("column '"), e
            event("%s, %s: both refuse" % (way, "json" if case["json"] else "msgpack"))
            return
        assert not isinstance(want, Exception), "gave %r, where from_pylist refuses: %r" % (got, want)
        event("%s, %s: equal tables" % (way, "json" if case["json"] else "msgpack"))
        got.validate(full=True)
        assert _plain(got).equals(_plain(want)), (got, want)
    finally:
        conn.close()
        impl.DEFAULT_SERIALIZER_TYPE = saved
