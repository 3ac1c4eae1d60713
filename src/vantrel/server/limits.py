"""The server's limits on what an unauthenticated client may cost, and their defaults.

Before a client is authenticated its HANDSHAKE may announce at most
:data:`HANDSHAKE_MAX_BODY` bytes, expand to at most
:data:`HANDSHAKE_MAX_EXPANDED` bytes and hold at most
:data:`HANDSHAKE_MAX_OBJECTS` decoded objects.  A MSGPACK record is counted
before anything is built (:func:`count_msgpack` reads the item headers only and
stops at the limit); a JSON record, at most :data:`HANDSHAKE_MAX_EXPANDED`
bytes of text, is counted once decoded (:func:`count_objects`).
"""

from __future__ import annotations

import os
import resource
from typing import Any, List

__all__ = [
    "AUTH_FREE_FAILURES",
    "AUTH_MAX_DELAY",
    "BODY_TIMEOUT",
    "HANDSHAKE_MAX_BODY",
    "HANDSHAKE_MAX_EXPANDED",
    "HANDSHAKE_MAX_OBJECTS",
    "MAX_IN_FLIGHT",
    "RESERVED_FILES",
    "count_msgpack",
    "count_objects",
    "default_max_connections",
]

HANDSHAKE_MAX_BODY = 64 * 1024
HANDSHAKE_MAX_EXPANDED = 64 * 1024
HANDSHAKE_MAX_OBJECTS = 1000

#: Default budget of body bytes that all clients together may have in flight
#: (announced and being read or decoded).
MAX_IN_FLIGHT = 128 * 1024 * 1024

#: Seconds within which a request body must be whole once its header came (a
#: wait for the in-flight budget not counted), whatever the idle time-out.
BODY_TIMEOUT = 30.0

#: Failed authentications from one address before its attempts are slowed,
#: and the longest wait of an attempt (see :mod:`vantrel.server.throttle`).
AUTH_FREE_FAILURES = 3
AUTH_MAX_DELAY = 10.0

#: Descriptors kept for the server's own needs beyond those open when the
#: connection limit is derived from RLIMIT_NOFILE: its listening sockets, the
#: event loop's, a signal's wakeup pair, a refused connection's moment, the
#: files of handlers and of TLS.
RESERVED_FILES = 64


def _open_descriptors() -> int:
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return 0


def default_max_connections() -> int:
    """The soft RLIMIT_NOFILE less the descriptors already open and
    :data:`RESERVED_FILES`, at least 16 (65,536 when unlimited)."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY or soft > 65536 + RESERVED_FILES:
        return 65536
    return max(16, soft - RESERVED_FILES - _open_descriptors())


def _msgpack_kinds() -> List[Any]:
    # For each first byte: ("skip", n) a scalar of n more bytes; ("blob", w, extra)
    # a length of w bytes, then extra + length bytes; ("items", w, per) a count
    # of w bytes (0: in the byte's low bits), then per x count items; None an
    # unused byte.
    kinds: List[Any] = [None] * 256
    for b in range(0x80):
        kinds[b] = ("skip", 0)
    for b in range(0xE0, 0x100):
        kinds[b] = ("skip", 0)
    for b in range(0x80, 0x90):
        kinds[b] = ("items", 0, 2)
    for b in range(0x90, 0xA0):
        kinds[b] = ("items", 0, 1)
    for b in range(0xA0, 0xC0):
        kinds[b] = ("skip", b & 0x1F)
    for b, n in ((0xC0, 0), (0xC2, 0), (0xC3, 0), (0xCA, 4), (0xCB, 8), (0xCC, 1), (0xCD, 2),
                 (0xCE, 4), (0xCF, 8), (0xD0, 1), (0xD1, 2), (0xD2, 4), (0xD3, 8), (0xD4, 2),
                 (0xD5, 3), (0xD6, 5), (0xD7, 9), (0xD8, 17)):
        kinds[b] = ("skip", n)
    for b, w, extra in ((0xC4, 1, 0), (0xC5, 2, 0), (0xC6, 4, 0), (0xC7, 1, 1), (0xC8, 2, 1),
                        (0xC9, 4, 1), (0xD9, 1, 0), (0xDA, 2, 0), (0xDB, 4, 0)):
        kinds[b] = ("blob", w, extra)
    for b, w, per in ((0xDC, 2, 1), (0xDD, 4, 1), (0xDE, 2, 2), (0xDF, 4, 2)):
        kinds[b] = ("items", w, per)
    return kinds


_KINDS = _msgpack_kinds()


def count_msgpack(data: bytes, limit: int) -> int:
    """The objects of the MSGPACK value in ``data``, counted up to ``limit + 1``.

    Only item headers are read, and counting stops at ``limit + 1``, so the
    cost is bounded by the limit whatever the body announces.  A malformed or
    truncated body is counted as far as it goes (the decoder reports it).
    """
    pos, end, pending, count = 0, len(data), 1, 0
    while pending and pos < end:
        count += 1
        if count > limit:
            break
        pending -= 1
        kind = _KINDS[data[pos]]
        if kind is None:
            break
        if kind[0] == "skip":
            pos += 1 + kind[1]
            continue
        width = kind[1]
        value = data[pos] & 0x0F if width == 0 else int.from_bytes(data[pos + 1:pos + 1 + width], "big")
        pos += 1 + width
        if kind[0] == "blob":
            pos += kind[2] + value
        else:
            pending += kind[2] * value
    return count


def count_objects(value: Any, limit: int) -> int:
    """The objects in a decoded ``value`` (containers, their items, map keys), up to ``limit + 1``."""
    count, stack = 0, [value]
    while stack:
        item = stack.pop()
        count += 1
        if count > limit:
            break
        if isinstance(item, dict):
            stack.extend(item.keys())
            stack.extend(item.values())
        elif isinstance(item, (list, tuple)):
            stack.extend(item)
    return count
