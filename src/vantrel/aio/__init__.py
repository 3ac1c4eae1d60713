"""vantrel.aio: the asyncio client.

::

    import vantrel.aio

    async with await vantrel.aio.connect(("127.0.0.1", 7000), {"user": "ann"}) as conn:
        rows = await conn.execute("table", 100)

    async with vantrel.aio.Pool(("127.0.0.1", 7000), {"user": "ann"}, max_size=8) as pool:
        rows = await pool.execute("table", 100)

Calls give what the blocking ``Connection.execute`` gives, with the same
exceptions (``ProtocolError`` is the connection module's own class).  See
docs/aio.md.
"""

from .connection import CALL_IN_PROGRESS, AsyncConnection, ProtocolError, connect
from .pool import Pool, PoolClosed, PoolError, PoolTimeout

__all__ = [
    "CALL_IN_PROGRESS",
    "AsyncConnection",
    "Pool",
    "PoolClosed",
    "PoolError",
    "PoolTimeout",
    "ProtocolError",
    "connect",
]
