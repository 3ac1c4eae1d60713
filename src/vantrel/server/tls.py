"""TLS started by the server on an accepted connection, under the connection's own deadline.

The listening socket is plain TCP: a connection is counted and timed from
the moment it is accepted, and its TLS handshake runs inside the same
deadline as the protocol handshake (asyncio's own TLS listener would start
the clock only after a TLS handshake that it allows a minute by default).

A TLS handshake that fails or is abandoned leaves asyncio's TLS protocol (with
its 256 KiB buffer) in reference cycles that only a full garbage collection
frees; they are broken here as the handshake fails, so that a flood of such
connections costs no memory.
"""

from __future__ import annotations

import asyncio
import ssl
import sys
from asyncio import sslproto
from typing import Any, Optional

__all__ = ["start_tls"]

#: The receive buffer of a TLS connection: asyncio's 256 KiB for each, taken
#: before the handshake, would make every pending handshake cost that much;
#: a TLS record is at most about 16 KiB.
_TLS_BUFFER = 64 * 1024

_SSLProtocol: Optional[type] = None
if sys.version_info >= (3, 11) and isinstance(getattr(sslproto.SSLProtocol, "max_size", None), int):
    class _SmallSSLProtocol(sslproto.SSLProtocol):  # type: ignore[misc,name-defined]
        max_size = _TLS_BUFFER

    _SSLProtocol = _SmallSSLProtocol


async def start_tls(writer: asyncio.StreamWriter, context: ssl.SSLContext, timeout: float) -> None:
    """Run the server side of a TLS handshake on ``writer``'s connection; its streams then
    carry TLS.  ``timeout`` bounds the handshake.  The call must come before the
    first read, while no byte of the connection has reached the stream reader."""
    loop = asyncio.get_running_loop()
    protocol: Any = writer._protocol  # type: ignore[attr-defined]
    raw = writer.transport
    try:
        if _SSLProtocol is not None:
            transport = await _start(loop, raw, protocol, context, timeout)
        else:
            transport = await loop.start_tls(raw, protocol, context, server_side=True,
                                             ssl_handshake_timeout=timeout)
    except BaseException as e:
        _forget(raw, e)
        raise
    writer._transport = transport  # type: ignore[attr-defined]
    protocol._transport = transport
    protocol._over_ssl = True


async def _start(loop: asyncio.AbstractEventLoop, raw: Any, protocol: Any,
                 context: ssl.SSLContext, timeout: float) -> Any:
    """What ``loop.start_tls`` does (Python 3.11 and later), with the smaller buffer."""
    assert _SSLProtocol is not None
    waiter = loop.create_future()
    tls = _SSLProtocol(loop, protocol, context, waiter, True, None,
                       ssl_handshake_timeout=timeout, call_connection_made=False)
    raw.pause_reading()  # data_received must not come before connection_made
    raw.set_protocol(tls)
    made = loop.call_soon(tls.connection_made, raw)
    resumed = loop.call_soon(raw.resume_reading)
    try:
        await waiter
    except BaseException:
        made.cancel()
        resumed.cancel()
        del waiter, tls  # not kept by this frame, which the error's traceback holds
        raise
    return tls._app_transport


def _forget(raw: asyncio.BaseTransport, error: BaseException) -> None:
    """Close a connection whose TLS handshake failed and break the cycles it left."""
    tls: Any = raw.get_protocol()
    raw.abort()  # type: ignore[attr-defined]
    if isinstance(getattr(tls, "_ssl_buffer", None), bytearray):
        # Should anything still refer to the protocol, its buffer goes now.
        tls._ssl_buffer = bytearray()
        tls._ssl_buffer_view = memoryview(tls._ssl_buffer)
    error.__traceback__ = None
