"""vantrel.server: a reference data server (asyncio, standard library and the package's codec).

::

    from vantrel.server import Server, ServerThread, Table

    server = Server({"rows": lambda n=3: Table(["i"], [[i] for i in range(n)])},
                    notice="hello")
    with ServerThread(server) as (host, port):
        ...   # vantrel.connection.Connection(socket.create_connection((host, port)), {})

See docs/server.md for handlers, answers, authentication and shutdown.
"""

from typing import Any

from .answers import DEFAULT_BATCH, Feed, Packets, Stream, Table, Table2, encode_stream
from .auth import Credentials, accept_all, parse_credential, parse_credentials, read_credentials
from .core import Server, compression_code
from .demo_methods import DEMO_NOTICE, demo_handlers
from .runner import ServerThread, run

__all__ = [
    "DEFAULT_BATCH",
    "DEMO_NOTICE",
    "Credentials",
    "Feed",
    "Packets",
    "Server",
    "ServerThread",
    "Stream",
    "Table",
    "Table2",
    "accept_all",
    "compression_code",
    "demo_handlers",
    "demo_server",
    "encode_stream",
    "parse_credential",
    "parse_credentials",
    "read_credentials",
    "run",
]


def demo_server(**options: Any) -> Server:
    """A :class:`Server` with the demo methods; ``options`` go to :class:`Server`."""
    options.setdefault("notice", DEMO_NOTICE)
    return Server(demo_handlers(), **options)
