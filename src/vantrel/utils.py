"""Small shared pieces of the vantrel package."""

from __future__ import annotations

from vantrel.share.errors import Error

__all__ = ["connection_error"]


class connection_error(Error):  # noqa: N801 - the wire-level name of the family
    """Base of the errors that make a connection unusable or its data suspect.

    ``vantrel.connection.ProtocolError`` derives from it.
    """
