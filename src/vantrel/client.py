"""Opening a connection: ``vantrel.connect``.

``connect`` makes the socket, wraps it in TLS when asked, runs the handshake
and returns a connection that is also a context manager::

    with vantrel.connect(("127.0.0.1", 7878), {"user": "alice", "password": "secret"},
                         timeout=10) as conn:
        conn.execute("add", 2, 3)

``connect_timeout`` bounds the whole opening (TCP connect, TLS handshake and the
server's handshake reply); ``timeout`` is then the socket time-out of every
later call.  Whatever fails on the way closes the socket before the error
propagates.  A notice in the server's handshake reply reaches the application
as a warning, as with the bare connection.
"""

from __future__ import annotations

import logging
import socket
import ssl
import time
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Tuple, Type, Union

from vantrel._impls import connection_module, pure_python
from vantrel.share.errors import ServerError

if TYPE_CHECKING:
    from vantrel.connection import Connection as _Core
else:
    _Core = object

__all__ = ["Connection", "TLSOption", "connect", "connection_class", "tls_context"]

log = logging.getLogger("vantrel")
# The application decides where the package's records go; without its own
# configuration they go nowhere (not to stderr).
log.addHandler(logging.NullHandler())

Address = Tuple[str, int]
TLSOption = Union[bool, ssl.SSLContext, None]


class Connection(_Core):
    """A connection made by :func:`connect`: the connection module's ``Connection``
    with ``with`` support (leaving the block closes it).

    The classes :func:`connect` builds derive from this one and from the
    ``Connection`` of the module in use, so ``isinstance(conn, Connection)`` holds
    for either implementation.
    """

    __slots__ = ()

    def __enter__(self) -> Connection:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


_classes: Dict[str, Type[Connection]] = {}


def connection_class(impl: str = "") -> Type[Connection]:
    """The :class:`Connection` subclass built on implementation ``impl`` ("ext" or
    "twin"; by default the compiled one, or the twin under ``VANTREL_PURE_PYTHON``)."""
    if not impl:
        impl = "twin" if pure_python() else "ext"
    cls = _classes.get(impl)
    if cls is None:
        base = connection_module(impl).Connection
        cls = type("Connection", (Connection, base), {"__module__": __name__, "__slots__": ()})
        _classes[impl] = cls
    return cls


def tls_context(tls: TLSOption) -> Optional[ssl.SSLContext]:
    """The context of the ``tls`` option (of this ``connect`` and the asyncio one):
    ``True`` the default one, a context itself, ``None`` or ``False`` none."""
    if tls is None or tls is False:
        return None
    if tls is True:
        return ssl.create_default_context()
    if isinstance(tls, ssl.SSLContext):
        return tls
    raise TypeError("tls must be True, an ssl.SSLContext or None, not %s" % type(tls).__name__)


def _close(sock: socket.socket) -> None:
    # A reader made by a failed construction may still hold the socket, which
    # would defer the real close until that reader is collected (the error's
    # traceback keeps it alive): take the descriptor away from both.
    try:
        fd = sock.detach()
    except OSError:
        return
    if fd >= 0:
        socket.close(fd)


def connect(address: Address, auth: Optional[Mapping[str, Any]] = None, *,
            timeout: Optional[float] = None, connect_timeout: Optional[float] = 10.0,
            tls: TLSOption = None,
            server_hostname: Optional[str] = None, impl: str = "") -> Connection:
    """Open an authenticated connection to ``address`` (a ``(host, port)`` pair).

    - ``auth``: the authentication record (``{"user": ..., "password": ...}``).
    - ``connect_timeout``: seconds for the TCP connect, the TLS handshake and the
      server's handshake reply together (``None`` waits for ever).
    - ``timeout``: the socket time-out of the calls that follow (``None`` blocks).
    - ``tls``: ``True`` (the system's trusted certificates), an
      :class:`ssl.SSLContext` used as it is, or ``None`` for plain TCP;
      ``server_hostname`` is the name checked against the certificate (by
      default the host of ``address``).
    - ``impl``: "ext" (the compiled connection) or "twin" (its pure-Python twin);
      by default the compiled one, or the twin when ``VANTREL_PURE_PYTHON=1``.

    A refused handshake raises the server's error (an ``AuthenticationError``),
    a server that does not answer in time ``socket.timeout``; the socket is
    closed in every failure.
    """
    cls = connection_class(impl)
    context = tls_context(tls)
    record: Dict[str, Any] = dict(auth) if auth is not None else {}
    host, port = address[0], address[1]
    deadline = None if connect_timeout is None else time.monotonic() + connect_timeout

    def remaining() -> Optional[float]:
        if deadline is None:
            return None
        left = deadline - time.monotonic()
        if left <= 0:
            raise socket.timeout("connecting to %s:%s timed out" % (host, port))
        return left

    sock = cls.sock_factory((host, port), connect_timeout)
    try:
        if context is not None:
            sock.settimeout(remaining())
            sock = context.wrap_socket(sock, server_hostname=server_hostname or host)
        sock.settimeout(remaining())
        conn = cls(sock, record)
        conn.set_timeout(timeout)
    except ServerError as e:
        _close(sock)
        log.warning("handshake with %s:%s refused: %s: %s", host, port, type(e).__name__, e)
        raise
    except BaseException as e:
        _close(sock)
        log.debug("connecting to %s:%s failed: %s: %s", host, port, type(e).__name__, e)
        raise
    log.debug("connected to %s:%s", host, port)
    return conn
