"""Reading packets from a client and encoding the server's packets.

Every received header is validated before any body byte is read, by the
package's one header check (``vantrel._header``, with the client's texts);
whatever a client sends that the server cannot take is reported as
:class:`BadInput`, which closes that client's connection and nothing else.
"""

from __future__ import annotations

import asyncio
from typing import Any, NamedTuple, Optional

from vantrel._header import header_checker
from vantrel.share.codec import CodecError, pack_header, pack_one, unpack_header, unpack_one
from vantrel.share.errors import ServerError, code_of
from vantrel.share.protocol import COMPRESSION_METHOD, HEADER_LENGTH, MSG_TYPE, SERIALIZATION_TYPE

from .budget import ByteBudget

__all__ = [
    "DEFAULT_MAX_BODY",
    "BadInput",
    "Received",
    "TooLarge",
    "decode_body",
    "empty_packet",
    "error_packet",
    "error_pair",
    "read_packet",
]

#: Largest body, in bytes, that the server accepts from a client by default.
DEFAULT_MAX_BODY = 64 * 1024 * 1024

_NONE = int(COMPRESSION_METHOD.NONE)


class BadInput(Exception):
    """The client sent something the server cannot take: its connection is closed."""


#: The package's header check, with the client's texts, raising BadInput.
_split_header = header_checker({
    "HEADER_LENGTH": HEADER_LENGTH, "unpack_header": unpack_header, "MSG_TYPE": MSG_TYPE,
    "SERIALIZATION_TYPE": SERIALIZATION_TYPE, "COMPRESSION_METHOD": COMPRESSION_METHOD,
    "ProtocolError": BadInput})


class TooLarge(BadInput):
    """A packet announced a body over the limit: the body is not read."""

    def __init__(self, message: str, st: int) -> None:
        super().__init__(message)
        self.st = st  # the packet's serializer, for an answer the client can read


class Received(NamedTuple):
    """One packet as read from a client; ``body`` is still encoded."""

    mt: int
    st: int
    cm: int
    body: Optional[bytes]  # None for a packet without a body


async def read_packet(reader: asyncio.StreamReader, max_body: int,
                      budget: Optional[ByteBudget] = None) -> Optional[Received]:
    """Read one packet; ``None`` when the client closed the connection between packets.

    Raises :class:`BadInput` for a malformed or truncated packet.  With
    ``budget``, the body's size is reserved from it before the body is read;
    the caller gives ``len(body)`` back once done with the body.
    """
    try:
        header = await reader.readexactly(HEADER_LENGTH)
    except asyncio.IncompleteReadError as e:
        if not e.partial:
            return None
        raise BadInput("incomplete header (%d of %d bytes)"
                       % (len(e.partial), HEADER_LENGTH)) from None
    mt, st, cm, length = _split_header(header)
    if length > max_body:
        raise TooLarge("body of %d bytes exceeds the limit of %d" % (length, max_body), st)
    if length <= 0:
        return Received(mt, st, cm, None)
    if budget is not None:
        await budget.acquire(length)
    try:
        body = await reader.readexactly(length)
    except BaseException as e:
        if budget is not None:
            budget.release(length)
        if isinstance(e, asyncio.IncompleteReadError):
            raise BadInput("incomplete %s body (%d of %d bytes)"
                           % (MSG_TYPE[mt], len(e.partial), length)) from None
        raise
    return Received(mt, st, cm, body)


def decode_body(packet: Received, max_body: int = DEFAULT_MAX_BODY) -> Any:
    """The decoded body of ``packet``, ``None`` without a body; :class:`BadInput` if undecodable.

    A compressed body may expand to ``max_body`` bytes at most.
    """
    if packet.body is None:
        return None
    try:
        return unpack_one(packet.body, packet.st, packet.cm, max_body)
    except Exception as e:  # any decoder failure is the client's bad input
        # The codec's texts say what is wrong and where, never what the body holds.
        reason = str(e) if isinstance(e, CodecError) else type(e).__name__
        raise BadInput("undecodable %s body: %s" % (MSG_TYPE[packet.mt], reason)) from None


def empty_packet(mt: int, st: int) -> bytes:
    """A packet without a body (STREAM_START, STREAM_END, a HANDSHAKE without notice)."""
    return pack_header(mt, st, _NONE, 0)


def error_pair(exc: BaseException) -> tuple[int, str]:
    """The ``(code, message)`` under which ``exc`` is reported to the client."""
    if isinstance(exc, ServerError):
        return code_of(exc), str(exc)
    return code_of(exc), "%s: %s" % (type(exc).__name__, exc)


def error_packet(code: int, message: str, st: int, cm: int) -> bytes:
    """An ERROR packet with the body ``(code, message)``."""
    text = str(message).encode("utf-8", "backslashreplace").decode("utf-8")
    return pack_one((code, text), MSG_TYPE.ERROR, st, cm)
