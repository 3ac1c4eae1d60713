"""TLS started by the server on an accepted connection, under the connection's own deadline.

The listening socket is plain TCP: a connection is counted and timed from
the moment it is accepted, and its TLS handshake runs inside the same
deadline as the protocol handshake (asyncio's own TLS listener would start
the clock only after a TLS handshake that it allows a minute by default).
"""

from __future__ import annotations

import asyncio
import ssl
from typing import Any

__all__ = ["start_tls"]


async def start_tls(writer: asyncio.StreamWriter, context: ssl.SSLContext, timeout: float) -> None:
    """Run the server side of a TLS handshake on ``writer``'s connection; its streams then
    carry TLS.  ``timeout`` bounds the handshake."""
    upgrade = getattr(writer, "start_tls", None)  # Python 3.11 and later
    if upgrade is not None:
        await upgrade(context, ssl_handshake_timeout=timeout)
        return
    # Python 3.9 and 3.10: what StreamWriter.start_tls does there.  The call
    # must come before the first read, while no byte of the connection has
    # reached the stream reader yet.
    loop = asyncio.get_running_loop()
    protocol: Any = writer._protocol  # type: ignore[attr-defined]
    transport = await loop.start_tls(writer.transport, protocol, context, server_side=True,
                                     ssl_handshake_timeout=timeout)
    writer._transport = transport  # type: ignore[attr-defined]
    protocol._transport = transport
    protocol._over_ssl = True
