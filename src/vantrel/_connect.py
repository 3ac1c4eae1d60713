"""Opening a connection the way the command line and the demo do."""

from __future__ import annotations

import ssl
import warnings
from types import ModuleType
from typing import Any, List, Optional, Tuple


def open_connection(module: ModuleType, address: Tuple[str, int], auth: dict,
                    timeout: Optional[float],
                    tls: Optional[ssl.SSLContext] = None) -> Tuple[Any, List[str]]:
    """Connect through ``module.Connection.sock_factory`` and authenticate.

    With ``tls`` the socket is wrapped (the server's certificate checked
    against the host name) before the handshake.  Returns the connection and
    the notices of the server's handshake reply.  A failed handshake closes
    the socket before the error propagates.
    """
    sock = module.Connection.sock_factory(address, timeout)
    try:
        if tls is not None:
            sock = tls.wrap_socket(sock, server_hostname=address[0])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            conn = module.Connection(sock, auth)
    except BaseException:
        sock.close()
        raise
    return conn, [str(w.message) for w in caught]
