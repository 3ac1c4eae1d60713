"""The package's error family, in one place.

Every failure that ``vantrel.connect``, the pools and ``vantrel.aio`` raise at run
time is a :class:`vantrel.Error`.  Each class also derives from the builtin that
code caught before the family existed, so ``except OSError`` and
``except TimeoutError`` keep working::

    Error
    ├── ServerError                 an ERROR packet from the server (has .code)
    │   ├── AuthenticationError, MethodNotFoundError, InvalidArgumentsError,
    │   └── RemoteExecutionError, ServerBusyError
    ├── BrokenConnectionError       the connection is unusable or its data suspect
    │                               (``vantrel.utils.connection_error`` is an older name)
    │   └── ProtocolError           (one per connection module) a malformed answer
    ├── ConnectError                (also ConnectionError) no connection could be opened
    │   └── ConnectTimeout          (also Timeout) every host tried ran out of time
    ├── ConnectionClosed            (also ConnectionError) a call on a closed or broken connection
    ├── Timeout                     (also TimeoutError) a call or an opening ran out of time
    ├── CallError                   one call of several run together failed (names it)
    ├── PoolError                   the pools' own errors
    │   ├── PoolTimeout             (also Timeout) no connection within the pool's time-out
    │   └── PoolClosed              the pool was closed
    └── CodecError                  (also ValueError) a body could not be encoded or decoded
        └── EncodeError             (also TypeError) an argument of a call cannot be encoded
"""

from __future__ import annotations

import socket
import sys
from typing import Any, Mapping, Optional, Sequence, Tuple, Union

from vantrel.share.codec import CodecError
from vantrel.share.errors import (
    AuthenticationError,
    Error,
    InvalidArgumentsError,
    MethodNotFoundError,
    RemoteExecutionError,
    ServerBusyError,
    ServerError,
)
from vantrel.utils import BrokenConnectionError, connection_error

__all__ = [
    "AuthenticationError",
    "BrokenConnectionError",
    "CallError",
    "CodecError",
    "ConnectError",
    "ConnectTimeout",
    "ConnectionClosed",
    "EncodeError",
    "Error",
    "InvalidArgumentsError",
    "MethodNotFoundError",
    "PoolClosed",
    "PoolError",
    "PoolTimeout",
    "RemoteExecutionError",
    "ServerBusyError",
    "ServerError",
    "Timeout",
    "connection_error",
]


def _where(address: Optional[Tuple[str, int]]) -> str:
    if address is None:
        return "?"
    host, port = address[0], address[1]
    return "[%s]:%s" % (host, port) if ":" in host else "%s:%s" % (host, port)


class ConnectError(Error, ConnectionError):
    """No connection could be opened.  ``attempts`` holds, per host tried, the
    ``((host, port), cause)`` pair; the text names each host and its cause."""

    def __init__(self, attempts: Sequence[Tuple[Tuple[str, int], BaseException]]) -> None:
        self.attempts = list(attempts)
        parts = ["%s: %s" % (_where(a), _cause_text(c)) for a, c in self.attempts]
        super().__init__("cannot connect to " + "; ".join(parts) if parts
                         else "cannot connect: no address to try")


class ConnectionClosed(Error, ConnectionError):
    """A call on a connection that is closed or broken.  The text says which
    and why (``reason``)."""

    def __init__(self, message: str, reason: Optional[str] = None) -> None:
        super().__init__(message)
        self.reason = reason


if sys.version_info >= (3, 10):
    class Timeout(Error, TimeoutError):
        """A call or the opening of a connection ran out of time.  The text names
        the method (or the opening), the address and the limit."""
else:
    class Timeout(Error, socket.timeout, TimeoutError):  # before 3.10 socket.timeout is its own class
        """A call or the opening of a connection ran out of time.  The text names
        the method (or the opening), the address and the limit."""


class ConnectTimeout(ConnectError, Timeout):
    """No connection could be opened because every host tried ran out of
    time: caught by ``except ConnectError`` and by ``except TimeoutError``."""


class PoolError(Error):
    """Base of the pools' own errors."""


class PoolTimeout(PoolError, Timeout):
    """No connection could be handed out within the pool's ``timeout``."""


class PoolClosed(PoolError):
    """The pool was closed."""


def duration_text(seconds: float) -> str:
    """A duration as the texts say it, to three significant digits: "1 s"
    for 0.999999, "0.25 s", "12.5 s", "300 s"."""
    return "%.0f s" % seconds if seconds >= 100 else "%.3g s" % seconds


def _cause_text(exc: BaseException) -> str:
    text = str(exc)
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


class CallError(Error):
    """One call of several run together failed (``fetch_arrow_many``,
    ``vantrel.dask``): the text names the call, ``index`` is its place in the
    calls given, ``cause`` (also ``__cause__``) what it raised."""

    def __init__(self, call: str, index: int, cause: BaseException) -> None:
        super().__init__("%s failed: %s" % (call, _cause_text(cause)))
        self.index = index
        self.cause = cause


class EncodeError(CodecError, TypeError):
    """An argument of a call cannot be encoded: nothing was sent and the
    connection stays usable.  ``method`` is the call's method; ``argument``
    the argument's place among the positional ones (0 is the first after the
    method), its keyword name, or None when no single argument is at fault."""

    def __init__(self, message: str, method: Any = None,
                 argument: Union[int, str, None] = None) -> None:
        super().__init__(message)
        self.method = method
        self.argument = argument


def encode_failed(ns: Mapping[str, Any], payload: Tuple[Any, Any, Any],
                  error: BaseException) -> BaseException:
    """What the failure to pack the request ``payload`` (method, args, kwargs)
    becomes: an :class:`EncodeError` naming the method and the first argument
    that cannot be packed alone.  ``ns`` is the namespace of the connection
    module whose ``pack_one`` failed (its serializer is the one tried again).
    Run only after a failure; other errors (MemoryError) are returned as they are."""
    if not isinstance(error, (TypeError, ValueError, OverflowError)) or isinstance(error, EncodeError):
        return error
    method, args, kwargs = payload
    pack, types = ns["pack_one"], ns["MSG_TYPE"]
    serializer, compression = ns["DEFAULT_SERIALIZER_TYPE"], ns["DEFAULT_COMPRESSION_METHOD"]

    def fails(value: Any) -> bool:
        try:
            pack(value, types.REQUEST, serializer, compression)
        except (TypeError, ValueError, OverflowError):
            return True
        return False

    place: Union[int, str, None] = None
    if fails(method):
        what = "the method name (%s)" % type(method).__name__
    else:
        what = ""
        for i, value in enumerate(args):
            if fails(value):
                place, what = i, "argument %d (%s)" % (i + 1, type(value).__name__)
                break
        else:
            for name, value in kwargs.items():
                if fails(value):
                    place, what = name, "argument %s= (%s)" % (name, type(value).__name__)
                    break
    text = "call %r: cannot encode %s: %s" % (method, what, error) if what else \
        "call %r: cannot encode the request: %s" % (method, error)
    return EncodeError(text, method, place)
