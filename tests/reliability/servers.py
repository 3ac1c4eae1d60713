"""The reference server in a thread, for the reliability suite."""

from __future__ import annotations

from typing import Any

from vantrel.server import ServerThread, demo_server


def start_server(**options: Any) -> ServerThread:
    """A demo server (echo, add, table, table2, feed, fail, sleep, ...) without a notice."""
    options.setdefault("notice", None)
    thread = ServerThread(demo_server(**options))
    thread.start()
    return thread
