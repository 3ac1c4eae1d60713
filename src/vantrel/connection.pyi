"""Type stubs of the compiled connection (vantrel.connection)."""

import select as select
import socket as socket
import warnings as warnings
from types import ModuleType
from typing import Any, Callable, Dict, List, Mapping, MutableMapping, Optional, Tuple

from vantrel.share.codec import (
    pack_one as pack_one,
)
from vantrel.share.codec import (
    unpack_header as unpack_header,
)
from vantrel.share.codec import (
    unpack_one as unpack_one,
)
from vantrel.share.errors import get_error as get_error
from vantrel.share.protocol import (
    COMPRESSION_METHOD as COMPRESSION_METHOD,
)
from vantrel.share.protocol import (
    HEADER_LENGTH as HEADER_LENGTH,
)
from vantrel.share.protocol import (
    MSG_TYPE as MSG_TYPE,
)
from vantrel.share.protocol import (
    SERIALIZATION_TYPE as SERIALIZATION_TYPE,
)
from vantrel.utils import connection_error as connection_error

snappy: Optional[ModuleType]
brotli: Optional[ModuleType]
msgpack: Optional[ModuleType]
zstd: Optional[ModuleType]

DEFAULT_COMPRESSION_METHOD: COMPRESSION_METHOD
DEFAULT_SERIALIZER_TYPE: SERIALIZATION_TYPE
# the paths over CPython's internals compiled in: "dict_entries", "globals_cache",
# "deferred_collection"
_fast_paths: frozenset[str]

def _is_connection_normal(sock: socket.socket, /) -> bool: ...
def _begin_call(conn: Connection, /) -> None: ...
def _end_call(conn: Connection, /) -> bool: ...
def _extend_rows(result: List[Any], keys: Any, body: bytes, cm: int, /) -> bool: ...
def _extend_items(result: List[Any], body: bytes, cm: int, /) -> bool: ...

class ProtocolError(connection_error): ...

class Connection:
    sock_factory: Callable[..., socket.socket]
    _socket: socket.socket
    _sf: Any
    _compression_method: COMPRESSION_METHOD
    _serializer_type: SERIALIZATION_TYPE
    _auth_info: MutableMapping[str, Any]

    @staticmethod
    def set_sock_factory(func: Callable[..., socket.socket], /) -> None: ...
    def __init__(self, sock: socket.socket, auth: Mapping[str, Any]) -> None: ...
    def set_timeout(self, timeout: Optional[float]) -> None: ...
    def is_normal(self) -> bool: ...
    def _read_one_packet(self) -> Tuple[int, Any]: ...
    def _do_auth(self, auth: Mapping[str, Any]) -> None: ...
    def close(self) -> None: ...
    def execute(self, method: Any, *args: Any, **kwargs: Any) -> Any: ...
    def feed_unpack(self, first: Any) -> List[Any]: ...
    def table_unpack(self, first: Any) -> List[Dict[Any, Any]]: ...
    def table2_unpack(self, first: Any) -> Tuple[Any, List[Any]]: ...
