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
import warnings
from typing import Any, Dict, Iterator, List, Mapping, Optional, Tuple, Union

from vantrel._address import TLS_FILE_OPTIONS, AddressLike, Target, format_address, parse_target
from vantrel._tls_mismatch import explain as explain_tls_mismatch
from vantrel.errors import ConnectError, ConnectTimeout
from vantrel.share.errors import ServerError
from vantrel.utils import connection_error

__all__ = ["CONNECT_TIMEOUT", "DEFAULT_CONNECT_TIMEOUT", "DEFAULT_MAX_ANSWER_BYTES", "LOAD_BALANCE",
           "TIMEOUT", "TLS", "UNSET", "AuthOption", "Opening",
           "Settings", "TLSOption", "auth_record", "check_seconds", "connect_error", "settings",
           "tls_context", "url_options", "url_tls"]

Address = Tuple[str, int]
TLSOption = Union[bool, ssl.SSLContext, None]
#: What ``auth`` may be: the record (``{"user": ..., "password": ...}``), a
#: ``(user, password)`` pair, or None.
AuthOption = Union[Mapping[str, Any], Tuple[Any, Any], None]

#: Seconds for the whole opening of a connection, unless told otherwise.
DEFAULT_CONNECT_TIMEOUT = 10.0

#: Bytes one answer may take, unless told otherwise: each packet as received
#: and as decompressed, and all the packets of one answer together.
DEFAULT_MAX_ANSWER_BYTES = 256 * 1024 * 1024

_monotonic = time.monotonic


class _Unset:
    """An option not given, so that a URL's option or the default applies; its
    repr, which ``inspect.signature`` and ``help()`` show, says which."""

    __slots__ = ("_text",)

    def __init__(self, text: str) -> None:
        self._text = text

    def __repr__(self) -> str:
        return "<%s>" % self._text


def _url_or(name: str, default: Any) -> Any:
    return _Unset("the URL's %s, else %r" % (name, default))


#: Marks an option not given (each option of ``connect`` has its own, which
#: names what applies then).
UNSET: Any = _Unset("the URL's, else the default")
TIMEOUT: Any = _url_or("timeout", None)
CONNECT_TIMEOUT: Any = _url_or("connect_timeout", DEFAULT_CONNECT_TIMEOUT)
TLS: Any = _url_or("tls", None)
LOAD_BALANCE: Any = _url_or("load_balance", "in_order")


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


def url_tls(options: Mapping[str, Any]) -> TLSOption:
    """The ``tls`` of a URL's options: ``tls`` itself, or a context made from
    ``tls_ca`` (the CA file that signs the server's certificate),
    ``tls_cert`` and ``tls_key`` (the client's certificate and key) and
    ``tls_verify=false`` (no check of the server's certificate, with a
    warning).  Any of those means TLS.  Raises ``ValueError`` for a file that
    cannot be loaded, or those options with ``tls=false``."""
    given = [n for n in TLS_FILE_OPTIONS + ("tls_verify",) if n in options]
    if not given:
        return options.get("tls")
    if options.get("tls") is False:
        raise ValueError("%s with tls=false: leave out tls=false to use TLS" % ", ".join(given))
    ca, cert, key = (options.get(n) for n in TLS_FILE_OPTIONS)
    if key is not None and cert is None:
        raise ValueError("tls_key needs tls_cert")
    try:
        context = ssl.create_default_context(cafile=ca)
        if cert is not None:
            context.load_cert_chain(cert, key)
    except (ssl.SSLError, OSError) as e:
        files = ", ".join("%s=%s" % (n, options[n]) for n in TLS_FILE_OPTIONS if n in options)
        raise ValueError("cannot load %s: %s" % (files, getattr(e, "reason", None) or e)) from None
    if options.get("tls_verify") is False:
        warnings.warn("tls_verify=false: the server's certificate is not checked, so the "
                      "connection is encrypted but the server is not authenticated",
                      RuntimeWarning, stacklevel=4)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    return context


def url_options(options: Mapping[str, Any]) -> Dict[str, Any]:
    """A URL's options as keyword arguments of ``connect``: the TLS options
    made into one ``tls``."""
    made = {k: v for k, v in options.items() if k not in TLS_FILE_OPTIONS and k != "tls_verify"}
    if "tls" in made or len(made) != len(options):
        made["tls"] = url_tls(options)
    return made


def auth_record(auth: AuthOption) -> Optional[Dict[str, Any]]:
    """The authentication record of an ``auth`` argument: a mapping as it is,
    a ``(user, password)`` pair (a None password left out), or None."""
    if auth is None:
        return None
    if isinstance(auth, Mapping):
        return dict(auth)
    if isinstance(auth, tuple) and len(auth) == 2:
        record = {"user": auth[0]}
        if auth[1] is not None:
            record["password"] = auth[1]
        return record
    raise TypeError("auth must be a mapping such as {'user': ..., 'password': ...} or a "
                    "(user, password) pair, not %s" % (type(auth).__name__,))


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


def settings(address: Optional[AddressLike], auth: AuthOption, *,
             timeout: Any = UNSET, connect_timeout: Any = UNSET, tls: Any = UNSET,
             load_balance: Any = UNSET, max_answer_bytes: Any = UNSET,
             user: Optional[str] = None, password: Optional[str] = None,
             env: Optional[Mapping[str, str]] = None) -> Settings:
    """The settings of one opening.  An option given here wins over the URL's,
    which wins over the default; ``auth`` over the URL's user and password,
    which win over ``VANTREL_USER`` / ``VANTREL_PASSWORD``; ``user`` and
    ``password``, each when given, over the record so chosen.  Raises
    ``ValueError`` (before any socket or name look-up) for a bad address or
    option."""
    import os

    environ = os.environ if env is None else env
    target: Target = parse_target(address)
    options = target.options

    def pick(given: Any, name: str, default: Any) -> Any:
        return options.get(name, default) if isinstance(given, _Unset) else given

    record: Dict[str, Any]
    given = auth_record(auth)
    if given is not None:
        record = given
    else:
        record = target.auth() or {}
        if not record and environ.get("VANTREL_USER"):
            record = {"user": environ["VANTREL_USER"]}
            if environ.get("VANTREL_PASSWORD") is not None:
                record["password"] = environ["VANTREL_PASSWORD"]
    if user is not None:
        record["user"] = user
    if password is not None:
        record["password"] = password
    order = pick(load_balance, "load_balance", "in_order")
    if order not in ("in_order", "random"):
        raise ValueError("load_balance must be 'in_order' or 'random', not %r" % (order,))
    hosts = list(target.hosts)
    if order == "random":
        random.shuffle(hosts)
    limit = DEFAULT_MAX_ANSWER_BYTES if isinstance(max_answer_bytes, _Unset) else max_answer_bytes
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError("max_answer_bytes must be a positive integer, not %r" % (limit,))
    call_timeout = pick(timeout, "timeout", None)
    opening = pick(connect_timeout, "connect_timeout", DEFAULT_CONNECT_TIMEOUT)
    check_seconds("timeout", call_timeout)
    check_seconds("connect_timeout", opening)
    return Settings(hosts, record, call_timeout, opening, url_tls(options) if isinstance(tls, _Unset) else tls,
                    limit)


def check_seconds(name: str, value: Any) -> None:
    if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))
                              or not value > 0):
        raise ValueError("%s must be a positive number of seconds or None, not %r"
                         % (name, value))


#: Seconds a host that answered nothing within its share of an opening is
#: tried last by the openings of this process (``connect``, ``vantrel.aio.connect``
#: and the pools), so that a silent host first in a list does not cost every
#: opening its share.  It is still tried when the others fail.
SILENT_MEMORY = 30.0

_silent: Dict[Address, float] = {}  # host -> until when (time.monotonic) it is tried last


def silent_last(hosts: List[Address]) -> List[Address]:
    """``hosts`` with those remembered as silent moved to the end (order kept)."""
    if not _silent:
        return hosts
    now = _monotonic()
    for host, until in list(_silent.items()):
        if until <= now:
            _silent.pop(host, None)
    return [h for h in hosts if h not in _silent] + [h for h in hosts if h in _silent]


def remember_silent(host: Address) -> None:
    """Note that ``host`` answered nothing within its share of an opening."""
    _silent[host] = _monotonic() + SILENT_MEMORY


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
        """Each host, with the seconds it may take (None: no limit); hosts that
        recently answered nothing within their share come last."""
        hosts = silent_last(self.settings.hosts) if len(self.settings.hosts) > 1 else self.settings.hosts
        for i, host in enumerate(hosts):
            yield host, self.settings.host_limit(self.deadline, len(hosts) - i)

    def failed(self, host: Address, error: BaseException) -> bool:
        """True when ``error`` is the host's failure, and the next host is
        tried; False for what ends the opening at once (a refused handshake,
        anything but a connection's failure)."""
        if isinstance(error, ServerError) or not isinstance(error, (OSError, connection_error)):
            return False
        self.attempts.append((host, explain_tls_mismatch(error, self.settings.tls not in (None, False))))
        if isinstance(error, socket.timeout):
            remember_silent(host)
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
