"""Streamed and columnar answers on the asyncio client: ``iter_rows`` and ``fetch_arrow``.

They give what ``vantrel.results`` gives on a blocking connection, with the
same errors and texts, read by the same answer core::

    async for row in vantrel.aio.iter_rows(conn, "trades", day="2024-05-02"):
        ...
    table = (await vantrel.aio.fetch_arrow(conn, "trades")).read_all()

``iter_rows`` holds about one packet's worth of rows at a time.
``fetch_arrow`` reads the whole answer before it returns (as its packets'
MessagePack bytes, not as Python objects); the Arrow batches are then built
as the consumer pulls them, without the event loop.

While either reads its answer the connection carries that call: another call
on it raises ``RuntimeError``.  An answer left before its end (an iterator
closed or dropped early, an error in the middle) closes the connection, as a
failed ``execute`` does; a server error leaves it usable.
"""

from __future__ import annotations

import operator
import time
from collections import deque
from types import ModuleType
from typing import Any, AsyncIterator, Deque, Iterator, List, Optional, Tuple

from vantrel import _arrow
from vantrel._core import END, VALUE, AnswerCore
from vantrel._lease import unwrap
from vantrel.results import AnswerKindError, ArrowStream, _schema_spec

from .connection import AsyncCall, AsyncConnection
from .deadline import Deadline
from .decode import FIRST, extend_result

__all__ = ["AsyncRowIterator", "fetch_arrow", "iter_rows"]

#: Iterator states.
_NEW, _OPEN, _DONE = "new", "open", "done"


class AsyncRowIterator(AsyncIterator[Any]):
    """The rows of a stream answer, read one packet at a time (made by :func:`iter_rows`).

    The request is sent at the first ``__anext__``.  Table rows come as
    dictionaries (as ``execute`` builds them), table2 elements and feed
    items as decoded; ``head`` is the head element of a table2 answer, once
    the first packet was read.  ``aclose()`` (or the end of ``async with``)
    before the end closes the connection.  The connection's ``timeout``
    limits the whole call, from the request to the end of the answer.
    """

    def __init__(self, conn: AsyncConnection, method: Any, args: Tuple[Any, ...],
                 kwargs: Any) -> None:
        self._conn = conn
        self._request: Optional[Tuple[Any, Tuple[Any, ...], Any]] = (method, args, kwargs)
        self._call: Optional[AsyncCall] = None
        self._rows: Iterator[Any] = iter(())
        self._given = 0  # rows of the packets before the current one
        self._size = 0
        self._keys: Any = FIRST
        self._state = _NEW
        self.head: Any = None

    def __aiter__(self) -> AsyncRowIterator:
        return self

    async def __anext__(self) -> Any:
        while True:
            for row in self._rows:
                return row
            if self._state == _DONE:
                raise StopAsyncIteration
            rows = await self._next_batch()
            self._given += self._size
            self._size = len(rows)
            self._rows = iter(rows)

    async def _next_batch(self) -> List[Any]:
        if self._state == _NEW:
            assert self._request is not None
            method, args, kwargs = self._request
            self._request = None
            self._call = self._conn.call(method, args, kwargs)
            self._state = _OPEN
            try:
                left = self._call.left_time()
                if left is None:
                    await self._call.send()
                else:
                    with Deadline(left, "the call"):
                        await self._call.send()
            except BaseException as e:
                raise self._failed(e)  # noqa: B904 - the call's own error stays the context
        call = self._call
        assert call is not None
        core = call.core
        try:
            event, value = await call.next_event()
            if event == VALUE:
                self._end()
                raise AnswerKindError("the call was answered with a single value, not a stream",
                                      value)
            if event == END:
                self._end()
                return []
            rows: List[Any] = []
            if self._keys is not FIRST:  # a first body that is missing fails as in execute
                value = core.batch_body(value)
            self._keys = extend_result(core, rows, value, self._keys)
            if core.kind == core.ns["MSG_TYPE"].TABLE2:
                self.head = self._keys
            return rows
        except AnswerKindError:
            raise
        except BaseException as e:
            failure = self._failed(e)
            if failure is e:
                raise
            raise failure from e

    def _end(self) -> None:
        if self._state == _OPEN and self._call is not None:
            self._call.end()
        self._state = _DONE
        self._rows = iter(())

    def _failed(self, exc: BaseException) -> BaseException:
        call = self._call if self._state == _OPEN else None
        self._end()
        return exc if call is None else call.failed(exc)

    def _leave(self) -> None:
        if self._state == _OPEN and self._call is not None:
            at = self._given + self._size - operator.length_hint(self._rows)
            self._call.left("an iter_rows loop stopped at row %d of an unfinished answer" % at)
        self._end()

    async def aclose(self) -> None:
        """Stop here: an answer not read to its end closes the connection."""
        self._leave()
        self._request = None

    async def __aenter__(self) -> AsyncRowIterator:
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.aclose()

    @property
    def finished(self) -> bool:
        """True once the answer was read to its end (or abandoned)."""
        return self._state == _DONE

    def __del__(self) -> None:
        if getattr(self, "_state", _DONE) == _OPEN:
            self._leave()


def iter_rows(conn: AsyncConnection, method: Any, /, *args: Any, **kwargs: Any) -> AsyncRowIterator:
    """Call ``method(*args, **kwargs)`` on the server; iterate over its stream answer.

    ``async for row in iter_rows(conn, ...)``: the request goes out at the
    first step.  A single RESPONSE answer raises :class:`AnswerKindError`
    there, carrying the body (the connection stays usable).
    """
    return AsyncRowIterator(unwrap(conn), method, args, kwargs)


class _ReadAnswer:
    """A table answer read whole from an asyncio connection, as
    :class:`vantrel.results.ArrowStream` reads an answer."""

    def __init__(self, module: ModuleType, kind: Any, first: Any, first_length: int,
                 bodies: Deque[Tuple[Any, int]]) -> None:
        self.m = module
        self.kind = kind
        self.first = first
        self.last_length = first_length
        self._bodies = bodies
        self.state = "open" if bodies else "done"

    def next_body(self) -> Any:
        if not self._bodies:
            self.state = "done"
            return None
        body, self.last_length = self._bodies.popleft()
        return body

    def abandon(self, what: str = "") -> bool:
        self._bodies.clear()
        self.state = "done"
        return False

    def failed(self, exc: BaseException) -> BaseException:
        return exc


async def fetch_arrow(conn: AsyncConnection, method: Any, /, *args: Any, arrow_schema: Any = None,
                      **kwargs: Any) -> ArrowStream:
    """Call ``method(*args, **kwargs)`` on the server; its table answer as Arrow batches.

    The awaitable gives what ``vantrel.results.fetch_arrow`` gives: an
    :class:`~vantrel.results.ArrowStream` (``__arrow_c_stream__``,
    ``read_all()``, ``to_pandas()``, ``to_polars()``), with the same
    ``arrow_schema`` and the same errors.  The whole answer is read first;
    the connection's ``timeout`` limits that as one call.
    """
    conn = unwrap(conn)  # a pool's lease: the connection behind it, while it is held
    decoder = None if arrow_schema is None else _arrow.TableDecoder(_schema_spec(arrow_schema))
    call = conn.call(method, args, kwargs)
    try:
        if call.deadline is None:
            kind, first, length, bodies = await _read_table(call)
        else:
            with Deadline(call.deadline - time.monotonic(), "the call"):
                kind, first, length, bodies = await _read_table(call)
    except AnswerKindError:
        raise
    except BaseException as e:
        failure = call.failed(e)
        if failure is e:
            raise
        raise failure from e
    finally:
        call.end()
    return ArrowStream(_ReadAnswer(conn.module, kind, first, length, bodies), decoder)  # type: ignore[arg-type]


async def _read_table(call: AsyncCall) -> Tuple[Any, Any, int, Deque[Tuple[Any, int]]]:
    core = call.core
    await call.send()
    next_event = call.read
    event, value = await next_event()
    if event == VALUE:
        raise AnswerKindError("the call was answered with a single value, not a table stream", value)
    bodies: Deque[Tuple[Any, int]] = deque()
    if event == END:
        return "empty", None, 0, bodies
    types = core.ns["MSG_TYPE"]
    if core.kind != types.TABLE:
        call.left("fetch_arrow left a %s stream unread" % types[core.kind])  # the rest is not read
        raise AnswerKindError("a %s stream is not a table: read it with iter_rows() or execute()"
                              % types[core.kind])
    first = None if value is None else _table_body(core, value)  # (None: fails as the blocking reader)
    first_length = core.length
    while True:
        event, value = await next_event()
        if event == END:
            return core.kind, first, first_length, bodies
        bodies.append((_table_body(core, value), core.length))


def _table_body(core: AnswerCore, body: Optional[bytes]) -> Any:
    return core.table_bytes(core.batch_body(body))
