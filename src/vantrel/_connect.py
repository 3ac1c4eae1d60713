"""Opening a connection the way the command line and the demo do."""

from __future__ import annotations

import warnings
from types import ModuleType
from typing import Any, List, Optional, Tuple


def open_connection(module: ModuleType, address: Tuple[str, int], auth: dict,
                    timeout: Optional[float]) -> Tuple[Any, List[str]]:
    """Connect through ``module.Connection.sock_factory`` and authenticate.

    Returns the connection and the notices of the server's handshake reply.
    A failed handshake closes the socket before the error propagates.
    """
    sock = module.Connection.sock_factory(address, timeout)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            conn = module.Connection(sock, auth)
    except BaseException:
        sock.close()
        raise
    return conn, [str(w.message) for w in caught]
