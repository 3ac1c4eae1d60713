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
``trades(day, rows=1000)``     a table of one day's trades: timestamp (a MessagePack
                               timestamp), symbol, price, size, side (10,000 rows a
                               packet), the same for the same arguments
``fail(message, code=None)``   raises: RuntimeError, or the error of ``code``
``broken_feed(n=10, after=3)`` a feed that raises after ``after`` items
``sleep(seconds)``             waits (asynchronously), then returns ``seconds``
=============================  ==================================================
"""

from __future__ import annotations

import asyncio
import datetime
import functools
import itertools
import operator
import random
from typing import Any, Dict, Iterator, List, Optional

from vantrel.share._codecbase import Timestamp
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
TRADES_FIRST_DAY = datetime.date(2024, 5, 2)
# symbol and its opening price on any day (each day then drifts from it)
_SYMBOLS = [("AAPL", 189.5), ("MSFT", 411.2), ("NVDA", 887.0), ("AMZN", 178.3),
            ("GOOG", 165.9), ("META", 478.1), ("TSLA", 179.6), ("ASML", 921.4)]
_SESSION = int(6.5 * 3600)  # seconds from 09:30 to 16:00
_SIZES = (1, 5, 10, 25, 50, 100, 100, 200, 500)


class _Day:
    """What every ``trades`` call of one day reuses: the session's timestamps (one per
    second), each symbol's price in each second, and a batch's symbols, sizes and
    sides (every batch of the day has the same sequence of them)."""

    __slots__ = ("prices", "sides", "sizes", "stamps", "symbols", "where")

    def __init__(self, day: datetime.date) -> None:
        # Seeded by the day: the same arguments give the same trades in every process.
        rng = random.Random("trades " + day.isoformat())
        opening = int(datetime.datetime.combine(day, datetime.time(9, 30),
                                                datetime.timezone.utc).timestamp())
        self.stamps = [Timestamp(opening + s, 0) for s in range(_SESSION + 1)]
        # prices[second * 8 + k]: symbol k's price in that second, a random walk
        count = len(_SYMBOLS)
        levels = [p * (1 + rng.uniform(-0.03, 0.03)) for _, p in _SYMBOLS]
        steps = [rng.gauss(0, 0.0006) for _ in range(512)]
        mean = sum(steps) / len(steps)
        steps = [x - mean for x in steps]  # a walk that wanders, without a trend
        prices: List[float] = []
        for s in range(_SESSION + 1):
            for k in range(count):
                levels[k] *= 1 + steps[(s * 7 + k * 61) & 511]
            prices.extend(round(v, 2) for v in levels)
        self.prices = prices
        ks = [rng.randrange(count) for _ in range(TRADES_BATCH)]
        self.where = ks
        self.symbols = [_SYMBOLS[k][0] for k in ks]
        self.sizes = [rng.choice(_SIZES) for _ in range(TRADES_BATCH)]
        self.sides = [rng.choice(("buy", "sell")) for _ in range(TRADES_BATCH)]


@functools.lru_cache(maxsize=4)
def _trade_day(day: datetime.date) -> _Day:
    return _Day(day)


def _trade_batches(day: datetime.date, rows: int) -> Iterator[List[Any]]:
    # Rows are made a batch at a time, column by column (each by a loop that runs
    # in C), and zipped.
    d = _trade_day(day)
    stamps, prices, count = d.stamps, d.prices, len(_SYMBOLS)
    for start in range(0, rows, TRADES_BATCH):
        end = min(rows, start + TRADES_BATCH)
        # the second of row i: i * _SESSION // rows
        seconds = list(map(operator.floordiv, range(start * _SESSION, end * _SESSION, _SESSION),
                           itertools.repeat(rows)))
        where = map(operator.add, map(operator.mul, seconds, itertools.repeat(count)), d.where)
        yield list(zip(map(stamps.__getitem__, seconds), d.symbols, map(prices.__getitem__, where),
                       d.sizes, d.sides))


def _trade_day_of(day: Any) -> datetime.date:
    if isinstance(day, int) and not isinstance(day, bool):
        if abs(day) > 100_000:
            raise InvalidArgumentsError("day must be within 100,000 days of %s, not %d"
                                        % (TRADES_FIRST_DAY, day))
        return TRADES_FIRST_DAY + datetime.timedelta(days=day)
    try:
        return datetime.date.fromisoformat(str(day))
    except ValueError:
        raise InvalidArgumentsError("day must be a date as YYYY-MM-DD or a number of days "
                                    "after %s, not %r" % (TRADES_FIRST_DAY, day)) from None


def trades(day: Any = "2024-05-02", rows: int = 1000) -> Table:
    """``rows`` trades of ``day`` spread over 09:30 to 16:00 (UTC), in time order.

    ``day`` is a date as YYYY-MM-DD, or a number of days after 2024-05-02 (0 is
    that day).  The timestamps are MessagePack timestamps, to the second.
    """
    date = _trade_day_of(day)
    count = int(rows)
    if count < 0:
        raise InvalidArgumentsError("rows must be >= 0, not %d" % count)
    return Table(TRADES_COLUMNS, itertools.chain.from_iterable(_trade_batches(date, count)),
                 batch=TRADES_BATCH)


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
