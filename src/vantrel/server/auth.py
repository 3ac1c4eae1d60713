"""Authenticators: callables that accept or refuse a client's authentication record.

An authenticator is called with the record (a dictionary: the client's
"node" and whatever else it sent, typically "user" and "password").  It
accepts by returning ``None`` or a true value, and refuses by returning a
false value other than ``None`` or by raising.  It may be a coroutine
function.  A refused client gets an ERROR packet with the code of
:class:`~vantrel.share.errors.AuthenticationError` and is disconnected.
"""

from __future__ import annotations

import hmac
from typing import Any, Dict, Iterable, Mapping, Union

from vantrel.share.errors import AuthenticationError

__all__ = ["Credentials", "accept_all", "parse_credential"]


def accept_all(record: Mapping[str, Any]) -> bool:
    """The default authenticator: every client is accepted."""
    return True


def parse_credential(text: str) -> tuple[str, str]:
    """Split ``"USER:SECRET"`` (the secret may itself contain colons)."""
    user, sep, secret = text.partition(":")
    if not sep or not user:
        raise ValueError("expected USER:SECRET, got %r" % (text,))
    return user, secret


class Credentials:
    """Accepts a record whose "user" and "password" match one of the given pairs."""

    def __init__(self, pairs: Union[Mapping[str, str], Iterable[tuple[str, str]]]) -> None:
        items = pairs.items() if isinstance(pairs, Mapping) else pairs
        self._secrets: Dict[str, bytes] = {str(u): str(s).encode("utf-8") for u, s in items}

    def __call__(self, record: Mapping[str, Any]) -> bool:
        user = record.get("user")
        password = record.get("password")
        if not isinstance(user, str) or not isinstance(password, str):
            raise AuthenticationError("authentication failed: user and password required")
        expected = self._secrets.get(user)
        # Compare even for an unknown user, so that timing tells nothing about names.
        given = password.encode("utf-8", "surrogatepass")
        ok = hmac.compare_digest(given, expected if expected is not None else b"\0" + given)
        if not ok or expected is None:
            raise AuthenticationError("authentication failed")
        return True

    def __repr__(self) -> str:
        return "Credentials(users=%r)" % sorted(self._secrets)
