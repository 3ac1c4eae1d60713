"""The packet codec in C++ (see vantrel/share/codec.py); the twin is _pycodec."""

from types import ModuleType, SimpleNamespace
from typing import Any, Optional, Tuple

from ._codecbase import CodecError as CodecError
from ._codecbase import CodecUnavailableError as CodecUnavailableError

COMPRESS_THRESHOLD: int
MAX_DECOMPRESSED: int
HEADER_LENGTH: int
msgpack: SimpleNamespace
zstd: Optional[ModuleType]
brotli: Optional[ModuleType]
snappy: Optional[ModuleType]

def pack_header(msg_type: int, serializer: int, compression: int, length: int, /) -> bytes: ...
def unpack_header(header: bytes, /) -> Tuple[int, int, int, int]: ...
def pack_one(payload: Any, msg_type: int, serializer: int, compression: int,
             force_compress: bool = ...) -> bytes: ...
def unpack_one(body: bytes, st: int, cm: int, limit: int = ...) -> Any: ...
def decompress(data: bytes, cm: int, limit: int = ...) -> bytes: ...
def packb(obj: Any, /) -> bytes: ...
def unpackb(data: bytes, /) -> Any: ...
