"""``vantrel call --output FILE``: the answer written to a file, its kind by extension.

``.parquet`` and ``.arrow`` (the Arrow IPC file format) take a table answer
batch by batch through :func:`vantrel.results.fetch_arrow` and need pyarrow;
``.csv`` and ``.jsonl`` take any answer, row by row, as ``--format csv`` and
``--format jsonl`` write it.  The file is written under a temporary name
beside it and renamed at the end, so that a failed call never leaves a file
that looks whole.
"""

from __future__ import annotations

import importlib
import os
import tempfile
from typing import Any, Callable, List, Optional

__all__ = ["ARROW_KINDS", "KINDS", "OutputFileError", "check_output", "written"]

#: The extensions ``--output`` takes, and the ``--format`` of the text ones.
KINDS = {".parquet": None, ".arrow": None, ".csv": "csv", ".jsonl": "jsonl"}
ARROW_KINDS = (".parquet", ".arrow")

#: Rows gathered into one parquet row group (the packets may be small).
ROW_GROUP_ROWS = 65536


class OutputFileError(Exception):
    """``--output`` names a file this command cannot write (one line)."""


def check_output(path: str) -> str:
    """The extension of ``path``, once it is one of :data:`KINDS` and its library
    imports; raises :class:`OutputFileError` otherwise, before any call."""
    ext = os.path.splitext(path)[1].lower()
    if ext not in KINDS:
        raise OutputFileError("--output %s: the file name must end in %s"
                              % (path, ", ".join(KINDS)))
    if ext in ARROW_KINDS:
        try:
            importlib.import_module("pyarrow.parquet" if ext == ".parquet" else "pyarrow.ipc")
        except ImportError:
            raise OutputFileError("--output %s needs pyarrow: pip install 'vantrel[arrow]'"
                                  % path) from None
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OutputFileError("--output %s: no such folder: %s" % (path, folder))
    return ext


def written(path: str, write: Callable[[str], object]) -> None:
    """Run ``write(temporary_path)``, then put the file at ``path``; on any
    failure the temporary file is removed and ``path`` is left as it was."""
    folder, name = os.path.split(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix="." + name + ".", suffix=".part", dir=folder)
    os.close(fd)
    umask = os.umask(0)  # (mkstemp makes the file 0600: give it the mode open() would)
    os.umask(umask)
    os.chmod(tmp, 0o666 & ~umask)
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def write_arrow(stream: Any, ext: str, path: str, on_batch: Callable[[int], None]) -> int:
    """The batches of ``stream`` (an :class:`vantrel.results.ArrowStream`) into a
    parquet or Arrow IPC file at ``path``; returns the number of rows."""
    import pyarrow as pa

    reader = pa.RecordBatchReader.from_stream(stream)
    rows = 0
    try:
        if ext == ".arrow":
            with pa.ipc.new_file(path, reader.schema) as ipc:
                for batch in reader:
                    ipc.write_batch(batch)
                    rows += batch.num_rows
                    on_batch(batch.num_rows)
            return rows
        import pyarrow.parquet as pq

        with pq.ParquetWriter(path, reader.schema) as parquet:
            pending: List[Any] = []
            size = 0
            for batch in reader:
                pending.append(batch)
                size += batch.num_rows
                on_batch(batch.num_rows)
                if size >= ROW_GROUP_ROWS:
                    parquet.write_table(pa.Table.from_batches(pending, reader.schema))
                    rows += size
                    pending, size = [], 0
            if pending:
                parquet.write_table(pa.Table.from_batches(pending, reader.schema))
                rows += size
        return rows
    except Exception:
        # pyarrow reports a failure of the stream in its own class: the
        # stream keeps the original (a server error, a protocol error, ...)
        original: Optional[BaseException] = getattr(stream, "_error", None)
        if original is not None:
            raise original from None
        raise
