"""Decoding packet bodies into the results of calls.

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
from typing import Any, List, Optional, Type

from vantrel.share.codec import unpack_one
from vantrel.share.errors import get_error
from vantrel.share.protocol import MSG_TYPE

__all__ = ["FIRST", "decode_body", "extend_result"]

#: ``keys`` of the first body of a stream: its element 0 is the header row of
#: a table, the head of a table2.
FIRST: Any = object()

_TABLE = MSG_TYPE.TABLE
_TABLE2 = MSG_TYPE.TABLE2
_ERROR = MSG_TYPE.ERROR


def _unpack(body: Optional[bytes], st: int, cm: int, error: Type[Exception]) -> Any:
    if body is None:
        return None
    try:
        return unpack_one(body, st, cm)
    except Exception as e:
        raise error(repr(e))  # noqa: B904 - the decoder's error stays the context


def decode_body(mt: int, body: Optional[bytes], st: int, cm: int, error: Type[Exception]) -> Any:
    """The decoded body of a packet; an ERROR packet with a body raises the server's error."""
    if body is None:
        return None
    decoded = _unpack(body, st, cm, error)
    if mt == _ERROR:
        code, msg = decoded
        raise get_error(code)(msg)
    return decoded


def extend_result(kind: int, result: List[Any], body: Optional[bytes], st: int, cm: int,
                  keys: Any, error: Type[Exception]) -> Any:
    """Decode one stream body of ``kind`` (TABLE, TABLE2 or FEED) into ``result``.

    ``keys`` is :data:`FIRST` for the first body of the stream; the return
    value is the ``keys`` to pass with the next body (the header row of a
    table, the head of a table2).  ``result`` is the list of rows, data
    elements or items, extended in place.
    """
    decoded = _unpack(body, st, cm, error)
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
