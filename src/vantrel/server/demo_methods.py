"""The demo methods of ``vantrel serve`` and ``vantrel demo``.

=============================  ==================================================
method                         answer
=============================  ==================================================
``echo(*args)``                the single argument, or the list of all of them
``add(a, b)``                  ``a + b``
``table(rows=5)``              a table stream: id, name, score (2 rows a packet)
``table2(n=4)``                a table2 stream: head ["t", "value"], [t, t*t] data
``feed(n=10)``                 a feed stream of {"seq": i, "text": "event i"}
``big_table(rows, batch)``     a table of ``rows`` rows x 8 columns (3 int, 2 float,
                               2 short text, 1 bool), ``batch`` rows a packet
``trades(day, rows=1000)``      a table of one day's trades: timestamp, symbol, price,
                               size, side (10,000 rows a packet), the same for the
                               same arguments
``fail(message, code=None)``   raises: RuntimeError, or the error of ``code``
``broken_feed(n=10, after=3)`` a feed that raises after ``after`` items
``sleep(seconds)``             waits (asynchronously), then returns ``seconds``
=============================  ==================================================
"""

from __future__ import annotations

import asyncio
import datetime
import random
from typing import Any, Dict, Iterator, List, Optional

from vantrel.share.errors import InvalidArgumentsError, get_error

from .answers import Feed, Table, Table2

__all__ = ["DEMO_NOTICE", "demo_handlers"]

DEMO_NOTICE = "welcome to the vantrel demo server"

BIG_TABLE_COLUMNS = ["id", "group", "count", "price", "ratio", "code", "label", "active"]
_LABELS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]
_NAMES = ["ada", "bob", "cyd", "dee", "eve", "fay", "gus", "hal", "ivy", "jon"]


def echo(*args: Any) -> Any:
    return args[0] if len(args) == 1 else list(args)


def add(a: Any, b: Any) -> Any:
    return a + b


def table(rows: int = 5) -> Table:
    data = [[i, _NAMES[i % len(_NAMES)], round(i * 1.5, 2)] for i in range(int(rows))]
    return Table(["id", "name", "score"], data, batch=2)


def table2(n: int = 4) -> Table2:
    return Table2(["t", "value"], [[t, t * t] for t in range(int(n))], batch=2)


def feed(n: int = 10) -> Feed:
    return Feed(({"seq": i, "text": "event %d" % i} for i in range(int(n))), batch=4)


# Every column but id and price repeats with a period of 10,000 rows.
_PERIOD = 10000
_HEADS = [(i & 15, i * 7 % 1000) for i in range(_PERIOD)]
_TAILS = [((i % 100) / 100.0, "c%04d" % i, _LABELS[i & 7], not i & 1) for i in range(_PERIOD)]


def _big_rows(rows: int, chunk: int = 4096) -> Iterator[List[Any]]:
    # Rows are made a chunk at a time (a comprehension is much cheaper than a
    # generator step per row) and handed out lazily.
    heads, tails, period = _HEADS, _TAILS, _PERIOD
    for start in range(0, rows, chunk):
        yield from [[i, *heads[i % period], i * 0.25, *tails[i % period]]
                    for i in range(start, min(rows, start + chunk))]


def big_table(rows: int = 1000, batch: int = 10000) -> Table:
    return Table(BIG_TABLE_COLUMNS, _big_rows(int(rows)), batch=int(batch))


TRADES_COLUMNS = ["timestamp", "symbol", "price", "size", "side"]
TRADES_BATCH = 10000
# symbol and its opening price on any day (each day then drifts from it)
_SYMBOLS = [("AAPL", 189.5), ("MSFT", 411.2), ("NVDA", 887.0), ("AMZN", 178.3),
            ("GOOG", 165.9), ("META", 478.1), ("TSLA", 179.6), ("ASML", 921.4)]
_SESSION_US = int(6.5 * 3600 * 1e6)  # 09:30 to 16:00


def _trade_rows(day: datetime.date, rows: int) -> Iterator[List[Any]]:
    # Seeded by the day: the same arguments give the same trades in every process.
    rng = random.Random("trades " + day.isoformat())
    prices = [p * (1 + rng.uniform(-0.03, 0.03)) for _, p in _SYMBOLS]
    opening = datetime.datetime.combine(day, datetime.time(9, 30))
    step = _SESSION_US / rows if rows else 0.0
    for i in range(rows):
        k = rng.randrange(len(_SYMBOLS))
        prices[k] *= 1 + rng.gauss(0, 0.0004)
        at = opening + datetime.timedelta(microseconds=int(i * step + rng.random() * step))
        yield [at.isoformat(timespec="microseconds"), _SYMBOLS[k][0], round(prices[k], 2),
               rng.choice((1, 5, 10, 25, 50, 100, 100, 200, 500)), rng.choice(("buy", "sell"))]


def trades(day: str = "2024-05-02", rows: int = 1000) -> Table:
    """``rows`` trades of ``day`` (YYYY-MM-DD) spread over 09:30 to 16:00, in time order."""
    try:
        date = datetime.date.fromisoformat(str(day))
    except ValueError:
        raise InvalidArgumentsError("day must be a date as YYYY-MM-DD, not %r" % (day,)) from None
    count = int(rows)
    if count < 0:
        raise InvalidArgumentsError("rows must be >= 0, not %d" % count)
    return Table(TRADES_COLUMNS, _trade_rows(date, count), batch=TRADES_BATCH)


def fail(message: str = "failure requested", code: Optional[int] = None) -> Any:
    if code is not None:
        raise get_error(code)(message)
    raise RuntimeError(message)


def broken_feed(n: int = 10, after: int = 3) -> Feed:
    def items() -> Iterator[int]:
        for i in range(int(n)):
            if i == after:
                raise RuntimeError("feed broken after %d items" % after)
            yield i
    return Feed(items(), batch=1)


async def sleep(seconds: float) -> float:
    await asyncio.sleep(seconds)
    return seconds


def demo_handlers() -> Dict[str, Any]:
    """A fresh mapping of the demo method names to their handlers."""
    return {
        "echo": echo,
        "add": add,
        "table": table,
        "table2": table2,
        "feed": feed,
        "big_table": big_table,
        "trades": trades,
        "fail": fail,
        "broken_feed": broken_feed,
        "sleep": sleep,
    }
