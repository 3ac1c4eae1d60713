"""Small shared pieces of the vantrel package."""

from __future__ import annotations

from vantrel.share.errors import Error

__all__ = ["BrokenConnectionError", "connection_error"]


class BrokenConnectionError(Error):
    """Base of the errors that make a connection unusable or its data suspect.

    ``vantrel.connection.ProtocolError`` (and the twin's) derives from it.
    Exported as ``vantrel.BrokenConnectionError`` and
    ``vantrel.errors.BrokenConnectionError``; ``connection_error`` is its older
    name, kept because the connection modules import it under that name.
    """


BrokenConnectionError.__module__ = "vantrel.errors"

#: The older name of :class:`BrokenConnectionError`.
connection_error = BrokenConnectionError
