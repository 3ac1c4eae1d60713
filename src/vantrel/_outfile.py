"""``vantrel call --output FILE``: the answer written to a file, its kind by extension.

``.parquet``, ``.arrow`` and ``.feather`` (both the Arrow IPC file format)
take a table answer batch by batch through the Arrow decoder, or a feed of
dictionaries (or of single values, one column ``value``), and need pyarrow;
``-`` writes the same as an Arrow IPC stream on stdout.  ``.csv``,
``.jsonl`` and ``.json`` take any answer, as ``--format csv``, ``jsonl`` and
``json`` write it; ``.gz`` (gzip) or ``.zst`` (zstandard) after them
compresses the file.  A file is written under a temporary name beside it and
renamed at the end, so that a failed call never leaves a file that looks
whole.
"""

from __future__ import annotations

import importlib
import os
import tempfile
from typing import Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional

__all__ = ["ARROW_KINDS", "KINDS", "PARQUET_COMPRESSIONS", "ROW_GROUP_ROWS", "STDOUT", "OutputFileError",
           "OutputKind", "check_output", "feed_batches", "open_binary", "write_arrow", "written"]

#: The kinds ``--output`` takes by extension, with the ``--format`` of the text ones.
KINDS: Dict[str, Optional[str]] = {".parquet": None, ".arrow": None, ".feather": None,
                                   ".csv": "csv", ".jsonl": "jsonl", ".json": "json"}
#: Extensions (and ``-``, stdout) written through Arrow.
ARROW_KINDS = (".parquet", ".arrow", ".feather", "-")
#: ``--output -``: an Arrow IPC stream on stdout.
STDOUT = "-"
#: Compressions of the text kinds, by the extension after theirs, and the module each needs.
COMPRESSED = {".gz": "gzip", ".zst": "zstandard"}
#: ``--parquet-compression`` choices (pyarrow's codec names).
PARQUET_COMPRESSIONS = ("none", "snappy", "gzip", "brotli", "zstd", "lz4")

#: Rows gathered into one parquet row group (the packets may be small), and
#: the most items of a feed made into one Arrow batch.
ROW_GROUP_ROWS = 65536


class OutputFileError(Exception):
    """``--output`` names a file this command cannot write (one line)."""


class OutputKind(NamedTuple):
    """What ``--output`` names: the kind (``.csv``, ``-``, ...) and the compression (``.gz``, ``.zst`` or "")."""

    kind: str
    compression: str


def _need(module: str, path: str, package: str) -> None:
    try:
        importlib.import_module(module)
    except ImportError:
        raise OutputFileError("--output %s needs %s: pip install %s" % (path, module.split(".")[0],
                                                                        package)) from None


def check_output(path: str, stdout_is_terminal: bool = False) -> OutputKind:
    """The kind of file ``path`` names, once it is one of :data:`KINDS` (or
    ``-``), its libraries import and its folder is there; raises
    :class:`OutputFileError` otherwise, before any call."""
    if path == STDOUT:
        if stdout_is_terminal:
            raise OutputFileError("--output - writes an Arrow IPC stream, not for a terminal: "
                                  "send stdout to a file or a pipe")
        _need("pyarrow.ipc", path, "'vantrel[arrow]'")
        return OutputKind(STDOUT, "")
    base, ext = os.path.splitext(path)
    ext = ext.lower()
    compression = ""
    if ext in COMPRESSED:
        compression = ext
        ext = os.path.splitext(base)[1].lower()
    if ext not in KINDS:
        raise OutputFileError("--output %s: the file name must end in %s, or - for stdout"
                              % (path, ", ".join(list(KINDS) + [".csv.gz", ".jsonl.zst ..."])))
    if compression and ext in ARROW_KINDS:
        raise OutputFileError("--output %s: %s files are not compressed as a whole%s"
                              % (path, ext, " (see --parquet-compression)" if ext == ".parquet" else ""))
    if ext in ARROW_KINDS:
        _need("pyarrow.parquet" if ext == ".parquet" else "pyarrow.ipc", path, "'vantrel[arrow]'")
    if compression:
        _need(COMPRESSED[compression], path, COMPRESSED[compression])
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OutputFileError("--output %s: no such folder: %s" % (path, folder))
    return OutputKind(ext, compression)


def written(path: str, write: Callable[[str], object]) -> None:
    """Run ``write(temporary_path)``, then put the file at ``path``; on any
    failure (or a signal that stops the command) the temporary file is
    removed and ``path`` is left as it was."""
    folder, name = os.path.split(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix="." + name + ".", suffix=".part", dir=folder)
    try:
        os.close(fd)
        umask = os.umask(0)  # (mkstemp makes the file 0600: give it the mode open() would)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def open_binary(path: str, compression: str) -> Any:
    """``path`` opened for writing bytes, through gzip (``.gz``) or zstandard (``.zst``)."""
    if compression == ".gz":
        import gzip

        return gzip.open(path, "wb", compresslevel=6)  # (gzip's own default level)
    raw = open(path, "wb")  # noqa: SIM115 - the caller closes it
    if compression == ".zst":
        try:
            import zstandard

            return zstandard.ZstdCompressor(level=3).stream_writer(raw)
        except BaseException:
            raw.close()
            raise
    return raw


# -- Arrow files ---------------------------------------------------------------------------


class ArrowOptions(NamedTuple):
    """``--parquet-compression`` (None: pyarrow's default) and ``--row-group-rows``."""

    compression: Optional[str] = None
    row_group_rows: int = ROW_GROUP_ROWS


def write_arrow(batches: Any, kind: str, sink: Any, on_batch: Callable[[int], None],
                options: Optional[ArrowOptions] = None) -> int:
    """The batches of ``batches`` (a ``pyarrow.RecordBatchReader``) into a parquet
    file or an Arrow IPC file or stream at ``sink`` (a path or a binary file);
    returns the number of rows."""
    import pyarrow as pa

    options = options or ArrowOptions()
    rows = 0
    schema = batches.schema
    if kind != ".parquet":
        with (pa.ipc.new_stream if kind == STDOUT else pa.ipc.new_file)(sink, schema) as ipc:
            for batch in batches:
                ipc.write_batch(batch)
                rows += batch.num_rows
                on_batch(batch.num_rows)
        return rows
    import pyarrow.parquet as pq

    with pq.ParquetWriter(sink, schema, compression=options.compression or "snappy") as parquet:
        pending: List[Any] = []
        size = 0
        for batch in batches:
            pending.append(batch)
            size += batch.num_rows
            on_batch(batch.num_rows)
            while size >= options.row_group_rows:
                table = pa.Table.from_batches(pending, schema)
                group, rest = table.slice(0, options.row_group_rows), \
                    table.slice(options.row_group_rows)
                parquet.write_table(group, row_group_size=options.row_group_rows)
                rows += group.num_rows
                pending, size = rest.to_batches(), rest.num_rows
        if size:
            parquet.write_table(pa.Table.from_batches(pending, schema),
                                row_group_size=options.row_group_rows)
            rows += size
    return rows


def arrow_error(stream: Any, error: BaseException) -> BaseException:
    """The error to report for ``error`` raised by pyarrow while it read
    ``stream`` (an ``ArrowStream``): pyarrow reports a failure of the stream
    in its own class, and the stream keeps the original (a server error, a
    protocol error, ...)."""
    original: Optional[BaseException] = getattr(stream, "_error", None)
    return error if original is None else original


#: The column of a feed of single values.
VALUE_COLUMN = "value"


def feed_batches(items: Iterator[Any], batch_rows: int = ROW_GROUP_ROWS) -> Any:
    """A feed's items as a ``pyarrow.RecordBatchReader``: dictionaries give a
    column per key (the keys of the first batch, in their order), anything
    else one column ``value``.  The columns and their types are those of the
    first ``batch_rows`` items, as ``pyarrow`` infers them; a later value
    that does not fit its column, or a key the first items lack, stops the
    answer: nothing is dropped or converted silently."""
    import pyarrow as pa

    first = list(_take(items, batch_rows))
    as_dicts = bool(first) and isinstance(first[0], dict)
    columns = _keys(first, as_dicts)
    schema = pa.RecordBatch.from_pydict(_columns(first, columns, as_dicts, 0)).schema

    def batches() -> Iterator[Any]:
        done = len(first)
        if first:
            yield pa.RecordBatch.from_pydict(_columns(first, columns, as_dicts, 0), schema=schema)
        while True:
            chunk = list(_take(items, batch_rows))
            if not chunk:
                return
            try:
                batch = pa.RecordBatch.from_pydict(_columns(chunk, columns, as_dicts, done),
                                                   schema=schema)
            except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError) as e:
                raise OutputFileError("the feed's items %d to %d do not fit the columns its "
                                      "first items gave (%s): %s"
                                      % (done, done + len(chunk) - 1, schema_text(schema), e)) from None
            done += len(chunk)
            yield batch

    return pa.RecordBatchReader.from_batches(schema, batches())


def schema_text(schema: Any) -> str:
    return ", ".join("%s %s" % (f.name, f.type) for f in schema)


def _take(items: Iterator[Any], n: int) -> Iterable[Any]:
    for item in items:
        yield item
        n -= 1
        if n == 0:
            return


def _keys(items: List[Any], as_dicts: bool) -> List[Any]:
    if not as_dicts:
        return [VALUE_COLUMN]
    columns: Dict[Any, None] = {}
    for item in items:
        if isinstance(item, dict):
            columns.update(dict.fromkeys(item))
    for name in columns:
        if not isinstance(name, str):
            raise OutputFileError("the feed's items have a key %r: column names are strings" % (name,))
    return list(columns)


def _columns(items: List[Any], columns: List[Any], as_dicts: bool, start: int) -> Dict[str, List[Any]]:
    if not as_dicts:
        for i, item in enumerate(items):
            if isinstance(item, dict):
                raise OutputFileError("item %d of the feed is a dictionary, after items that are not"
                                      % (start + i))
        return {VALUE_COLUMN: items}
    known = set(columns)
    for i, item in enumerate(items):
        if not isinstance(item, dict):
            raise OutputFileError("item %d of the feed is not a dictionary, as the items before it"
                                  % (start + i))
        if not item.keys() <= known:
            new = [k for k in item if k not in known]
            raise OutputFileError("item %d of the feed has a key %r that the first items lack: "
                                  "write it to a .jsonl file" % (start + i, new[0]))
    return {name: [item.get(name) for item in items] for name in columns}
