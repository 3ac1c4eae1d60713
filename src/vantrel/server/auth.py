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
import os
import stat
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple, Union

from vantrel.share.errors import AuthenticationError

__all__ = ["Credentials", "accept_all", "parse_credential", "parse_credentials", "read_credentials"]


def accept_all(record: Mapping[str, Any]) -> bool:
    """The default authenticator: every client is accepted."""
    return True


def parse_credential(text: str) -> tuple[str, str]:
    """Split ``"USER:SECRET"`` (the secret may itself contain colons)."""
    user, sep, secret = text.partition(":")
    if not sep or not user:
        raise ValueError("expected USER:SECRET, got %r" % (text,))
    return user, secret


def parse_credentials(text: str, where: str = "the text") -> List[Tuple[str, str]]:
    """``USER:SECRET`` lines; blank lines and lines starting with ``#`` are skipped.

    A bad line raises ValueError naming its number, never its content (a secret).
    """
    pairs = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.rstrip("\r")
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        try:
            pairs.append(parse_credential(line))
        except ValueError:
            raise ValueError("%s, line %d: expected USER:SECRET" % (where, number)) from None
    return pairs


def read_credentials(path: str) -> Tuple[List[Tuple[str, str]], Optional[str]]:
    """The pairs of a credentials file, and a warning when others than its owner may read it."""
    with open(path, encoding="utf-8") as f:
        mode = os.fstat(f.fileno()).st_mode
        pairs = parse_credentials(f.read(), path)
    warning = None
    if mode & (stat.S_IRGRP | stat.S_IROTH):
        warning = ("%s can be read by %s: its secrets are exposed (chmod 600 %s)"
                   % (path, "everyone" if mode & stat.S_IROTH else "its group", path))
    return pairs, warning


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
