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
    "SMALL_BODY",
    "BadInput",
    "Received",
    "TooLarge",
    "decode_body",
    "empty_packet",
    "error_packet",
    "error_pair",
    "read_packet",
    "release",
]

#: Largest body, in bytes, that the server accepts from a client by default.
DEFAULT_MAX_BODY = 64 * 1024 * 1024

_NONE = int(COMPRESSION_METHOD.NONE)
#: The first byte of a TLS handshake record (a ClientHello).
_TLS_HANDSHAKE = 0x16
TLS_ON_PLAIN = ("a TLS client connected to a plain listener "
                "(start the server with TLS, or connect without)")


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


#: Bodies up to this size are read without the in-flight budget: a connection's
#: stream reader may buffer that much of what its client sends anyway.
SMALL_BODY = 64 * 1024


async def read_packet(reader: asyncio.StreamReader, max_body: int,
                      budget: Optional[ByteBudget] = None,
                      body_timeout: Optional[float] = None) -> Optional[Received]:
    """Read one packet; ``None`` when the client closed the connection between packets.

    Raises :class:`BadInput` for a malformed or truncated packet, and for a
    body not whole within ``body_timeout`` seconds of reading (a wait for the
    budget not counted).  With ``budget``, a body over :data:`SMALL_BODY`
    reserves its size from it once its first bytes have arrived; the caller
    gives ``len(body)`` back once done with the body (:func:`release`).
    """
    try:
        header = await reader.readexactly(HEADER_LENGTH)
    except asyncio.IncompleteReadError as e:
        if not e.partial:
            return None
        raise BadInput("incomplete header (%d of %d bytes)"
                       % (len(e.partial), HEADER_LENGTH)) from None
    try:
        mt, st, cm, length = _split_header(header)
    except BadInput:
        if header[0] == _TLS_HANDSHAKE and header[1] == 3:  # a TLS record, version 3.x
            raise BadInput(TLS_ON_PLAIN) from None
        raise
    if length > max_body:
        raise TooLarge("body of %d bytes exceeds the limit of %d" % (length, max_body), st)
    if length <= 0:
        return Received(mt, st, cm, None)
    left = body_timeout
    try:
        if budget is None or length <= SMALL_BODY:
            if len(getattr(reader, "_buffer", b"")) >= length:
                body = await reader.readexactly(length)  # there: no wait, no timer
            else:
                body = await asyncio.wait_for(reader.readexactly(length), left)
            return Received(mt, st, cm, body)
        # Nothing is reserved for a body that does not come.
        loop = asyncio.get_running_loop()
        start = loop.time()
        first = await asyncio.wait_for(reader.read(SMALL_BODY), left)
        if not first:
            raise asyncio.IncompleteReadError(first, length)
        if left is not None:
            left -= loop.time() - start
        await budget.acquire(length)
        try:
            rest = await asyncio.wait_for(reader.readexactly(length - len(first)), left)
        except BaseException as e:
            budget.release(length)
            if isinstance(e, asyncio.IncompleteReadError):
                raise asyncio.IncompleteReadError(first + e.partial, length) from None
            raise
        return Received(mt, st, cm, first + rest)
    except asyncio.IncompleteReadError as e:
        raise BadInput("incomplete %s body (%d of %d bytes)"
                       % (MSG_TYPE[mt], len(e.partial), length)) from None
    except asyncio.TimeoutError:
        raise BadInput("%s body of %d bytes not received within %g s"
                       % (MSG_TYPE[mt], length, body_timeout or 0)) from None


def release(packet: Received, budget: ByteBudget) -> None:
    """Give back what :func:`read_packet` reserved from ``budget`` for ``packet``'s body."""
    if packet.body is not None and len(packet.body) > SMALL_BODY:
        budget.release(len(packet.body))


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
