"""Several table calls read at once into one Arrow stream: ``fetch_arrow_many``.

Each call runs on a worker thread with a connection of the pool.  The
batches are decoded in C++ with the GIL released, and a socket read releases
it too, so the calls decode on as many cores as there are workers.  The
stream hands out the batches of call 0, then of call 1, and so on.

With ``arrow_schema`` given, every call is cast to it as it arrives and a
worker holds at most a few batches ahead of the consumer.  Without it, the
schema is the union of the calls' schemas, so every call is read to its end
before the first batch is handed out.

The first call that fails stops the others: they abandon their answers (their
connections are discarded, never handed out again with a stale answer in
them) and the read raises :class:`vantrel.errors.CallError` naming the call.
"""

from __future__ import annotations

import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

from vantrel.errors import CallError

__all__ = ["Call", "ManyStream", "TableStream", "call_text", "fetch_arrow_many", "normalize_calls",
           "unified_schema"]

Call = Tuple[Any, Sequence[Any], Mapping[str, Any]]

#: Batches a worker may hold ahead of the consumer when the schema is given.
AHEAD = 4


class _Cancelled(Exception):
    """Raised inside a worker's ``with pool.connection()`` when another call
    failed, so that the pool discards the part-read connection."""


def normalize_calls(calls: Sequence[Any]) -> List[Tuple[Any, Tuple[Any, ...], Dict[str, Any]]]:
    """``(method, args, kwargs)`` triples, checked before anything is sent.
    ``(method,)`` and ``(method, args)`` are accepted too."""
    out = []
    for i, call in enumerate(calls):
        if isinstance(call, (str, bytes)) or not isinstance(call, (tuple, list)) \
                or not 1 <= len(call) <= 3:
            raise TypeError("call %d: expected (method, args, kwargs), got %r" % (i, call))
        method = call[0]
        args = tuple(call[1]) if len(call) > 1 else ()
        kwargs = dict(call[2]) if len(call) > 2 else {}
        out.append((method, args, kwargs))
    return out


def call_text(index: int, call: Tuple[Any, Tuple[Any, ...], Dict[str, Any]]) -> str:
    """``call 2 (trades(day=3))``: how an error names a call (no values of
    keyword names that look like secrets are hidden; calls carry data, not
    credentials)."""
    method, args, kwargs = call
    shown = [repr(a) for a in args] + ["%s=%r" % kv for kv in kwargs.items()]
    text = "%s(%s)" % (method, ", ".join(shown))
    if len(text) > 200:
        text = text[:197] + "..."
    return "call %d (%s)" % (index, text)


class _Slot:
    """What one call has produced so far, handed from its worker to the consumer."""

    __slots__ = ("batches", "done", "error", "schema")

    def __init__(self) -> None:
        self.batches: List[Any] = []
        self.schema: Any = None
        self.done = False
        self.error: Optional[BaseException] = None


class _StreamFace:
    """The interface of :class:`vantrel.results.ArrowStream` over ``_reader()``:
    the stream can be taken once."""

    def _reader(self) -> Any:
        raise NotImplementedError

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """A PyCapsule "arrow_array_stream" over the batches of every call, in call order."""
        return self._reader().__arrow_c_stream__(requested_schema)

    def read_all(self) -> Any:
        """The whole read as one ``pyarrow.Table``."""
        return self._reader().read_all()

    def to_pandas(self, **options: Any) -> Any:
        """The whole read as a ``pandas.DataFrame``."""
        return self.read_all().to_pandas(**options)

    def to_polars(self) -> Any:
        """The whole read as a ``polars.DataFrame``."""
        import polars as pl

        return pl.DataFrame(self.read_all())

    def close(self) -> None:
        """Stop here."""

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


class TableStream(_StreamFace):
    """Tables already read, as one stream (the asyncio ``fetch_arrow_many``)."""

    def __init__(self, tables: Sequence[Any], schema: Any) -> None:
        self._tables: Optional[List[Any]] = list(tables)
        self._schema = schema

    def _reader(self) -> Any:
        import pyarrow as pa

        tables, self._tables = self._tables, None
        if tables is None:
            raise RuntimeError("the stream of this answer was already taken")
        schema = self._schema
        batches = (batch if batch.schema == schema else _conform(pa, batch, schema)
                   for table in tables for batch in table.to_batches())
        return pa.RecordBatchReader.from_batches(schema, batches)

    def close(self) -> None:
        """Drop the tables."""
        self._tables = None


def unified_schema(schemas: Sequence[Any]) -> Any:
    """One schema for the calls: the union of theirs (a column one call lacks
    is null there; int64 and double meet as double)."""
    import pyarrow as pa

    return pa.unify_schemas(list(schemas), promote_options="permissive")


class ManyStream(_StreamFace):
    """The batches of several calls as one stream; made by :func:`fetch_arrow_many`.

    It has the interface of :class:`vantrel.results.ArrowStream`: its stream can
    be taken once, by ``__arrow_c_stream__`` or by one of :meth:`read_all`,
    :meth:`to_pandas` and :meth:`to_polars`.  :meth:`close` (or leaving a
    ``with`` block) stops the calls still running.
    """

    def __init__(self, pool: Any, calls: Sequence[Any], *, max_workers: Optional[int],
                 arrow_schema: Any, fetch: Any) -> None:
        import pyarrow as pa

        self._pa = pa
        self._fetch = fetch
        self._calls = normalize_calls(calls)
        self._schema = None if arrow_schema is None else pa.schema(arrow_schema)
        self._slots = [_Slot() for _ in self._calls]
        self._cond = threading.Condition()
        self._stop = False
        self._failed: Optional[int] = None
        self._taken = False
        workers = max_workers or min(len(self._calls), getattr(pool, "max_size", 4)) or 1
        self._pool = pool
        self._executor = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="vantrel-many")
        try:
            for i in range(len(self._calls)):
                self._executor.submit(self._run, i)
        finally:
            self._executor.shutdown(wait=False)

    # -- the workers ----------------------------------------------------------------

    def _run(self, index: int) -> None:
        slot = self._slots[index]
        method, args, kwargs = self._calls[index]
        stream = None
        try:
            if self._stop:
                raise _Cancelled()
            with self._pool.connection() as conn:
                stream = self._fetch(conn, method, *args, arrow_schema=self._schema, **kwargs)
                reader = self._pa.RecordBatchReader.from_stream(stream)
                try:
                    with self._cond:
                        slot.schema = reader.schema
                        self._cond.notify_all()
                    for batch in reader:
                        with self._cond:
                            while (self._schema is not None and len(slot.batches) >= AHEAD
                                   and not self._stop):
                                self._cond.wait()
                            if self._stop:
                                raise _Cancelled()
                            slot.batches.append(batch)
                            self._cond.notify_all()
                finally:
                    reader.close()
        except _Cancelled:
            pass
        except BaseException as e:
            # pyarrow reports a failure inside the stream as an OSError; the
            # stream keeps what was really raised (a server error, ...).
            e = getattr(stream, "_error", None) or e
            with self._cond:
                if self._failed is None and not self._stop:
                    self._failed = index
                slot.error = e
                self._stop = True
                self._cond.notify_all()
        finally:
            with self._cond:
                slot.done = True
                self._cond.notify_all()

    # -- the consumer ---------------------------------------------------------------

    def _failure(self) -> Optional[CallError]:
        # The call that failed first; the others were stopped by it.
        i = self._failed
        if i is None:
            return None
        error = self._slots[i].error
        assert error is not None
        return CallError(call_text(i, self._calls[i]), i, error)

    def _wait(self, ready: Any) -> None:
        with self._cond:
            while not ready():
                if self._stop:
                    break
                self._cond.wait()
        failure = self._failure()
        if failure is not None:
            raise failure from failure.cause

    def _unified(self) -> Any:
        self._wait(lambda: all(s.done for s in self._slots))
        schemas = [s.schema for s in self._slots if s.schema is not None]
        if not schemas:
            raise CallError("no call gave a schema", 0, RuntimeError("no schema"))
        return unified_schema(schemas)

    def _batches(self, schema: Any) -> Iterator[Any]:
        pa = self._pa
        try:
            for slot in self._slots:
                while True:
                    self._wait(lambda s=slot: bool(s.batches) or s.done)
                    with self._cond:
                        if not slot.batches:
                            break
                        batch = slot.batches.pop(0)
                        self._cond.notify_all()
                    yield batch if batch.schema == schema else _conform(pa, batch, schema)
        finally:
            self.close()

    def _reader(self) -> Any:
        if self._taken:
            raise RuntimeError("the stream of this answer was already taken")
        self._taken = True
        schema = self._schema if self._schema is not None else self._unified()
        return self._pa.RecordBatchReader.from_batches(schema, self._batches(schema))

    def close(self) -> None:
        """Stop the calls still running; their connections are discarded."""
        with self._cond:
            if not all(s.done for s in self._slots):
                self._stop = True
            for slot in self._slots:
                slot.batches.clear()
            self._cond.notify_all()


def _conform(pa: Any, batch: Any, schema: Any) -> Any:
    # A batch of one call in the unified schema: its columns cast, the columns
    # it lacks all null, in the schema's order.
    names = batch.schema.names
    columns = [batch.column(names.index(f.name)).cast(f.type) if f.name in names
               else pa.nulls(batch.num_rows, f.type) for f in schema]
    return pa.RecordBatch.from_arrays(columns, schema=schema)


def fetch_arrow_many(fetch: Any, pool: Any, calls: Sequence[Any], *,
                     max_workers: Optional[int] = None, arrow_schema: Any = None) -> ManyStream:
    """``calls`` run with ``fetch`` (``vantrel.results.fetch_arrow``) on
    connections of ``pool``: see :func:`vantrel.results.fetch_arrow_many`."""
    return ManyStream(pool, calls, max_workers=max_workers, arrow_schema=arrow_schema, fetch=fetch)
