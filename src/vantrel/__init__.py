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

_ERRORS = ("AuthenticationError", "CodecError", "ConnectError", "ConnectTimeout", "ConnectionClosed",
           "Error", "InvalidArgumentsError", "MethodNotFoundError", "PoolClosed", "PoolError",
           "PoolTimeout", "RemoteExecutionError", "ServerBusyError", "ServerError", "Timeout")

__all__ = ["Pool", "__version__", "connect", *_ERRORS]

if TYPE_CHECKING:
    from vantrel.client import connect as connect
    from vantrel.errors import (
        AuthenticationError as AuthenticationError,
    )
    from vantrel.errors import (
        CodecError as CodecError,
    )
    from vantrel.errors import (
        ConnectError as ConnectError,
    )
    from vantrel.errors import (
        ConnectionClosed as ConnectionClosed,
    )
    from vantrel.errors import (
        ConnectTimeout as ConnectTimeout,
    )
    from vantrel.errors import (
        Error as Error,
    )
    from vantrel.errors import (
        InvalidArgumentsError as InvalidArgumentsError,
    )
    from vantrel.errors import (
        MethodNotFoundError as MethodNotFoundError,
    )
    from vantrel.errors import (
        PoolClosed as PoolClosed,
    )
    from vantrel.errors import (
        PoolError as PoolError,
    )
    from vantrel.errors import (
        PoolTimeout as PoolTimeout,
    )
    from vantrel.errors import (
        RemoteExecutionError as RemoteExecutionError,
    )
    from vantrel.errors import (
        ServerBusyError as ServerBusyError,
    )
    from vantrel.errors import (
        ServerError as ServerError,
    )
    from vantrel.errors import (
        Timeout as Timeout,
    )
    from vantrel.pool import Pool as Pool

_LAZY = {"connect": "vantrel.client", "Pool": "vantrel.pool",
         **dict.fromkeys(_ERRORS, "vantrel.errors")}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError("module 'vantrel' has no attribute %r" % (name,))
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value
