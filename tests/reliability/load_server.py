"""The reference server with the demo methods and a ``stats`` method, as a process of its own.

    python load_server.py

Prints the port it listens on, then serves until SIGTERM.  ``stats()`` answers
``[allocated blocks, gc-tracked objects, open descriptors]`` after a full
collection, so that a test can watch the server's memory from outside.
"""

from __future__ import annotations

import gc
import logging
import os
import sys
from typing import List

from vantrel.server import Server, demo_handlers, run


def stats() -> List[int]:
    gc.collect()
    gc.collect()
    return [sys.getallocatedblocks(), len(gc.get_objects()), len(os.listdir("/proc/self/fd"))]


def main() -> None:
    # Malformed clients are logged as warnings: keep the log to errors.
    logging.basicConfig(level=logging.ERROR)
    handlers = demo_handlers()
    handlers["stats"] = stats
    run(Server(handlers, handshake_timeout=5.0), "127.0.0.1", 0,
        on_ready=lambda address: print(address[1], flush=True))


if __name__ == "__main__":
    main()
