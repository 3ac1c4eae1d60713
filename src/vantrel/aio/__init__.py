"""vantrel.aio: the asyncio client.

::

    import vantrel.aio

    async with await vantrel.aio.connect(("127.0.0.1", 7000), {"user": "ann"}) as conn:
        rows = await conn.execute("table", 100)

    async with vantrel.aio.Pool(("127.0.0.1", 7000), {"user": "ann"}, max_size=8) as pool:
        rows = await pool.execute("table", 100)

    async for row in vantrel.aio.iter_rows(conn, "table", 1_000_000):
        ...                                       # one packet's rows in memory at a time
    table = (await vantrel.aio.fetch_arrow(conn, "table", 100)).read_all()
    table = (await vantrel.aio.fetch_arrow_many(pool, calls)).read_all()   # calls at once

Calls give what the blocking ``Connection.execute`` and ``vantrel.results``
give, with the same exceptions (``ProtocolError`` is the connection module's
own class).  See docs/aio.md.
"""

from ._many import fetch_arrow_many
from .connection import CALL_IN_PROGRESS, AsyncConnection, ProtocolError, connect
from .pool import Pool, PoolClosed, PoolError, PoolTimeout
from .results import AsyncRowIterator, fetch_arrow, iter_rows

__all__ = [
    "CALL_IN_PROGRESS",
    "AsyncConnection",
    "AsyncRowIterator",
    "Pool",
    "PoolClosed",
    "PoolError",
    "PoolTimeout",
    "ProtocolError",
    "connect",
    "fetch_arrow",
    "fetch_arrow_many",
    "iter_rows",
]
