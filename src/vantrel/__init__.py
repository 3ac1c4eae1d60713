"""vantrel: a Python client for a remote data server, with a C++ connection core.

``vantrel.connect`` opens an authenticated connection, ``vantrel.Pool`` shares
connections between threads.  ``vantrel.connection`` is the compiled
connection; ``vantrel._pyconnection`` is its pure-Python twin
(``VANTREL_PURE_PYTHON=1`` makes ``connect`` and the pool use it).

Importing the package loads neither: ``connect``, ``Pool`` and the error
family (``vantrel.Error`` and its subclasses, see ``vantrel.errors``) are
imported on first use.
"""

import importlib
from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

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
    "Pool",
    "PoolClosed",
    "PoolError",
    "PoolTimeout",
    "RemoteExecutionError",
    "ServerBusyError",
    "ServerError",
    "Timeout",
    "__version__",
    "connect",
]

if TYPE_CHECKING:
    from vantrel.client import connect
    from vantrel.errors import (
        AuthenticationError,
        BrokenConnectionError,
        CallError,
        CodecError,
        ConnectError,
        ConnectionClosed,
        ConnectTimeout,
        EncodeError,
        Error,
        InvalidArgumentsError,
        MethodNotFoundError,
        PoolClosed,
        PoolError,
        PoolTimeout,
        RemoteExecutionError,
        ServerBusyError,
        ServerError,
        Timeout,
    )
    from vantrel.pool import Pool

_ERRORS = [name for name in __all__ if name not in ("Pool", "__version__", "connect")]
_LAZY = {"connect": "vantrel.client", "Pool": "vantrel.pool",
         **dict.fromkeys(_ERRORS, "vantrel.errors")}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError("module 'vantrel' has no attribute %r" % (name,))
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value
