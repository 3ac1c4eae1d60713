"""The reference server in a thread, and client connections to it, for the reliability suite."""

from __future__ import annotations

import socket
from types import ModuleType
from typing import Any, Optional, Tuple

from vantrel.server import ServerThread, demo_server

TIMEOUT = 10.0
Address = Tuple[str, int]


def start_server(**options: Any) -> ServerThread:
    """A demo server (echo, add, table, table2, feed, fail, sleep, ...) without a notice."""
    options.setdefault("notice", None)
    thread = ServerThread(demo_server(**options))
    thread.start()
    return thread


def open_connection(impl: ModuleType, address: Address, auth: Optional[dict] = None,
                    timeout: float = TIMEOUT) -> Any:
    sock = socket.create_connection(address, timeout=timeout)
    try:
        return impl.Connection(sock, {"user": "tester"} if auth is None else auth)
    except BaseException:
        sock.close()
        raise


def close_quietly(conn: Any) -> None:
    try:
        conn.close()
    except (OSError, ValueError):
        pass
