"""Several table calls read at once into one Arrow stream, on the asyncio pool.

The calls run as tasks, each on a connection of the pool; each answer is
read whole (as its packets' bytes) and then decoded into Arrow on a worker
thread, so the event loop stays free and the decoding uses several cores.
The first call that fails cancels the others (their connections are closed,
never handed out with a stale answer in them) and the read raises
:class:`vantrel.CallError` naming it.
"""

from __future__ import annotations

import asyncio
from typing import Any, List, Optional, Sequence

from vantrel._many import TableStream, call_text, normalize_calls, unified_schema
from vantrel.errors import CallError
from vantrel.results import _optional

from .results import fetch_arrow

__all__ = ["fetch_arrow_many"]


async def fetch_arrow_many(pool: Any, calls: Sequence[Any], *, max_workers: Optional[int] = None,
                           arrow_schema: Any = None) -> TableStream:
    """Run table ``calls`` (``(method, args, kwargs)`` triples) concurrently on
    connections of the asyncio ``pool``; one Arrow stream of their batches in
    call order (``read_all()``, ``to_pandas()``, ``to_polars()``,
    ``__arrow_c_stream__``), as :func:`vantrel.results.fetch_arrow_many`.

    ``max_workers`` bounds the calls running at once (by default all of
    them, the pool's own size bounding the connections).  ``arrow_schema``
    fixes the columns of every call; without it the schema is the union of
    the calls' own.  Needs pyarrow.
    """
    pa = _optional("pyarrow")  # checked before anything is sent
    checked = normalize_calls(calls)
    schema = None if arrow_schema is None else pa.schema(arrow_schema)
    limit = asyncio.Semaphore(max_workers or len(checked) or 1)

    async def one(index: int) -> Any:
        method, args, kwargs = checked[index]
        async with limit:
            async with pool.connection() as conn:
                stream = await fetch_arrow(conn, method, *args, arrow_schema=schema, **kwargs)
            # The answer is read: the connection is back in the pool while
            # the batches are built off the event loop.
            return await asyncio.get_running_loop().run_in_executor(None, stream.read_all)

    tasks: List[asyncio.Task[Any]] = [asyncio.ensure_future(one(i)) for i in range(len(checked))]
    try:
        await asyncio.wait(tasks, return_when=asyncio.FIRST_EXCEPTION)
    finally:
        for task in tasks:
            if not task.done():
                task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
    for index, task in enumerate(tasks):
        if not task.cancelled() and task.exception() is not None:
            error = task.exception()
            assert error is not None
            raise CallError(call_text(index, checked[index]), index, error) from error
    tables = [task.result() for task in tasks]
    if schema is None:
        schema = unified_schema([t.schema for t in tables]) if tables else pa.schema([])
    return TableStream(tables, schema)
