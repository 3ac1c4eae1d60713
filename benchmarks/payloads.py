"""The answers of the benchmark scenarios, encoded once into wire packets.

Every scenario is answered by a fixed byte string: the packets of the answer
joined together.  Building them is deterministic, so the server builds them at
start-up and the client only needs their names and sizes.
"""

from __future__ import annotations

from typing import Any, Dict, List, Tuple

from vantrel.share.codec import pack_header, pack_one
from vantrel.share.protocol import COMPRESSION_METHOD, MSG_TYPE, SERIALIZATION_TYPE

MSGPACK = SERIALIZATION_TYPE.MSGPACK
NONE = COMPRESSION_METHOD.NONE
ZSTD = COMPRESSION_METHOD.ZSTD

TABLE_ROWS = 200_000
TABLE_PACKETS = 20
FEED_ITEMS = 1_000_000
FEED_PACKETS = 100

COLUMNS = ["id", "qty", "ts", "price", "weight", "symbol", "venue", "active"]
_SYMBOLS = ["AAPL", "MSFT", "GOOG", "AMZN", "NVDA", "META", "TSLA", "ORCL", "IBM", "INTC"]
_VENUES = ["XNAS", "XNYS", "ARCX", "BATS", "IEXG"]

#: The small answer of ``small_call``.
SMALL_RESPONSE = {"ok": True, "id": 1234, "value": 3.25, "name": "small"}
#: The request of ``small_call``: method, positional and keyword arguments.
SMALL_REQUEST = ("small_call", (1, "abc"), {"flag": True})


def table_row(i: int) -> List[Any]:
    """Row ``i`` of the table: 3 ints, 2 floats, 2 short strings and 1 bool."""
    return [
        i,
        (i * 7) % 5000,
        1_700_000_000 + i * 13,
        100.0 + (i % 9973) * 0.01,
        (i % 1000) / 8.0,
        _SYMBOLS[i % len(_SYMBOLS)] + str(i % 97),
        _VENUES[i % len(_VENUES)],
        i % 3 == 0,
    ]


def feed_item(i: int) -> Any:
    """Item ``i`` of the feed: small ints, short strings and small floats in turn."""
    k = i % 3
    if k == 0:
        return i % 100_000
    if k == 1:
        return "e%d" % (i % 1000)
    return (i % 1000) * 0.5


def _chunks(n: int, parts: int) -> List[range]:
    step = n // parts
    return [range(p * step, n if p == parts - 1 else (p + 1) * step) for p in range(parts)]


def _stream(msg_type: int, bodies: List[Any], compression: int) -> List[bytes]:
    packets = [pack_header(MSG_TYPE.STREAM_START, MSGPACK, NONE, 0)]
    for body in bodies:
        packets.append(pack_one(body, msg_type, MSGPACK, compression))
    packets.append(pack_header(MSG_TYPE.STREAM_END, MSGPACK, NONE, 0))
    return packets


def _table(msg_type: int, compression: int, head: Any) -> List[bytes]:
    bodies = []
    for p, chunk in enumerate(_chunks(TABLE_ROWS, TABLE_PACKETS)):
        rows = [table_row(i) for i in chunk]
        bodies.append(([head] if p == 0 else []) + rows)
    return _stream(msg_type, bodies, compression)


def _one_column(name: str, value: Any) -> List[bytes]:
    """A 200,000-row table of one column, value(i) in row i, in TABLE_PACKETS packets."""
    bodies = []
    for p, chunk in enumerate(_chunks(TABLE_ROWS, TABLE_PACKETS)):
        bodies.append(([[name]] if p == 0 else []) + [[value(i)] for i in chunk])
    return _stream(MSG_TYPE.TABLE, bodies, NONE)


def timestamp_value(i: int) -> Any:
    """Row i of the timestamp answers: seconds as in table_row()'s "ts", and microseconds."""
    from vantrel.share._codecbase import Timestamp

    return Timestamp(1_700_000_000 + i * 13, (i * 1337 % 1_000_000) * 1000)


def iso_value(i: int) -> str:
    """timestamp_value(i) as datetime.isoformat() writes it (no zone)."""
    import datetime

    when = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=1_700_000_000 + i * 13,
                                                             microseconds=i * 1337 % 1_000_000)
    return when.isoformat()


def _feed() -> List[bytes]:
    bodies = [[feed_item(i) for i in chunk] for chunk in _chunks(FEED_ITEMS, FEED_PACKETS)]
    return _stream(MSG_TYPE.FEED, bodies, NONE)


def _small() -> List[bytes]:
    return [pack_one(SMALL_RESPONSE, MSG_TYPE.RESPONSE, MSGPACK, NONE)]


def _table_1m() -> List[bytes]:
    from results_scenarios import build_table_1m  # the iter_1m scenario's answer

    return build_table_1m()


def _table_500k() -> List[bytes]:
    from results_scenarios import build_table_500k  # the parallel read's answer

    return build_table_500k()


BUILDERS = {
    "small_call": _small,
    "table_200k": lambda: _table(MSG_TYPE.TABLE, NONE, COLUMNS),
    "table_200k_zstd": lambda: _table(MSG_TYPE.TABLE, ZSTD, COLUMNS),
    "table2_200k": lambda: _table(MSG_TYPE.TABLE2, NONE, {"columns": COLUMNS, "rows": TABLE_ROWS}),
    "feed_1m": _feed,
    "table_1m": _table_1m,
    "table_500k": _table_500k,
    "table_10k": lambda: _stream(MSG_TYPE.TABLE, [[COLUMNS] + [table_row(i) for i in range(10_000)]], NONE),
    # one column each: ints (as table_row()'s "ts"), MessagePack timestamps, ISO texts
    "ints_200k": lambda: _one_column("ts", lambda i: 1_700_000_000 + i * 13),
    "timestamps_200k": lambda: _one_column("ts", timestamp_value),
    "texts_200k": lambda: _one_column("ts", iso_value),
}

#: Scenarios whose answer is large enough for its peak memory to matter.
LARGE = ("table_200k", "table_200k_zstd", "table2_200k", "feed_1m")


def build_all() -> Tuple[Dict[str, bytes], Dict[str, Dict[str, int]]]:
    """Return the joined answer of every scenario and a summary of its packets."""
    answers: Dict[str, bytes] = {}
    info: Dict[str, Dict[str, int]] = {}
    for name, build in BUILDERS.items():
        packets = build()
        answers[name] = b"".join(packets)
        info[name] = {
            "packets": len(packets),
            "bytes": len(answers[name]),
            "largest_packet": max(len(p) for p in packets),
        }
    return answers, info
