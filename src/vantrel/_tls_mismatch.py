"""Why opening a connection failed when one side speaks TLS and the other does not.

A TLS client facing a plain server sees the server end the connection in the
middle of the TLS handshake (a plain vantrel server closes it on reading a
ClientHello); a plain client facing a TLS server reads a TLS record where a
packet header belongs.  Both openings (``vantrel.connect`` and
``vantrel.aio.connect``) pass a failure through :func:`explain` before
reporting it, so that the error says which side is which.
"""

from __future__ import annotations

import ssl

__all__ = ["TLSMismatchError", "explain"]

# What OpenSSL reports when the peer answers a ClientHello with plain bytes or
# with the end of the connection.
_NOT_TLS = {"WRONG_VERSION_NUMBER", "UNEXPECTED_EOF_WHILE_READING", "RECORD_LAYER_FAILURE",
            "PACKET_LENGTH_TOO_LONG", "HTTP_REQUEST", "UNKNOWN_PROTOCOL"}
# The first byte of a TLS alert and of a TLS handshake record, read as a packet's
# message type by a plain client.
_TLS_RECORDS = ("invalid message type: 21", "invalid message type: 22")


class TLSMismatchError(ConnectionError):
    """One side of the connection speaks TLS and the other does not."""


def explain(error: BaseException, tls: bool) -> BaseException:
    """``error`` itself, or a :class:`TLSMismatchError` (caused by it) that names the
    side that speaks TLS when the failure shows a mismatch."""
    if tls:
        # asyncio reports the end of the connection during a TLS handshake as a
        # ConnectionResetError without errno; the ssl module as an SSLEOFError.
        eof = type(error) is ConnectionResetError and not error.args
        if not eof and (isinstance(error, ssl.SSLCertVerificationError)
                        or not isinstance(error, ssl.SSLError)):
            return error
        # (before 3.10 the end of the connection may come as SSLZeroReturnError)
        if not eof and not isinstance(error, (ssl.SSLEOFError, ssl.SSLZeroReturnError)) \
                and getattr(error, "reason", None) not in _NOT_TLS:
            return error
        text = ("the server does not speak TLS (it ended the TLS handshake): connect without "
                "TLS, or start the server with TLS (%s)" % (error or type(error).__name__,))
    else:
        if not any(str(error).startswith(t) for t in _TLS_RECORDS):
            return error
        text = ("the server speaks TLS, this client does not: connect with TLS (%s)" % (error,))
    mismatch = TLSMismatchError(text)
    mismatch.__cause__ = error
    return mismatch
