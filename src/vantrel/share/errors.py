"""Server-side errors and the codes that carry them.

An ERROR packet's body is the pair ``(code, message)``.  The client turns it
into an exception with ``get_error(code)(message)``.  Every such exception is a
:class:`ServerError` and keeps its ``code``.

=====  =========================  ==========================================
code   class                      meaning
=====  =========================  ==========================================
1      ``ServerError``            unspecified failure on the server
2      ``AuthenticationError``    the handshake was refused
3      ``MethodNotFoundError``    no handler is registered for the method
4      ``InvalidArgumentsError``  the arguments do not fit the method
5      ``RemoteExecutionError``   the handler raised an exception
6      ``ServerBusyError``        the server refuses work (shutting down, ...)
=====  =========================  ==========================================

Any other code gives a ``ServerError`` subclass that keeps that code.

:class:`Error` is the root of every failure the package raises; the client's own
classes (``vantrel.errors``) and ``vantrel.utils.connection_error`` derive from it.
"""

from __future__ import annotations

from typing import Dict, Hashable, Type

__all__ = [
    "ERROR_CODES",
    "AuthenticationError",
    "Error",
    "InvalidArgumentsError",
    "MethodNotFoundError",
    "RemoteExecutionError",
    "ServerBusyError",
    "ServerError",
    "code_of",
    "get_error",
]


class Error(Exception):
    """The root of every failure the vantrel package raises."""


class ServerError(Error):
    """An error reported by the server in an ERROR packet."""

    code: object = 1

    def __init__(self, message: object = None) -> None:
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        return str(self.message)


class AuthenticationError(ServerError):
    code = 2


class MethodNotFoundError(ServerError):
    code = 3


class InvalidArgumentsError(ServerError):
    code = 4


class RemoteExecutionError(ServerError):
    code = 5


class ServerBusyError(ServerError):
    code = 6


ERROR_CODES: Dict[int, Type[ServerError]] = {
    cls.code: cls  # type: ignore[misc]
    for cls in (ServerError, AuthenticationError, MethodNotFoundError,
                InvalidArgumentsError, RemoteExecutionError, ServerBusyError)
}

# Classes made for codes outside the table.  Bounded, so that a peer sending
# ever new codes cannot grow it without limit.
_UNKNOWN: Dict[Hashable, Type[ServerError]] = {}
_UNKNOWN_MAX = 256


def _unknown(code: object) -> Type[ServerError]:
    return type("ServerError", (ServerError,), {"code": code, "__module__": __name__})


def get_error(code: object) -> Type[ServerError]:
    """Return the exception class for an error code received from the server."""
    try:
        return ERROR_CODES[code]  # type: ignore[index]
    except KeyError:
        pass
    except TypeError:  # unhashable code: a class of its own, not remembered
        return _unknown(code)
    cls = _UNKNOWN.get(code)
    if cls is None:
        cls = _unknown(code)
        if len(_UNKNOWN) < _UNKNOWN_MAX:
            _UNKNOWN[code] = cls
    return cls


def code_of(exc: BaseException) -> int:
    """Return the code under which the server reports ``exc``."""
    if isinstance(exc, ServerError) and isinstance(exc.code, int):
        return exc.code
    return RemoteExecutionError.code
