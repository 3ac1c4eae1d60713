"""The implementations under measurement, behind one small interface.

``ext`` is the compiled ``vantrel.connection`` (``connected``: the same as
``vantrel.connect`` opens it), ``twin`` the pure-Python
``vantrel._pyconnection`` (on the package's codec, native when it is built),
``pure`` the same twin on the pure-Python codec ``vantrel.share._pycodec``
(what a user gets without the compiled parts: the baseline of every ratio) and
``floor`` the hand-written loop of floor.py.
Each offers: ``open()`` a connection, ``calls(conn, n)`` for ``n`` small
calls, ``stream(conn, name)`` for one call answered by a stream, ``connect(n)``
for ``n`` connections opened with their handshake and closed, and ``close(conn)``.
"""

from __future__ import annotations

import socket
from typing import Any, Dict, Tuple

from floor import FloorConnection
from payloads import SMALL_REQUEST
from vantrel._impls import connection_module

AUTH: Dict[str, Any] = {"user": "bench", "password": "bench-password", "db": "main"}

ALL = ("pure", "ext", "twin", "floor")
#: Measured when asked for (--impl ext,connected): the cost of vantrel.connect's connection.
EXTRA = ("connected",)

#: The codec names the twin imports, rebound for ``pure``.
_CODEC_NAMES = ("snappy", "brotli", "msgpack", "unpack_header", "pack_one", "unpack_one", "zstd")


def _pure_connection_module() -> Any:
    """A second copy of the twin whose codec names are the pure-Python codec's."""
    import importlib.util

    twin = importlib.import_module("vantrel._pyconnection")
    try:
        pycodec = importlib.import_module("vantrel.share._pycodec")
    except ImportError:  # a tree from before the native codec: the twin is pure
        return twin
    spec = importlib.util.spec_from_file_location("vantrel._pyconnection_pure", twin.__file__)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    for name in _CODEC_NAMES:
        setattr(module, name, getattr(pycodec, name))
    return module


class ConnectionImpl:
    """``ext``, ``twin`` or ``pure``: a ``Connection`` class and its ``execute``."""

    def __init__(self, name: str, address: Tuple[str, int]) -> None:
        self.name = name
        self.address = address
        if name == "pure":
            self.module = _pure_connection_module()
        else:
            self.module = connection_module(name)

    def open(self) -> Any:
        return self.module.Connection(socket.create_connection(self.address), AUTH)

    def close(self, conn: Any) -> None:
        conn.close()

    def calls(self, conn: Any, count: int) -> Any:
        method, (a, b), kwargs = SMALL_REQUEST
        flag = kwargs["flag"]
        execute = conn.execute
        result = None
        for _ in range(count):
            result = execute(method, a, b, flag=flag)
        return result

    def stream(self, conn: Any, name: str) -> Any:
        return conn.execute(name)

    def connect(self, count: int) -> None:
        connection_class = self.module.Connection
        create = socket.create_connection
        address = self.address
        for _ in range(count):
            connection_class(create(address), AUTH).close()


class FloorImpl:
    """``floor``: the same packets through the least possible client code."""

    name = "floor"

    def __init__(self, address: Tuple[str, int]) -> None:
        from vantrel._pyconnection import DEFAULT_COMPRESSION_METHOD, DEFAULT_SERIALIZER_TYPE

        self.address = address
        self.serializer = DEFAULT_SERIALIZER_TYPE
        self.compression = DEFAULT_COMPRESSION_METHOD

    def open(self) -> FloorConnection:
        return FloorConnection(socket.create_connection(self.address), AUTH,
                               self.serializer, self.compression)

    def close(self, conn: FloorConnection) -> None:
        conn.close()

    def calls(self, conn: FloorConnection, count: int) -> Any:
        method, args, kwargs = SMALL_REQUEST
        return conn.calls(count, method, args, kwargs)

    def stream(self, conn: FloorConnection, name: str) -> Any:
        return conn.stream(name)

    def connect(self, count: int) -> None:
        create = socket.create_connection
        address = self.address
        st, cm = self.serializer, self.compression
        for _ in range(count):
            FloorConnection(create(address), AUTH, st, cm).close()


class ConnectedImpl(ConnectionImpl):
    """``connected``: the compiled connection as ``vantrel.connect`` opens it, with
    a call time-out and ``max_answer_bytes`` (its whole-call deadline and answer
    limit paid on every call), next to the bare ``ext``."""

    def __init__(self, address: Tuple[str, int]) -> None:
        super().__init__("ext", address)

    def open(self) -> Any:
        import vantrel

        return vantrel.connect(self.address, AUTH, impl="ext", timeout=600)

    def connect(self, count: int) -> None:
        import vantrel

        for _ in range(count):
            vantrel.connect(self.address, AUTH, impl="ext", timeout=600).close()


def make(name: str, address: Tuple[str, int]) -> Any:
    if name == "floor":
        return FloorImpl(address)
    if name == "connected":
        return ConnectedImpl(address)
    return ConnectionImpl(name, address)
