"""How ``vantrel call`` writes an answer: JSON, JSON lines, CSV or aligned columns.

A stream answer is written as its rows arrive (:func:`write_stream`), so the
memory used stays about one packet's worth whatever the answer's size; a
single value is written whole (:func:`write_value`).  Every format writes
the same bytes for a value and for a stream of the same items, with one
exception that the stream has to make: aligned columns are measured one batch
of :data:`TABLE_BATCH` rows at a time, a column growing wider from the batch
where a wider value first appears.
"""

from __future__ import annotations

import csv
import json
import json.encoder
import math
from itertools import islice
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Set, TextIO

from vantrel.share._codecbase import Timestamp as _Timestamp

__all__ = ["FORMATS", "TABLE_BATCH", "OutputError", "aligned", "render", "to_json",
           "write_stream", "write_value"]

#: ``--format`` choices: auto picks columns for tables, JSON otherwise.
FORMATS = ("auto", "table", "json", "jsonl", "csv")

#: Rows measured together for aligned columns.
TABLE_BATCH = 1000


class OutputError(Exception):
    """An answer that the chosen format cannot write (new CSV columns midway)."""


# -- JSON ---------------------------------------------------------------------------


def _timestamp_text(value: Any) -> str:
    """A MessagePack timestamp (the codecs' Timestamp) as ISO 8601 text, in UTC."""
    return str(value.to_datetime().isoformat())


def _json_default(obj: Any) -> Any:
    if type(obj) is _Timestamp:
        return _timestamp_text(obj)
    if isinstance(obj, (bytes, bytearray, memoryview)):
        return bytes(obj).hex()
    if isinstance(obj, (set, frozenset, tuple)):
        return list(obj)
    return repr(obj)


def _finite(value: Any) -> Any:
    """``value`` with NaN and infinities as None, and every key a JSON key."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, (list, tuple, set, frozenset)):
        return [_finite(v) for v in value]
    if isinstance(value, dict):
        return {_key(k): _finite(v) for k, v in value.items()}
    return value


def _key(key: Any) -> Any:
    if isinstance(key, float) and not math.isfinite(key):
        return repr(key)
    if key is None or isinstance(key, (str, int, float)):
        return key
    return to_json(key)


def _encoder() -> Callable[[Any], str]:
    """One encoder for every value (``json.dumps`` with options builds one per
    call): the json module's C encoder itself where it is there, which also
    saves ``JSONEncoder.encode``'s set-up of it for every row."""
    make = getattr(json.encoder, "c_make_encoder", None)
    if make is None:
        return json.JSONEncoder(ensure_ascii=False, allow_nan=False,
                                default=_json_default).encode
    chunks = make(None, _json_default, json.encoder.encode_basestring, None, ": ", ", ",
                  False, False, False)
    join = "".join

    def encode(value: Any) -> str:
        return join(chunks(value, 0))

    return encode


_encode = _encoder()


def to_json(value: Any) -> str:
    """One JSON document.  JSON has no NaN or infinities: they are written as null."""
    try:
        return _encode(value)
    except (ValueError, TypeError):  # a non-finite float, a key JSON cannot have
        return _encode(_finite(value))


# -- aligned columns ----------------------------------------------------------------


def _cell(value: Any) -> str:
    if isinstance(value, str):
        return value
    if type(value) is _Timestamp:
        return _timestamp_text(value)
    if isinstance(value, float):
        return repr(value)
    return to_json(value)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


class _Columns:
    """Aligned columns, made a batch of rows at a time; a column's width only grows
    (until the header changes)."""

    def __init__(self) -> None:
        self.header: Optional[List[Any]] = None
        self.widths: List[int] = []
        self.numeric: List[bool] = []

    def lines(self, header: Sequence[Any], rows: Sequence[Sequence[Any]]) -> List[str]:
        ncols = max([len(header)] + [len(r) for r in rows])
        texts = [[_cell(v) for v in r] + [""] * (ncols - len(r)) for r in rows]
        widths = [max([len(t[i]) for t in texts] + [0]) for i in range(ncols)]
        lines = []
        if self.header != list(header) or len(self.widths) != ncols:
            self.header = list(header)
            head = [_cell(h) for h in header] + [""] * (ncols - len(header))
            self.widths = [max(len(h), w) for h, w in zip(head, widths)]
            self.numeric = [bool(rows) and all(_is_number(r[i]) for r in rows if i < len(r))
                            for i in range(ncols)]
            lines.append(self._line(head))
            lines.append("  ".join("-" * w for w in self.widths))
        else:
            self.widths = [max(a, b) for a, b in zip(self.widths, widths)]
        lines.extend(self._line(t) for t in texts)
        return lines

    def _line(self, cells: Sequence[str]) -> str:
        return "  ".join(c.rjust(w) if n else c.ljust(w)
                         for c, w, n in zip(cells, self.widths, self.numeric)).rstrip()


def aligned(header: Sequence[Any], rows: Sequence[Sequence[Any]]) -> List[str]:
    """Rows as aligned columns under a header line; numbers right-aligned."""
    return _Columns().lines(header, rows)


def _dict_columns(rows: Sequence[Dict[Any, Any]]) -> List[Any]:
    columns: List[Any] = []
    seen = set()
    for row in rows:
        for key in row:
            if key not in seen:
                seen.add(key)
                columns.append(key)
    return columns


def _is_table2(result: Any) -> bool:
    # execute returns a tuple only for a table2 stream; other answers decode to lists.
    return isinstance(result, tuple) and len(result) == 2 and isinstance(result[1], list)


def render(result: Any, fmt: str) -> List[str]:
    """The lines of a single value (or a whole answer) in format auto, table or json."""
    if fmt == "json":
        return [to_json(result)]  # a table2 answer is the array [head, data]
    if _is_table2(result):
        head, data = result
        if data and all(isinstance(e, (list, tuple)) for e in data) and isinstance(head, list):
            return aligned(head, data)
        return ["head: " + to_json(head)] + [to_json(e) for e in data]
    if isinstance(result, list) and result and all(isinstance(r, dict) for r in result):
        columns = _dict_columns(result)
        return aligned(columns, [[row.get(c) for c in columns] for row in result])
    if fmt == "table" and isinstance(result, list):
        return [to_json(item) for item in result] if result else ["(empty)"]
    return [to_json(result)]


# -- CSV -----------------------------------------------------------------------------


def _csv_value(value: Any) -> Any:
    kind = type(value)
    if kind is str or kind is int or kind is float or value is None:
        return value  # None is an empty field
    if kind is bool:
        return "true" if value else "false"
    if kind is _Timestamp:
        return _timestamp_text(value)
    return to_json(value)  # nested values and bytes (hex) as JSON text


class _Csv:
    """CSV rows: a header from the first dictionary row (or a table2 head)."""

    def __init__(self, out: TextIO, head: Any = None) -> None:
        self.writer = csv.writer(out, lineterminator="\n")
        self.columns: List[Any] = []
        self.names: Set[Any] = set()
        self.count = 0
        if isinstance(head, list):
            self.writer.writerow(list(map(_csv_value, head)))

    def row(self, item: Any) -> None:
        self.count += 1
        if isinstance(item, dict):
            if self.count == 1:
                self.columns = list(item)
                self.names = set(self.columns)
                self.writer.writerow(list(map(_csv_value, self.columns)))
            elif not item.keys() <= self.names:
                new = [k for k in item if k not in self.names]
                raise OutputError("row %d has a column %r that the first row lacks: "
                                  "use --format jsonl" % (self.count, new[0]))
            self.writer.writerow(list(map(_csv_value, map(item.get, self.columns))))
        elif isinstance(item, (list, tuple)):
            self.writer.writerow(list(map(_csv_value, item)))
        else:
            self.writer.writerow([_csv_value(item)])


# -- writing ----------------------------------------------------------------------------


def write_value(value: Any, fmt: str, out: TextIO) -> None:
    """A single value, whole: for jsonl and csv, a list is written as its items."""
    if fmt in ("jsonl", "csv"):
        write_stream(iter(value if isinstance(value, list) else [value]), fmt, out)
    else:
        out.write("\n".join(render(value, fmt)) + "\n")


def write_stream(items: Iterator[Any], fmt: str, out: TextIO, table2: bool = False,
                 head: Any = None) -> None:
    """The items of a stream answer, each written as it comes.

    ``head`` is the head element of a table2 answer (``table2`` true).  The
    text is the one :func:`write_value` writes for the list of the items (for
    a table2 answer, the pair ``(head, items)``), aligned columns aside.
    """
    if fmt == "jsonl":
        if table2:
            out.write(to_json(head) + "\n")
        for item in items:
            out.write(to_json(item) + "\n")
        return
    if fmt == "csv":
        writer = _Csv(out, head if table2 else None)
        for item in items:
            writer.row(item)
        return
    first = next(items, _END)
    if fmt == "json" or (fmt == "auto" and not _tabular(first, head, table2)):
        _json_array(first, items, head, table2, out)
    elif first is _END:
        out.write("\n".join(render((head, []) if table2 else [], fmt)) + "\n")
    else:
        _columns(first, items, head, table2, out)


_END: Any = object()


def _tabular(first: Any, head: Any, table2: bool) -> bool:
    # auto: columns for dictionary rows and for table2 rows under a list head
    if table2:
        return isinstance(head, list) and isinstance(first, (list, tuple))
    return isinstance(first, dict)


def _json_array(first: Any, items: Iterator[Any], head: Any, table2: bool, out: TextIO) -> None:
    write = out.write
    write("[" + to_json(head) + ", [" if table2 else "[")
    if first is not _END:
        write(to_json(first))
        for item in items:
            write(", " + to_json(item))
    write("]]\n" if table2 else "]\n")


def _batches(first: Any, items: Iterator[Any]) -> Iterator[List[Any]]:
    batch = [first] + list(islice(items, TABLE_BATCH - 1))
    while batch:
        yield batch
        batch = list(islice(items, TABLE_BATCH))


def _columns(first: Any, items: Iterator[Any], head: Any, table2: bool, out: TextIO) -> None:
    """Aligned columns for batches of dictionary rows (or table2 rows under a
    list head); any other batch one JSON document per line."""
    columns = _Columns()
    head_shown = False
    for batch in _batches(first, items):
        if table2 and isinstance(head, list) and all(isinstance(e, (list, tuple)) for e in batch):
            lines = columns.lines(head, batch)
        elif not table2 and all(isinstance(r, dict) for r in batch):
            names = _dict_columns(batch)
            if columns.header is not None and set(names) <= set(columns.header):
                names = columns.header
            lines = columns.lines(names, [[row.get(c) for c in names] for row in batch])
        else:
            lines = [to_json(item) for item in batch]
            if table2 and not head_shown:
                lines.insert(0, "head: " + to_json(head))
                head_shown = True
        out.write("\n".join(lines) + "\n")
