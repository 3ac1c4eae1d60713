"""``vantrel call``: a table answer as CSV or JSON lines, one packet at a time.

With pyarrow, the TABLE packets are decoded by the Arrow decoder
(``vantrel._arrow``) into record batches, and each column of a batch is made
into its text by pyarrow's compute functions, with no Python object per
value.  Without pyarrow, and for a packet whose values Arrow columns cannot
hold (mixed types, nested values, ints beyond 64 bits: then a new decoder
takes the packets after it), the packet's decoded row lists are written a
column at a time, with no dictionary per row.  Both ways write the same text
for the same values:

- CSV: a header line of the column names, even for a table of no rows;
  fields quoted when they hold ``,``, ``"``, CR or LF (a line of one empty
  field is ``""``); None empty; floats as Python's ``repr``; booleans
  ``true``/``false``; bytes as they are; timestamps as pyarrow's CSV writer
  writes them (``2024-05-02 09:30:00.000000000Z``); nested values as JSON.
- JSON lines: one object per row with every column; as ``--format json``
  writes values (NaN and infinities null, bytes as hexadecimal text), and
  timestamps as ISO 8601 text (``"2024-05-02T09:30:00.000000000Z"``).

The rows and the header are matched as ``dict(zip(header, row))`` matches
them, as everywhere else: a short row has nulls at its end, a name given
twice is one column.
"""

from __future__ import annotations

import array
import importlib.util
import itertools
import struct
from typing import Any, BinaryIO, Callable, Dict, List, Optional, Tuple

from vantrel import _arrow
from vantrel._output import CSV_SPECIAL, csv_line, csv_text, to_json
from vantrel._output import _encode as _json_encode

__all__ = ["arrow_available", "write_table"]


def arrow_available() -> bool:
    """Whether pyarrow is there, without importing it (a table of small
    packets never needs it)."""
    try:
        return importlib.util.find_spec("pyarrow") is not None
    except (ImportError, ValueError):
        return False


def write_table(answer: Any, fmt: str, out: BinaryIO, on_rows: Callable[[int], None],
                arrow: bool) -> None:
    """The TABLE answer ``answer`` (a ``vantrel._answer.Answer``, its first
    packet read; raw MessagePack bodies when ``arrow``) on ``out`` as ``fmt``
    (``csv`` or ``jsonl``)."""
    sink: _Sink = (_CsvSink if fmt == "csv" else _JsonlSink)(out, on_rows)
    try:
        if arrow and _count(answer.first) > SMALL_PACKET and _imports_pyarrow():
            _from_batches(answer, sink)
        else:
            _from_lists(answer, sink)
    finally:
        if answer.state == "open":  # (stopped before its end)
            answer.abandon()


# -- the drivers ------------------------------------------------------------------------


def _imports_pyarrow() -> bool:
    try:
        import pyarrow.compute  # noqa: F401
    except ImportError:  # (there, but it does not load)
        return False
    return True


#: Packets of a table whose first packet has no more rows than this are
#: written from their lists: an Arrow batch costs about as much as a
#: thousand rows to set up and to make into text.
SMALL_PACKET = 1000


def _count(body: Any) -> int:
    """The number of items of a TABLE body (its MessagePack bytes, or decoded)."""
    if isinstance(body, list):
        return len(body)
    if not isinstance(body, (bytes, bytearray)) or not body:
        return 0
    lead = body[0]
    if 0x90 <= lead <= 0x9F:
        return lead & 0x0F
    if lead in (0xDC, 0xDD):
        return int.from_bytes(body[1:3 if lead == 0xDC else 5], "big")
    return 0


def _from_lists(answer: Any, sink: _Sink) -> None:
    ns = answer.link.ns

    def decoded(body: Any) -> Any:  # (MessagePack bytes when the answer was read for Arrow)
        if isinstance(body, (bytes, bytearray)):
            return ns["unpack_one"](body, ns["SERIALIZATION_TYPE"].MSGPACK, ns["COMPRESSION_METHOD"].NONE)
        return body

    first, answer.first = decoded(answer.first), None
    header = first[0]
    sink.begin(header)
    sink.rows(first[1:])
    while True:
        body = answer.next_body()
        if body is None:
            return
        sink.rows(decoded(body))


class _Capsule:
    """Hands a stream capsule to ``pyarrow.RecordBatchReader.from_stream``."""

    def __init__(self, capsule: Any) -> None:
        self.capsule = capsule

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self.capsule


def _from_batches(answer: Any, sink: _Sink) -> None:
    """Record batches from the Arrow decoder, a decoder a run of packets; a
    packet it refuses goes as lists, and a new decoder takes the next one."""
    import pyarrow as pa

    ns = answer.link.ns
    first_body, answer.first = answer.first, None
    header: List[Any] = []

    def decoded(body: Any) -> Any:
        if isinstance(body, list):
            return body
        return ns["unpack_one"](body, ns["SERIALIZATION_TYPE"].MSGPACK, ns["COMPRESSION_METHOD"].NONE)

    def with_header(body: Any) -> Any:
        # a later body, made a first one: the header row in front of its rows
        if not header:
            header.append(decoded(first_body)[0])
        if isinstance(body, list):
            return [header[0]] + body
        return _msgpack_prepend(ns, header[0], body)

    body: Any = first_body
    is_first = True
    begun = False
    while body is not None:
        decoder = _arrow.TableDecoder(None)
        given = body if is_first else with_header(body)
        try:
            decoder.begin(given)
            if not begun:
                sink.begin(decoder.names)
                begun = True
            failed = _run(answer, decoder, given, sink, pa)
        except _arrow.ColumnTypeError:
            failed = given
        except _arrow.DecodeError as e:
            raise ns["ProtocolError"](repr(e)) from e
        if failed is None:
            return
        if failed is given:  # this decoder took nothing: the body goes as lists
            rows = decoded(body)
            if is_first:
                header[:] = [rows[0]]
                if not begun:
                    sink.begin(rows[0])
                    begun = True
                rows = rows[1:]
            sink.rows(rows)
            body, is_first = answer.next_body(), False
        else:
            body, is_first = failed, False


def _run(answer: Any, decoder: Any, given: Any, sink: _Sink, pa: Any) -> Any:
    """The batches of one decoder, begun with ``given``, over the packets
    that follow it; returns the body whose values it could not take (None at
    the end of the answer)."""
    pending = [given]
    state: Dict[str, Any] = {"last": None, "error": None}

    def pull() -> Optional[Tuple[Any, bool]]:
        if pending:
            state["last"] = pending.pop()
            return (state["last"], True)
        body = answer.next_body()
        state["last"] = body
        return None if body is None else (body, False)

    def close(error: Optional[BaseException]) -> None:
        state["error"] = error

    reader = pa.RecordBatchReader.from_stream(_Capsule(decoder.stream(pull, close)))
    try:
        for batch in reader:
            sink.batch(batch)
    except Exception as e:
        error = state["error"]
        if isinstance(error, _arrow.ColumnTypeError) and state["last"] is not None:
            return state["last"]
        raise (e if error is None else error) from None
    return None


def _msgpack_prepend(ns: Dict[str, Any], row: Any, body: bytes) -> bytes:
    """The MessagePack array ``body`` with ``row`` put in front of its items."""
    lead = body[0]
    if 0x90 <= lead <= 0x9F:
        count, start = lead & 0x0F, 1
    elif lead == 0xDC:
        count, start = int.from_bytes(body[1:3], "big"), 3
    elif lead == 0xDD:
        count, start = int.from_bytes(body[1:5], "big"), 5
    else:  # not an array: the decoder says what it is
        return body
    count += 1
    if count < 16:
        head = bytes([0x90 | count])
    elif count < 1 << 16:
        head = b"\xdc" + count.to_bytes(2, "big")
    else:
        head = b"\xdd" + count.to_bytes(4, "big")
    packed: bytes = ns["pack_one"](row, ns["MSG_TYPE"].TABLE, ns["SERIALIZATION_TYPE"].MSGPACK,
                                   ns["COMPRESSION_METHOD"].NONE)[ns["HEADER_LENGTH"]:]
    return head + packed + body[start:]


# -- the writers ------------------------------------------------------------------------


class _Sink:
    """Writes the header (once), then record batches and packets of row lists."""

    def __init__(self, out: BinaryIO, on_rows: Callable[[int], None]) -> None:
        self.out = out
        self.on_rows = on_rows
        self.header: List[Any] = []
        self.columns: List[Any] = []
        self.plain = True  # no name twice in the header: rows of its width are taken as they are

    def begin(self, header: List[Any]) -> None:
        if not isinstance(header, list):
            raise TypeError("the header row must be a list of column names, not %s"
                            % type(header).__name__)
        self.header = header
        self.columns = list(dict.fromkeys(header))
        self.plain = len(self.columns) == len(header)
        self.head()

    def head(self) -> None:
        """The text in front of the rows."""

    # rows as lists: a column at a time

    def rows(self, rows: List[Any]) -> None:
        if not rows:
            return
        width = len(self.header)
        if not (self.plain and set(map(len, rows)) == {width}):
            header, columns = self.header, self.columns
            rows = [[d.get(k) for k in columns] for d in map(dict, map(zip, itertools.repeat(header), rows))]
        if self.columns:
            self.write_lines(self.lines([self.texts(column) for column in zip(*rows)]))
        else:
            self.write_lines([self.empty_row()] * len(rows))
        self.on_rows(len(rows))

    def write_lines(self, lines: List[str]) -> None:
        self.out.write(("\n".join(lines) + "\n").encode("utf-8", "surrogateescape"))

    def texts(self, column: Tuple[Any, ...]) -> List[str]:
        raise NotImplementedError

    def lines(self, columns: List[List[str]]) -> List[str]:
        raise NotImplementedError

    def empty_row(self) -> str:
        raise NotImplementedError

    # record batches: a column at a time, with pyarrow's compute functions

    def batch(self, batch: Any) -> None:
        n = batch.num_rows
        if n == 0:
            return
        if batch.num_columns == 0:
            self.write_lines([self.empty_row()] * n)
        else:
            self.write_array(self.arrow_lines([self.arrow_texts(c) for c in batch.columns]))
        self.on_rows(n)

    def write_array(self, lines: Any) -> None:
        """The values of a binary array, one after another."""
        _, offsets, data = lines.buffers()
        at = memoryview(offsets).cast("i")  # (int32 offsets: a binary array, not a large one)
        self.out.write(memoryview(data)[at[lines.offset]:at[lines.offset + len(lines)]])

    def arrow_texts(self, column: Any) -> Any:
        raise NotImplementedError

    def arrow_lines(self, columns: List[Any]) -> Any:
        raise NotImplementedError


def _decoded(pa: Any, column: Any) -> Any:
    """A dictionary column as its values; any other column as it is."""
    return column.dictionary_decode() if pa.types.is_dictionary(column.type) else column


def _pa() -> Tuple[Any, Any]:
    import pyarrow as pa
    import pyarrow.compute as pc

    return pa, pc


def _is_text(pa: Any, t: Any) -> bool:
    types = pa.types
    return bool(types.is_string(t) or types.is_large_string(t)
                or getattr(types, "is_string_view", lambda _: False)(t))


def _is_binary(pa: Any, t: Any) -> bool:
    types = pa.types
    return bool(types.is_binary(t) or types.is_large_binary(t) or types.is_fixed_size_binary(t)
                or getattr(types, "is_binary_view", lambda _: False)(t))


def _any(pc: Any, array: Any, pattern: str) -> bool:
    return bool(pc.any(pc.match_substring_regex(array, pattern)).as_py())


def _float_texts(pa: Any, pc: Any, column: Any) -> Any:
    """A float column's values as Python's ``repr`` writes them (nulls stay null).

    Arrow's shortest digits are Python's; only the notation differs: Arrow
    leaves ``.0`` off whole numbers, and the two switch to an exponent at
    other magnitudes (Arrow below 1e-6 and from 1e10 on, Python below 1e-4
    and from 1e16 on).  Between 1e-4 and 1e10 both write the plain digits;
    the other values are few in most data, and take ``repr`` itself."""
    if not pa.types.is_float64(column.type):
        column = column.cast(pa.float64())
    texts = pc.cast(column, pa.string())
    size = pc.abs(column)
    plain = pc.or_(pc.and_(pc.greater_equal(size, _lit(pa, 1e-4)), pc.less(size, _lit(pa, 1e10))),
                   pc.equal(size, _lit(pa, 0.0)))  # (NaN: false)
    odd = pc.invert(plain)
    if pc.any(odd).as_py():
        exact = [repr(v).encode() for v in pc.filter(column, odd).to_pylist()]
        texts = pc.replace_with_mask(texts, odd, _array(pa, exact, pa.string()))
    whole = pc.and_(plain, pc.equal(pc.floor(column), column))
    if pc.any(whole).as_py():
        texts = _with_dot_zero(pa, pc, texts, whole)
    return texts


def _with_dot_zero(pa: Any, pc: Any, texts: Any, whole: Any) -> Any:
    """``texts`` with ".0" after the values where ``whole`` is true."""
    return pc.replace_with_mask(texts, whole, pc.binary_join_element_wise(
        pc.filter(texts, whole), _lit(pa, ".0"), _lit(pa, "")))


def _has(pa: Any, texts: Any, chars: bytes) -> bool:
    """Whether any value of the binary array ``texts`` holds one of ``chars``."""
    _, offsets, data = texts.buffers()
    if data is None or len(texts) == 0:
        return False
    at = memoryview(offsets).cast("i")
    used = data.to_pybytes()[at[texts.offset]:at[texts.offset + len(texts)]]
    if len(chars) > 4:
        return len(used.translate(None, chars)) != len(used)
    return any(used.find(chars[i:i + 1]) >= 0 for i in range(len(chars)))


_LITERALS: Dict[Any, Any] = {}


def _lit(pa: Any, value: Any) -> Any:
    """``value`` (a float, str or bytes) as an Arrow scalar, taken from an
    array made from its buffers: a Python value given to a compute function
    is converted by ``pyarrow.scalar``, which imports pandas."""
    key = (type(value), value)
    scalar = _LITERALS.get(key)
    if scalar is None:
        if isinstance(value, float):
            scalar = pa.Array.from_buffers(pa.float64(), 1, [None, pa.py_buffer(struct.pack("=d", value))])[0]
        else:
            data = value.encode() if isinstance(value, str) else value
            scalar = _array(pa, [data], pa.string() if isinstance(value, str) else pa.binary())[0]
        _LITERALS[key] = scalar
    return scalar


def _filled(pc: Any, texts: Any, fill: Any) -> Any:
    return pc.fill_null(texts, _lit(_pa()[0], fill)) if texts.null_count else texts


def _array(pa: Any, values: List[bytes], kind: Any) -> Any:
    """An Arrow array of ``values`` made from its buffers (``pyarrow.array``
    would import pandas to look at a list, a second of start-up when it is
    installed)."""
    offsets = array.array("i", [0])
    offsets.extend(itertools.accumulate(map(len, values)))
    return pa.Array.from_buffers(kind, len(values), [None, pa.py_buffer(offsets),
                                                     pa.py_buffer(b"".join(values))])


def _python_texts(pa: Any, column: Any, text: Callable[[Any], str]) -> Any:
    return _array(pa, [text(v).encode("utf-8", "surrogateescape") for v in column.to_pylist()],
                  pa.binary())


_CSV_PATTERN = "[,\"\r\n]"


class _CsvSink(_Sink):
    def head(self) -> None:
        self.out.write(csv_line(self.columns).encode("utf-8", "surrogateescape"))
        self.options: Any = None

    def batch(self, batch: Any) -> None:
        """A batch of two columns or more and no field to quote goes through
        pyarrow's CSV writer, unquoted (it then writes what the columns'
        texts would be), with the float columns as their texts; any other
        batch is put together here."""
        pa, pc = _pa()
        columns = []
        if batch.num_columns >= 2 and batch.num_rows:
            for column in batch.columns:
                t = column.type
                if pa.types.is_floating(t):
                    column = _float_texts(pa, pc, column)
                elif _is_text(pa, t):
                    if _has(pa, column.cast(pa.binary()), b',"\r\n'):
                        break
                elif not (pa.types.is_null(t) or pa.types.is_boolean(t) or pa.types.is_integer(t)
                          or pa.types.is_timestamp(t) or pa.types.is_date(t) or pa.types.is_time(t)
                          or pa.types.is_decimal(t)):
                    break
                columns.append(column)
        if len(columns) < 2 or len(columns) != batch.num_columns:
            super().batch(batch)
            return
        import pyarrow.csv

        if self.options is None:
            self.options = pyarrow.csv.WriteOptions(include_header=False, quoting_style="none")
        names = [str(i) for i in range(len(columns))]
        sink = pa.BufferOutputStream()
        pyarrow.csv.write_csv(pa.RecordBatch.from_arrays(columns, names=names), sink, self.options)
        self.out.write(sink.getvalue())
        self.on_rows(batch.num_rows)

    def texts(self, column: Tuple[Any, ...]) -> List[str]:
        kinds = set(map(type, column))
        texts: Any
        if kinds == {str}:
            texts = column
        elif kinds == {int} or kinds == {float}:
            return list(map(repr, column))
        else:
            texts = list(map(csv_text, column))
            if kinds <= {int, float, bool, type(None)}:
                return texts  # type: ignore[no-any-return]
        joined = "".join(texts)
        if any(c in joined for c in CSV_SPECIAL):
            return ['"' + t.replace('"', '""') + '"' if any(c in t for c in CSV_SPECIAL) else t
                    for t in texts]
        return list(texts)

    def lines(self, columns: List[List[str]]) -> List[str]:
        if len(columns) == 1:
            return ['""' if t == "" else t for t in columns[0]]
        return list(map(",".join, zip(*columns)))

    def empty_row(self) -> str:
        return ""

    def arrow_texts(self, column: Any) -> Any:
        pa, pc = _pa()
        column = _decoded(pa, column)
        t = column.type
        if _is_text(pa, t) or _is_binary(pa, t):
            texts = _filled(pc, column.cast(pa.binary()), b"")
            if _has(pa, texts, b',"\r\n'):
                quoted = pc.binary_join_element_wise(_lit(pa, b'"'), pc.replace_substring(texts, b'"', b'""'),
                                                     _lit(pa, b'"'), _lit(pa, b""))
                texts = pc.if_else(pc.match_substring_regex(texts, _CSV_PATTERN), quoted, texts)
            return texts
        if pa.types.is_floating(t):
            return _filled(pc, _float_texts(pa, pc, column), "").cast(pa.binary())
        if pa.types.is_null(t) or pa.types.is_boolean(t) or pa.types.is_integer(t) \
                or pa.types.is_temporal(t) or pa.types.is_decimal(t):
            try:
                return _filled(pc, pc.cast(column, pa.string()), "").cast(pa.binary())
            except (pa.ArrowNotImplementedError, pa.ArrowInvalid):
                pass
        texts = _python_texts(pa, column, csv_text)
        if _has(pa, texts, b',"\r\n'):
            texts = _array(pa, [b'"' + v.replace(b'"', b'""') + b'"' if any(c in v for c in b',"\r\n') else v
                                for v in texts.to_pylist()], pa.binary())
        return texts

    def arrow_lines(self, columns: List[Any]) -> Any:
        pa, pc = _pa()
        if len(columns) == 1:
            columns[0] = pc.if_else(pc.equal(columns[0], _lit(pa, b"")), _lit(pa, b'""'), columns[0])
        return pc.binary_join_element_wise(
            *columns[:-1], pc.binary_join_element_wise(columns[-1], _lit(pa, b"\n"), _lit(pa, b"")), _lit(pa, b","))


_JSON_PLAIN = {int, float, bool, type(None)}
_JSON_ESCAPED_BYTES = bytes(range(32)) + b'"\\'  # what JSON escapes
_JSON_RARE = "[\x00-\x08\x0b-\x0c\x0e-\x1f]"  # control characters beyond \t \n \r
_JSON_ESCAPES = [(b"\\", b"\\\\"), (b'"', b'\\"'), (b"\n", b"\\n"), (b"\r", b"\\r"), (b"\t", b"\\t")]


def _json_key(name: Any) -> str:
    text = to_json({name: 0})  # '{"name": 0}': the key as to_json writes the row's keys
    return text[1:-4]


class _JsonlSink(_Sink):
    def head(self) -> None:
        keys = [_json_key(name) for name in self.columns]
        self.template = "{" + ", ".join(k.replace("%", "%%") + ": %s" for k in keys) + "}"
        pieces = [("{" if i == 0 else ", ") + k + ": " for i, k in enumerate(keys)]
        self.pieces = [p.encode("utf-8") for p in pieces]

    def texts(self, column: Tuple[Any, ...]) -> List[str]:
        kinds = set(map(type, column))
        if kinds <= _JSON_PLAIN:
            try:
                return _json_encode(list(column))[1:-1].split(", ")
            except ValueError:  # NaN or an infinity: null
                pass
        elif kinds <= {str, type(None)}:
            return list(map(_json_encode, column))
        return list(map(to_json, column))

    def lines(self, columns: List[List[str]]) -> List[str]:
        template = self.template
        return [template % row for row in zip(*columns)]

    def empty_row(self) -> str:
        return "{}"

    def arrow_texts(self, column: Any) -> Any:
        pa, pc = _pa()
        column = _decoded(pa, column)
        t = column.type
        texts: Any = None
        if _is_text(pa, t):
            texts = column.cast(pa.binary())
            if _has(pa, texts, _JSON_ESCAPED_BYTES):
                if _any(pc, texts, _JSON_RARE):
                    return _python_texts(pa, column, to_json)
                for old, new in _JSON_ESCAPES:
                    texts = pc.replace_substring(texts, old, new)
            texts = pc.binary_join_element_wise(_lit(pa, b'"'), texts, _lit(pa, b'"'), _lit(pa, b""))
        elif pa.types.is_floating(t):
            texts = pc.if_else(pc.is_finite(column), _float_texts(pa, pc, column), _lit(pa, "null"))
        elif pa.types.is_null(t) or pa.types.is_boolean(t) or pa.types.is_integer(t):
            texts = pc.cast(column, pa.string())
        elif pa.types.is_timestamp(t) or pa.types.is_date(t) or pa.types.is_time(t) or pa.types.is_decimal(t):
            try:
                texts = pc.cast(column, pa.string())
            except (pa.ArrowNotImplementedError, pa.ArrowInvalid):
                return _python_texts(pa, column, to_json)
            if pa.types.is_timestamp(t):
                texts = pc.replace_substring(texts, " ", "T", max_replacements=1)
            texts = pc.binary_join_element_wise(_lit(pa, '"'), texts, _lit(pa, '"'), _lit(pa, ""))
        else:
            return _python_texts(pa, column, to_json)
        return _filled(pc, texts.cast(pa.binary()), b"null")

    def arrow_lines(self, columns: List[Any]) -> Any:
        pa, pc = _pa()
        parts: List[Any] = []
        for piece, texts in zip(self.pieces, columns):
            parts += [_lit(pa, piece), texts]
        return pc.binary_join_element_wise(*parts, _lit(pa, b"}\n"), _lit(pa, b""))

