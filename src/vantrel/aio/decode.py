"""Decoding stream bodies into the results of calls.

:func:`extend_result` is the one place where a stream body becomes part of a
result: a TABLE body becomes row dictionaries, a TABLE2 or FEED body list
items.  It gives what the blocking client's collectors give, exception for
exception: a body that does not decode raises the protocol error with the
decoder's exception as its context; a body of the wrong shape raises what the
collectors raise (``TypeError`` for a missing body, ``IndexError`` for a
first body without its header element).
"""

from __future__ import annotations

from itertools import repeat
from typing import Any, Callable, List, Optional, Tuple

from vantrel._core import AnswerCore
from vantrel.share.codec import unpack_one
from vantrel.share.protocol import MSG_TYPE, SERIALIZATION_TYPE

__all__ = ["FIRST", "extend_result"]

#: ``keys`` of the first body of a stream: its element 0 is the header row of
#: a table, the head of a table2.
FIRST: Any = object()

_TABLE = MSG_TYPE.TABLE
_TABLE2 = MSG_TYPE.TABLE2
_MSGPACK = SERIALIZATION_TYPE.MSGPACK


def _native_decoders() -> Tuple[Optional[Callable[..., bool]], Optional[Callable[..., bool]], Any]:
    """The compiled connection's per-body decoders and the codec function they stand in
    for: they decode a MSGPACK body as the native codec's ``unpack_one`` does, directly
    into the result.  Nones without the native codec."""
    if getattr(unpack_one, "__module__", None) != "vantrel.share._ccodec":
        return None, None, None
    try:
        from vantrel import connection
    except ImportError:
        return None, None, None
    return connection._extend_rows, connection._extend_items, unpack_one


_extend_rows, _extend_items, _native_unpack_one = _native_decoders()


def extend_result(core: AnswerCore, result: List[Any], body: Optional[bytes], keys: Any) -> Any:
    """Decode one body of the stream ``core`` reads (TABLE, TABLE2 or FEED) into ``result``.

    ``keys`` is :data:`FIRST` for the first body of the stream; the return
    value is the ``keys`` to pass with the next body (the header row of a
    table, the head of a table2).  ``result`` is the list of rows, data
    elements or items, extended in place.

    A MSGPACK body after the first goes directly into ``result`` when the
    native codec decodes bodies for the connection module; any body that
    cannot (one that does not decode, or a row that cannot be made) takes the
    general path below, which gives its error.
    """
    kind = core.kind
    if (_extend_rows is not None and _extend_items is not None and type(body) is bytes
            and core.serializer == _MSGPACK and core.ns["unpack_one"] is _native_unpack_one):
        if kind == _TABLE:
            if keys is not FIRST and _extend_rows(result, keys, body, core.compression):
                return keys
        elif (kind != _TABLE2 or keys is not FIRST) and _extend_items(result, body, core.compression):
            return keys
    decoded: Any = None if body is None else core.decode(body)
    if kind == _TABLE:
        if keys is FIRST:
            keys = decoded[0]
            decoded = decoded[1:]
        result += map(dict, map(zip, repeat(keys), decoded))
    elif kind == _TABLE2:
        if keys is FIRST:
            keys = decoded[0]
            decoded = decoded[1:]
        result += decoded
    else:
        result += decoded
    return keys
