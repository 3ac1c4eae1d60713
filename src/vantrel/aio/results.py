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

from collections import deque
from types import ModuleType
from typing import Any, AsyncIterator, Deque, Iterator, List, Optional, Tuple

from vantrel import _arrow
from vantrel._core import END, VALUE, AnswerCore
from vantrel._lease import unwrap
from vantrel.results import AnswerKindError, ArrowStream, _schema_spec

from .connection import AsyncConnection
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
    limits each wait for a packet.
    """

    def __init__(self, conn: AsyncConnection, method: Any, args: Tuple[Any, ...],
                 kwargs: Any) -> None:
        self._conn = conn
        self._request: Optional[Tuple[Any, Tuple[Any, ...], Any]] = (method, args, kwargs)
        self._core: Optional[AnswerCore] = None
        self._rows: Iterator[Any] = iter(())
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
            self._rows = iter(await self._next_batch())

    async def _next_batch(self) -> List[Any]:
        conn = self._conn
        if self._state == _NEW:
            assert self._request is not None
            method, args, kwargs = self._request
            self._request = None
            started, packet = conn._start_call(method, args, kwargs)
            self._core = started
            self._state = _OPEN
            try:
                await _limited(conn, conn._send(packet))
            except BaseException as e:
                raise self._failed(e)  # noqa: B904 - the call's own error stays the context
        core = self._core
        assert core is not None
        try:
            event, value = await _limited(conn, conn._protocol.next_event(core))
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
            raise failure  # noqa: B904 - the call's own error stays the context

    def _end(self) -> None:
        if self._state == _OPEN:
            self._conn._busy = False
        self._state = _DONE
        self._rows = iter(())

    def _failed(self, exc: BaseException) -> BaseException:
        was_open = self._state == _OPEN
        self._end()
        return self._conn._call_failed(exc) if was_open else exc

    async def aclose(self) -> None:
        """Stop here: an answer not read to its end closes the connection."""
        if self._state == _OPEN:
            self._conn._left()
        self._end()
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
            self._conn._left()
            self._conn._busy = False


def iter_rows(conn: AsyncConnection, method: Any, /, *args: Any, **kwargs: Any) -> AsyncRowIterator:
    """Call ``method(*args, **kwargs)`` on the server; iterate over its stream answer.

    ``async for row in iter_rows(conn, ...)``: the request goes out at the
    first step.  A single RESPONSE answer raises :class:`AnswerKindError`
    there, carrying the body (the connection stays usable).
    """
    return AsyncRowIterator(unwrap(conn), method, args, kwargs)


async def _limited(conn: AsyncConnection, step: Any) -> Any:
    timeout = conn._timeout
    if timeout is None:
        return await step
    with Deadline(timeout, "the call"):
        return await step


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

    def abandon(self) -> bool:
        self._bodies.clear()
        self.state = "done"
        return False


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
    core, packet = conn._start_call(method, args, kwargs)
    try:
        if conn._timeout is None:
            kind, first, length, bodies = await _read_table(conn, core, packet)
        else:
            with Deadline(conn._timeout, "the call"):
                kind, first, length, bodies = await _read_table(conn, core, packet)
    except AnswerKindError:
        raise
    except BaseException as e:
        failure = conn._call_failed(e)
        if failure is e:
            raise
        raise failure  # noqa: B904 - the call's own error stays the context
    finally:
        conn._busy = False
    return ArrowStream(_ReadAnswer(conn._module, kind, first, length, bodies), decoder)  # type: ignore[arg-type]


async def _read_table(conn: AsyncConnection, core: AnswerCore,
                      packet: bytes) -> Tuple[Any, Any, int, Deque[Tuple[Any, int]]]:
    await conn._send(packet)
    next_event = conn._protocol.next_event
    event, value = await next_event(core)
    if event == VALUE:
        raise AnswerKindError("the call was answered with a single value, not a table stream", value)
    bodies: Deque[Tuple[Any, int]] = deque()
    if event == END:
        return "empty", None, 0, bodies
    types = core.ns["MSG_TYPE"]
    if core.kind != types.TABLE:
        conn._left()  # the rest of the stream is not read
        raise AnswerKindError("a %s stream is not a table: read it with iter_rows() or execute()"
                              % types[core.kind])
    first = None if value is None else _table_body(core, value)  # (None: fails as the blocking reader)
    first_length = core.length
    while True:
        event, value = await next_event(core)
        if event == END:
            return core.kind, first, first_length, bodies
        bodies.append((_table_body(core, value), core.length))


def _table_body(core: AnswerCore, body: Optional[bytes]) -> Any:
    return core.table_bytes(core.batch_body(body))
