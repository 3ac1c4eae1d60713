"""The progress line of ``vantrel call`` on a long answer: rows, bytes, rows/s, elapsed.

Drawn by tqdm (the ``progress`` extra, ``pip install 'vantrel[progress]'``) on
stderr, from half a second into the answer on, and only where someone
watches: stderr is a terminal and the rows go elsewhere (a file, a pipe or
``--output``).  Without tqdm there is no progress line.  The bytes are those
the socket has received (Linux: ``TCP_INFO``); elsewhere only rows are shown.
"""

from __future__ import annotations

import socket
import struct
from typing import Any, Callable, Iterable, Iterator, Optional, TypeVar

__all__ = ["Progress", "received_bytes"]

T = TypeVar("T")

#: Rows between two updates of the line.
EVERY = 1000

# struct tcp_info (linux/tcp.h): tcpi_bytes_received, a u64 at offset 128 (Linux 4.1+)
_TCP_INFO = getattr(socket, "TCP_INFO", None)
_BYTES_RECEIVED = struct.Struct("=Q")
_BYTES_RECEIVED_AT = 128


def received_bytes(sock: Any) -> Optional[int]:
    """The bytes the TCP socket ``sock`` has received so far, where the system tells."""
    if _TCP_INFO is None:
        return None
    try:
        info = sock.getsockopt(socket.IPPROTO_TCP, _TCP_INFO, 256)
    except (OSError, ValueError):
        return None
    if len(info) < _BYTES_RECEIVED_AT + _BYTES_RECEIVED.size:
        return None
    value: int = _BYTES_RECEIVED.unpack_from(info, _BYTES_RECEIVED_AT)[0]
    return value


class Progress:
    """A progress line on ``stream`` while ``enabled`` and tqdm is there; else nothing."""

    def __init__(self, enabled: bool, stream: Any, received: Callable[[], Optional[int]]) -> None:
        self._bar: Any = None
        self._received = received
        self._start = received() or 0
        if not enabled:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self._bar = tqdm(file=stream, unit=" rows", unit_scale=True, delay=0.5,
                         mininterval=0.25, leave=True,
                         bar_format="{n_fmt} rows{postfix}, {rate_fmt}, {elapsed}")

    @property
    def shown(self) -> bool:
        return self._bar is not None

    def add(self, rows: int) -> None:
        """``rows`` more rows were written."""
        bar = self._bar
        if bar is None:
            return
        received = self._received()
        if received is not None:
            bar.set_postfix_str("%.1f MB" % ((received - self._start) / 1e6), refresh=False)
        bar.update(rows)

    def counted(self, items: Iterable[T]) -> Iterator[T]:
        """``items``, counted on the line as they pass."""
        if self._bar is None:
            yield from items
            return
        n = 0
        for item in items:
            yield item
            n += 1
            if n == EVERY:
                self.add(n)
                n = 0
        self.add(n)

    def close(self) -> None:
        bar, self._bar = self._bar, None
        if bar is not None:
            bar.close()

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
