"""What one opening of a connection was asked for, in one home for the blocking
and the asyncio client: :func:`settings` (the address, the URL's options, the
environment and the defaults), :func:`tls_context` and :func:`connect_error`,
the error of an opening in which every host failed.
"""

from __future__ import annotations

import random
import socket
import ssl
import time
from typing import Any, Dict, Iterator, List, Mapping, Optional, Tuple, Union

from vantrel._address import AddressLike, Target, format_address, parse_target
from vantrel._tls_mismatch import explain as explain_tls_mismatch
from vantrel.errors import ConnectError, ConnectTimeout
from vantrel.share.errors import ServerError
from vantrel.utils import connection_error

__all__ = ["DEFAULT_CONNECT_TIMEOUT", "DEFAULT_MAX_ANSWER_BYTES", "UNSET", "Opening", "Settings",
           "TLSOption", "check_seconds", "connect_error", "settings", "tls_context"]

Address = Tuple[str, int]
TLSOption = Union[bool, ssl.SSLContext, None]

#: Seconds for the whole opening of a connection, unless told otherwise.
DEFAULT_CONNECT_TIMEOUT = 10.0

#: Bytes one answer may take, unless told otherwise: each packet as received
#: and as decompressed, and all the packets of one answer together.
DEFAULT_MAX_ANSWER_BYTES = 256 * 1024 * 1024

_monotonic = time.monotonic


class _Unset:
    def __repr__(self) -> str:
        return "<default>"


#: Marks an option not given, so that a URL's option or the default applies.
UNSET: Any = _Unset()


def tls_context(tls: TLSOption) -> Optional[ssl.SSLContext]:
    """The context of the ``tls`` option (of this ``connect`` and the asyncio one):
    ``True`` the default one, a context itself, ``None`` or ``False`` none."""
    if tls is None or tls is False:
        return None
    if tls is True:
        return ssl.create_default_context()
    if isinstance(tls, ssl.SSLContext):
        return tls
    raise TypeError("tls must be True, an ssl.SSLContext or None, not %s" % type(tls).__name__)


# -- settings ---------------------------------------------------------------------------


class Settings:
    """What one ``connect`` (blocking or asyncio) was asked for, with the URL's
    options and the environment applied: hosts in the order to try them, the
    authentication record and the limits.  The password stays out of the repr."""

    __slots__ = ("auth", "connect_timeout", "hosts", "max_answer_bytes", "timeout", "tls")

    def __init__(self, hosts: List[Address], auth: Dict[str, Any], timeout: Optional[float],
                 connect_timeout: Optional[float], tls: TLSOption, max_answer_bytes: int) -> None:
        self.hosts = hosts
        self.auth = auth
        self.timeout = timeout
        self.connect_timeout = connect_timeout
        self.tls = tls
        self.max_answer_bytes = max_answer_bytes

    def __repr__(self) -> str:
        return "<Settings %s user=%r timeout=%r connect_timeout=%r>" % (
            ",".join(format_address(h) for h in self.hosts), self.auth.get("user"),
            self.timeout, self.connect_timeout)

    def opening_deadline(self) -> Optional[float]:
        """When the opening must be done (on ``time.monotonic``'s clock), or None."""
        return None if self.connect_timeout is None else _monotonic() + self.connect_timeout

    def host_limit(self, deadline: Optional[float], left: int) -> Optional[float]:
        """The time of the next host: its share of what remains of the opening
        (``left`` hosts still to try), or None without a limit."""
        if deadline is None:
            return None
        return max(deadline - _monotonic(), 0.0) / left


def settings(address: Optional[AddressLike], auth: Optional[Mapping[str, Any]], *,
             timeout: Any = UNSET, connect_timeout: Any = UNSET, tls: Any = UNSET,
             load_balance: Any = UNSET, max_answer_bytes: Any = UNSET,
             env: Optional[Mapping[str, str]] = None) -> Settings:
    """The settings of one opening.  An option given here wins over the URL's,
    which wins over the default; ``auth`` over the URL's user and password,
    which win over ``VANTREL_USER`` / ``VANTREL_PASSWORD``.  Raises
    ``ValueError`` (before any socket or name look-up) for a bad address or
    option."""
    import os

    environ = os.environ if env is None else env
    target: Target = parse_target(address)
    options = target.options

    def pick(given: Any, name: str, default: Any) -> Any:
        return options.get(name, default) if given is UNSET else given

    record: Dict[str, Any]
    if auth is not None:
        record = dict(auth)
    else:
        record = target.auth() or {}
        if not record and environ.get("VANTREL_USER"):
            record = {"user": environ["VANTREL_USER"]}
            if environ.get("VANTREL_PASSWORD") is not None:
                record["password"] = environ["VANTREL_PASSWORD"]
    order = pick(load_balance, "load_balance", "in_order")
    if order not in ("in_order", "random"):
        raise ValueError("load_balance must be 'in_order' or 'random', not %r" % (order,))
    hosts = list(target.hosts)
    if order == "random":
        random.shuffle(hosts)
    limit = DEFAULT_MAX_ANSWER_BYTES if max_answer_bytes is UNSET else max_answer_bytes
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError("max_answer_bytes must be a positive integer, not %r" % (limit,))
    call_timeout = pick(timeout, "timeout", None)
    opening = pick(connect_timeout, "connect_timeout", DEFAULT_CONNECT_TIMEOUT)
    check_seconds("timeout", call_timeout)
    check_seconds("connect_timeout", opening)
    return Settings(hosts, record, call_timeout, opening, pick(tls, "tls", None), limit)


def check_seconds(name: str, value: Any) -> None:
    if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))
                              or not value > 0):
        raise ValueError("%s must be a positive number of seconds or None, not %r"
                         % (name, value))


class Opening:
    """The hosts of one opening in turn, each within its share of
    ``connect_timeout``: the logic of both connect loops, whose drivers (the
    blocking and the asyncio ``connect``) open each host their own way::

        opening = Opening(s)
        for host, limit in opening.tries():
            try:
                conn = open_one(host, limit)
            except Exception as e:
                if not opening.failed(host, e):
                    raise
                continue
            return conn
        raise opening.error()
    """

    __slots__ = ("attempts", "deadline", "settings")

    def __init__(self, s: Settings) -> None:
        self.settings = s
        self.deadline = s.opening_deadline()
        self.attempts: List[Tuple[Address, BaseException]] = []

    def tries(self) -> Iterator[Tuple[Address, Optional[float]]]:
        """Each host, with the seconds it may take (None: no limit)."""
        hosts = self.settings.hosts
        for i, host in enumerate(hosts):
            yield host, self.settings.host_limit(self.deadline, len(hosts) - i)

    def failed(self, host: Address, error: BaseException) -> bool:
        """True when ``error`` is the host's failure, and the next host is
        tried; False for what ends the opening at once (a refused handshake,
        anything but a connection's failure)."""
        if isinstance(error, ServerError) or not isinstance(error, (OSError, connection_error)):
            return False
        self.attempts.append((host, explain_tls_mismatch(error, self.settings.tls not in (None, False))))
        return True

    def error(self) -> ConnectError:
        """The error when every host failed."""
        return connect_error(self.attempts)


def connect_error(attempts: List[Tuple[Address, BaseException]]) -> ConnectError:
    """The error of an opening in which every host failed (``attempts``: each
    host and its cause), chained to the last cause."""
    all_timed_out = bool(attempts) and all(isinstance(c, socket.timeout) for _, c in attempts)
    error = (ConnectTimeout if all_timed_out else ConnectError)(attempts)
    if attempts:
        error.__cause__ = attempts[-1][1]
    return error
