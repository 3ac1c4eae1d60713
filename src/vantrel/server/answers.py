"""Answers that a handler may return instead of a plain value.

* :class:`Table` — a table stream: the first TABLE packet carries the header
  row (the column names) before its data rows, later packets data rows only.
* :class:`Table2` — a table2 stream: the first TABLE2 packet carries the head
  element before its data elements.
* :class:`Feed` — a feed stream of items, without a header.
* :class:`Packets` — complete packets, already encoded, written verbatim.

The rows or items of a stream may be any iterable, a generator included, or an
asynchronous iterable; they are consumed lazily, one batch at a time, so a
large stream is never held whole in memory.  A stream without any row or item
is sent as STREAM_START, STREAM_END (the client then gets an empty list).
"""

from __future__ import annotations

from itertools import islice
from typing import Any, AsyncGenerator, AsyncIterator, Dict, Iterable, List, Optional, Sequence

from vantrel.share.codec import pack_header, pack_one
from vantrel.share.protocol import COMPRESSION_METHOD, MSG_TYPE, SERIALIZATION_TYPE

__all__ = ["DEFAULT_BATCH", "Feed", "Packets", "Stream", "Table", "Table2", "encode_stream"]

#: Rows or items per packet when a stream is built without ``batch``.
DEFAULT_BATCH = 1000


class Stream:
    """Base of the stream answers: a packet kind, an optional header and batched data."""

    kind: int = 0
    __slots__ = ("batch", "items")

    def __init__(self, items: Any, batch: int = DEFAULT_BATCH) -> None:
        batch = int(batch)
        if batch < 1:
            raise ValueError("batch must be at least 1, not %d" % batch)
        self.items = items
        self.batch = batch

    def _header(self) -> Optional[List[Any]]:
        """The elements that go before the data of the first packet, or None."""
        return None

    async def batches(self) -> AsyncGenerator[List[Any], None]:
        """The bodies of the data packets in order; nothing for an empty stream.

        No batch is kept by the generators while they wait for the next one
        (the rows of a waiting stream are the writer's to drop)."""
        header = self._header()
        first = True
        box: List[List[Any]] = []
        async for chunk in _chunks(self.items, self.batch):
            if first and header is not None:
                chunk = header + chunk
            first = False
            box.append(chunk)
            del chunk
            yield box.pop()


class Table(Stream):
    """A table stream: ``columns`` (the header row) and ``rows`` (sequences of values)."""

    kind = MSG_TYPE.TABLE
    __slots__ = ("columns",)

    def __init__(self, columns: Sequence[Any], rows: Any, batch: int = DEFAULT_BATCH) -> None:
        super().__init__(rows, batch)
        self.columns = list(columns)

    @classmethod
    def from_dicts(cls, records: Sequence[Dict[Any, Any]], columns: Optional[Sequence[Any]] = None,
                   batch: int = DEFAULT_BATCH) -> Table:
        """A table from dictionaries; the columns default to the keys of the first one."""
        if columns is None:
            columns = list(records[0]) if records else []
        cols = list(columns)
        return cls(cols, ([r.get(c) for c in cols] for r in records), batch)

    def _header(self) -> Optional[List[Any]]:
        return [self.columns]


class Table2(Stream):
    """A table2 stream: one ``head`` element, then the data ``elements``."""

    kind = MSG_TYPE.TABLE2
    __slots__ = ("head",)

    def __init__(self, head: Any, elements: Any, batch: int = DEFAULT_BATCH) -> None:
        super().__init__(elements, batch)
        self.head = head

    def _header(self) -> Optional[List[Any]]:
        return [self.head]


class Feed(Stream):
    """A feed stream of ``items``."""

    kind = MSG_TYPE.FEED
    __slots__ = ()


class Packets:
    """Complete packets, header and body, that the server writes verbatim as the answer.

    Nothing is checked or re-encoded: the packets must form one whole answer
    (a RESPONSE, an ERROR, or STREAM_START ... STREAM_END).
    """

    __slots__ = ("packets",)

    def __init__(self, packets: Iterable[bytes]) -> None:
        self.packets = list(packets)


async def _chunks(items: Any, size: int) -> AsyncIterator[List[Any]]:
    if hasattr(items, "__aiter__"):
        chunk: List[Any] = []
        async for item in items:
            chunk.append(item)
            if len(chunk) >= size:
                yield chunk
                chunk = []
        if chunk:
            yield chunk
        return
    if isinstance(items, (list, tuple)):
        for i in range(0, len(items), size):
            yield list(items[i:i + size])
        return
    it = iter(items)
    box: List[List[Any]] = []
    try:
        while True:
            box.append(list(islice(it, size)))
            if not box[0]:
                return
            yield box.pop()
    finally:
        close = getattr(it, "close", None)
        if close is not None:
            close()


def encode_stream(stream: Stream, serializer: int = SERIALIZATION_TYPE.MSGPACK,
                  compression: int = COMPRESSION_METHOD.NONE) -> Packets:
    """Encode a whole stream answer once, for a handler that returns it again and again.

    The rows must be a plain iterable (not asynchronous).  The packets are
    encoded with ``serializer`` whatever the request's serializer will be.
    """
    if hasattr(stream.items, "__aiter__"):
        raise TypeError("encode_stream needs plain rows, not an asynchronous iterable")
    header = stream._header()
    out = [pack_header(MSG_TYPE.STREAM_START, serializer, COMPRESSION_METHOD.NONE, 0)]
    it = iter(stream.items)
    first = True
    while True:
        chunk = list(islice(it, stream.batch))
        if not chunk:
            break
        if first and header is not None:
            chunk = header + chunk
        first = False
        out.append(pack_one(chunk, stream.kind, serializer, compression))
    out.append(pack_header(MSG_TYPE.STREAM_END, serializer, COMPRESSION_METHOD.NONE, 0))
    return Packets(out)
