"""Columnar and streamed results: Arrow tables and bounded-memory iteration.

``fetch_arrow(conn, method, *args, **kwargs)`` runs a remote call whose answer
is a table and returns an :class:`ArrowStream`: an object with the Arrow
PyCapsule stream interface (``__arrow_c_stream__``) that yields one record
batch per TABLE packet, read from the connection as the consumer pulls::

    table = pyarrow.table(fetch_arrow(conn, "trades", day="2024-05-02"))
    frame = polars.from_arrow(fetch_arrow(conn, "trades"))
    frame = fetch_arrow(conn, "trades").to_pandas()

The batches are decoded in C++ straight from the packets' MessagePack bytes
into Arrow buffers (``vantrel._arrow``); pyarrow is not needed to build them.

``iter_rows(conn, method, *args, **kwargs)`` returns a :class:`RowIterator`
over the answer's rows (dictionaries, as ``execute`` builds them), table2
elements or feed items, holding about one packet's worth at a time.

Both work on the compiled connection and on its pure-Python twin.  See
docs/results.md for the column types, the errors and what happens to a
stream that is abandoned before its end.
"""

from __future__ import annotations

import importlib
import itertools
import operator
from collections import deque
from typing import Any, Callable, Deque, Iterator, List, Mapping, Optional, Sequence, Tuple

from vantrel import _arrow, _many
from vantrel._answer import DONE, OPEN, Answer, InCall
from vantrel._core import NO_HEAD
from vantrel._many import ManyStream
from vantrel.share.errors import Error

__all__ = [
    "HOLD_BACK_BYTES",
    "AnswerKindError",
    "ArrowStream",
    "ColumnTypeError",
    "InCall",
    "ManyStream",
    "RowIterator",
    "fetch_arrow",
    "fetch_arrow_many",
    "iter_rows",
]

#: A value that does not fit its column; the text names the column, the row
#: (counted from 0 over the whole answer) and both types.  A TypeError.
ColumnTypeError = _arrow.ColumnTypeError

#: While some column has seen nothing but None, later TABLE bodies are held
#: back (up to this many bytes of them) to give it a type.
HOLD_BACK_BYTES = 8 * 1024 * 1024


class AnswerKindError(Error, TypeError):
    """The call was answered with a kind of answer that this reader does not give.

    A single RESPONSE answer (not a stream): ``value`` is its decoded body, and
    the connection stays usable.  For :func:`fetch_arrow`, also a TABLE2 or
    FEED stream (``value`` is None): the rest of that stream is not read and
    the connection is put out of use.
    """

    def __init__(self, message: str, value: Any = None) -> None:
        super().__init__(message)
        self.value = value


def _optional(name: str) -> Any:
    """An optional library (pyarrow, polars), with a hint when it is missing."""
    try:
        return importlib.import_module(name)
    except ImportError as e:
        raise ImportError("%s is needed for this (pip install %s, or 'vantrel[arrow]' for pyarrow)"
                          % (name, name)) from e


def _schema_spec(schema: Any) -> Any:
    if isinstance(schema, Mapping):
        return list(schema.items())
    return schema


class ArrowStream:
    """A table answer as a stream of Arrow record batches, one per TABLE packet.

    Made by :func:`fetch_arrow`.  Its stream can be taken once, by
    ``__arrow_c_stream__`` (``pyarrow.table(s)``,
    ``pyarrow.RecordBatchReader.from_stream(s)``, ``polars.from_arrow(s)``) or
    by one of :meth:`read_all`, :meth:`to_pandas` and :meth:`to_polars`.
    Closing it (or dropping it) before the stream's end puts the connection
    out of use.
    """

    def __init__(self, answer: Answer, decoder: Optional[Any]) -> None:
        self._answer = answer
        self._decoder = decoder
        self._taken = False
        self._prepared: Optional[Tuple[Any, Deque[Tuple[Any, bool]]]] = None
        self._error: Optional[BaseException] = None

    def __repr__(self) -> str:
        # What it is and where it stands: "<vantrel.results.ArrowStream of call
        # 'trades': not taken, answer open>"; taken, once a reader has it; the
        # answer open (batches still to read), done or broken.
        method = getattr(self._answer, "method", None)
        call = "" if method is None else " of call %r" % (method,)
        return "<vantrel.results.ArrowStream%s: %s, answer %s>" % (
            call, "taken" if self._taken else "not taken", self._answer.state)

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """A PyCapsule "arrow_array_stream" over the answer's record batches.

        ``requested_schema`` (an "arrow_schema" capsule) fixes the column
        types as ``arrow_schema=`` does, unless :func:`fetch_arrow` was given
        one.  Its fields must be the answer's columns (in any order), or
        ``ValueError`` is raised and the stream is left as it was; when it
        asks for a type that is not produced here, the stream has the
        answer's own schema.
        """
        if self._taken:
            raise RuntimeError("the stream of this answer was already taken")
        chosen = None if requested_schema is None else self._requested(requested_schema)
        self._taken = True
        answer = self._answer
        decoder, held = self._prepare(chosen)

        def pull() -> Optional[Tuple[Any, bool]]:
            if held:
                return held.popleft()
            if answer.state == DONE:
                return None
            # (an answer closed before its end raises here: never a short table)
            body = answer.next_body()
            return None if body is None else (body, False)

        def close(error: Optional[BaseException]) -> None:
            if error is not None and self._error is None:
                self._error = _reader_error(answer, error)
            held.clear()
            if error is not None and answer.state == OPEN:
                answer.failed(self._error or error)
            answer.abandon("a fetch_arrow stream was released before the end of its answer")

        return decoder.stream(pull, close)

    def _requested(self, requested_schema: Any) -> Optional[Any]:
        """The decoder of a requested schema whose fields are the columns; None
        when the answer's own schema is to be used instead (arrow_schema= was
        given, or a type is asked that is not produced here).  Raises
        ValueError, and takes nothing, for other fields."""
        names = _arrow.schema_names(requested_schema)
        if self._prepared is not None:
            ours: Optional[List[str]] = self._prepared[0].names
        elif self._decoder is not None:
            ours = self._decoder.names
        elif self._answer.kind != "empty" and self._answer.first is not None:
            try:
                ours = _arrow.header_names(self._answer.first)
            except _arrow.DecodeError:
                ours = None  # the stream fails as it reads the body
        else:
            ours = None  # an empty stream: the requested columns, without rows
        if ours is not None and (len(names) != len(ours) or sorted(names) != sorted(ours)):
            raise ValueError("the requested schema's fields %s are not the answer's columns %s"
                             % (names, ours))
        if self._decoder is not None:
            return None
        try:
            return _arrow.TableDecoder(requested_schema)
        except TypeError:
            return None

    def _prepare(self, chosen: Optional[Any]) -> Tuple[Any, Deque[Tuple[Any, bool]]]:
        # The decoder, typed from the first bodies: once, for the schema and
        # the stream alike; a requested schema's decoder begins with the
        # bodies read so far.
        try:
            if self._prepared is None:
                decoder = chosen if chosen is not None else self._decoder
                if decoder is None:
                    decoder = _arrow.TableDecoder()
                self._prepared = (decoder, self._begin(decoder))
            elif chosen is not None:
                held = self._prepared[1]
                chosen.begin(held[0][0] if held else None)
                self._prepared = (chosen, held)
        except BaseException as e:
            raise self._answer.failed(e)  # noqa: B904 - the reader's own error stays the context
        return self._prepared

    def __arrow_c_schema__(self) -> Any:
        """The answer's schema as an "arrow_schema" capsule, typed from its first
        packets, so that a consumer can plan (DuckDB does) before it takes the
        stream."""
        if self._taken:
            raise RuntimeError("the stream of this answer was already taken")
        return self._prepare(None)[0].schema()

    def _begin(self, decoder: Any) -> Deque[Tuple[Any, bool]]:
        """Types the columns from the first body, and from later ones held back
        while a column has seen only None."""
        answer = self._answer
        held: Deque[Tuple[Any, bool]] = deque()
        if answer.kind == "empty":
            decoder.begin(None)
            return held
        first, answer.first = answer.first, None
        if first is None:
            raise TypeError(NO_HEAD)
        try:
            typed = decoder.begin(first)
            held.append((first, True))
            size = answer.last_length
            while not typed and size < HOLD_BACK_BYTES and answer.state == OPEN:
                body = answer.next_body()
                if body is None:
                    break
                held.append((body, False))
                size += answer.last_length
                typed = decoder.infer(body)
        except _arrow.DecodeError as e:
            raise answer.m.ProtocolError(repr(e)) from e
        return held

    def read_all(self) -> Any:
        """The whole answer as a ``pyarrow.Table`` (needs pyarrow)."""
        pa = _optional("pyarrow")
        try:
            reader = pa.RecordBatchReader._import_from_c_capsule(self.__arrow_c_stream__())
            return reader.read_all()
        except Exception:
            if self._error is not None:
                raise self._error from None
            raise

    def to_pandas(self, **options: Any) -> Any:
        """The whole answer as a ``pandas.DataFrame`` (needs pyarrow and pandas);
        ``options`` go to ``pyarrow.Table.to_pandas``."""
        return self.read_all().to_pandas(**options)

    def to_polars(self) -> Any:
        """The whole answer as a ``polars.DataFrame`` (needs polars).

        (``polars.from_arrow(stream)`` gives a Series of structs, one field
        per column; ``polars.DataFrame(stream)`` gives the frame, as here.)
        """
        pl = _optional("polars")
        try:
            return pl.DataFrame(self)
        except Exception:
            if self._error is not None:
                raise self._error from None
            raise

    def close(self) -> None:
        """Stop here: a stream not read to its end puts the connection out of use."""
        self._answer.abandon("a fetch_arrow stream was closed before the end of its answer")

    def __enter__(self) -> ArrowStream:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


def _reader_error(answer: Answer, error: BaseException) -> BaseException:
    # A body that is not a table body fails as an undecodable body does in
    # the connection's reader.
    if isinstance(error, _arrow.DecodeError):
        converted: BaseException = answer.m.ProtocolError(repr(error))
        converted.__cause__ = error
        return converted
    return error


def fetch_arrow(conn: Any, method: Any, /, *args: Any, arrow_schema: Any = None,
                **kwargs: Any) -> ArrowStream:
    """Call ``method(*args, **kwargs)`` on the server; its table answer as Arrow batches.

    ``arrow_schema`` (keyword only, never sent to the server) fixes the
    columns instead of inferring them: a ``pyarrow.Schema`` or any object
    with ``__arrow_c_schema__``, or a mapping (or list of pairs) of column
    names to type names ("int64", "double", "bool", "string", "binary",
    "null").  The columns are then the schema's, in its order.

    The request is sent and the answer read up to its first table packet
    before this returns: server errors and protocol errors of that part are
    raised here, as by ``execute``.  pyarrow is not needed: any consumer of
    the Arrow PyCapsule interface (polars, DuckDB, nanoarrow) takes the
    stream; ``read_all()`` and ``to_pandas()`` without pyarrow raise
    ImportError before the stream is taken.  A single RESPONSE answer raises
    :class:`AnswerKindError` carrying the body; a TABLE2 or FEED stream raises
    it too.
    """
    decoder = None if arrow_schema is None else _arrow.TableDecoder(_schema_spec(arrow_schema))
    answer = Answer(conn, method, args, kwargs, raw_tables=True)
    if answer.kind == "response":
        raise AnswerKindError("the call was answered with a single value, not a table stream",
                              answer.first)
    if answer.kind != "empty" and answer.kind != answer.m.MSG_TYPE.TABLE:
        answer.abandon("fetch_arrow left a %s stream unread" % answer.m.MSG_TYPE[answer.kind])
        raise AnswerKindError("a %s stream is not a table: read it with iter_rows() or execute()"
                              % answer.m.MSG_TYPE[answer.kind])
    return ArrowStream(answer, decoder)


def _rows(answer: Answer) -> Iterator[Any]:
    """The rows of the answer, one packet decoded at a time."""
    m = answer.m
    given = 0  # rows of the packets handed out before the current one
    batch: Iterator[Any] = iter(())
    size = 0
    try:
        if answer.kind == "empty":
            return
        first, answer.first = answer.first, None
        if first is None and answer.kind != m.MSG_TYPE.FEED:
            raise TypeError(NO_HEAD)
        make: Callable[[Any], Iterator[Any]] = iter
        if answer.kind == m.MSG_TYPE.TABLE:
            keys = first[0]

            def make(rows: Any) -> Iterator[Any]:
                return map(dict, map(zip, itertools.repeat(keys), rows))

        feed = answer.kind == m.MSG_TYPE.FEED
        body: Any = first if feed else itertools.islice(first, 1, None)
        while True:
            rows: Any = list(make(body))
            size = len(rows)
            batch = iter(rows)
            body = first = rows = None  # (the batch holds the rows: each is freed as it goes)
            yield from batch
            given += size
            size = 0
            body = answer.next_body()
            if body is None:
                return
    finally:
        if answer.state == OPEN:
            at = given + size - operator.length_hint(batch)
            answer.abandon("an iter_rows loop stopped at row %d of an unfinished answer" % at)


class RowIterator(Iterator[Any]):
    """The rows of a stream answer, read one packet at a time.

    Table rows come as dictionaries (as ``execute`` builds them), table2
    elements and feed items as decoded.  ``head`` is the head element of a
    table2 answer (None otherwise).  Closing the iterator (or dropping it)
    before its end puts the connection out of use.
    """

    def __init__(self, answer: Answer) -> None:
        self._answer = answer
        self.head: Any = None
        if answer.kind == answer.m.MSG_TYPE.TABLE2 and answer.first is not None:
            self.head = answer.first[0]
        # The generator holds the answer, never the iterator: dropping the
        # iterator ends the generator at once, and with it the answer.
        self._it = _rows(answer)

    def __next__(self) -> Any:
        return next(self._it)

    def __iter__(self) -> RowIterator:
        return self

    def close(self) -> None:
        """Stop here: an answer not read to its end puts the connection out of use."""
        self._it.close()  # type: ignore[attr-defined]
        self._answer.abandon("an iter_rows loop stopped at row 0 of an unfinished answer")  # (when it never began)

    def __enter__(self) -> RowIterator:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    @property
    def finished(self) -> bool:
        """True once the answer was read to its end."""
        return self._answer.state == DONE


def iter_rows(conn: Any, method: Any, /, *args: Any, **kwargs: Any) -> RowIterator:
    """Call ``method(*args, **kwargs)`` on the server; iterate over its stream answer.

    The request is sent and the answer read up to its first stream packet
    before this returns.  A single RESPONSE answer raises
    :class:`AnswerKindError` carrying the body (the connection stays usable).
    """
    answer = Answer(conn, method, args, kwargs)
    if answer.kind == "response":
        raise AnswerKindError("the call was answered with a single value, not a stream",
                              answer.first)
    return RowIterator(answer)



def fetch_arrow_many(pool: Any, calls: Sequence[Any], *, max_workers: Optional[int] = None,
                     arrow_schema: Any = None) -> ManyStream:
    """Run table ``calls`` (``(method, args, kwargs)`` triples) concurrently on
    connections of ``pool``; one Arrow stream of their batches in call order.

    ``max_workers`` bounds the calls running at once (by default as many as
    the calls, up to the pool's ``max_size``).  ``arrow_schema`` fixes the
    columns of every call; without it the schema is the union of the calls'
    own.  Needs pyarrow.  (The workers are ``vantrel._many``'s.)
    """
    _optional("pyarrow")  # checked before anything is sent
    return _many.fetch_arrow_many(fetch_arrow, pool, calls, max_workers=max_workers,
                                  arrow_schema=arrow_schema)
