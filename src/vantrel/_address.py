"""Where to connect: one parser for every place that takes an address.

``vantrel.connect``, both pools and the command line accept:

- a ``(host, port)`` pair;
- ``"host:port"``, or ``"[v6addr]:port"`` for an IPv6 literal;
- a URL ``vantrel://[user[:password]@]host[:port][,host[:port]...][?option=value&...]``,
  percent-decoded, with the options ``tls``, ``connect_timeout``, ``timeout``
  and ``load_balance``;
- a list of the first two forms, for several hosts tried in order.

Anything else raises ``ValueError`` naming the input (with any password hidden),
before any socket is made or any name is resolved: the host is checked by
its form only (an IPv4 or IPv6 literal, or a DNS name of letters, digits,
hyphens and dots).
"""

from __future__ import annotations

import difflib
import ipaddress
import os
import re
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union
from urllib.parse import unquote

__all__ = [
    "DEFAULT_PORT",
    "TLS_FILE_OPTIONS",
    "Address",
    "AddressLike",
    "Target",
    "format_address",
    "parse_address",
    "parse_target",
    "unknown_option",
]

#: The port of a URL or ``host`` given without one (the reference server's).
DEFAULT_PORT = 7878

Address = Tuple[str, int]
AddressLike = Union[str, Tuple[str, int], Sequence[Union[str, Tuple[str, int]]]]

_SCHEME = "vantrel://"
_LABEL = re.compile(r"(?!-)[A-Za-z0-9-]{1,63}(?<!-)\Z")
_OPTIONS = ("tls", "connect_timeout", "timeout", "load_balance", "tls_ca", "tls_cert", "tls_key",
            "tls_verify")
#: The URL's options that make its TLS context (``vantrel._settings.url_tls``).
TLS_FILE_OPTIONS = ("tls_ca", "tls_cert", "tls_key")
_TRUE = ("1", "true", "yes", "on")
_FALSE = ("0", "false", "no", "off")


@dataclass(frozen=True)
class Target:
    """A parsed address: the hosts in order, the credentials and the options of
    a URL.  The password is kept out of the repr."""

    hosts: Tuple[Address, ...]
    user: Optional[str] = None
    password: Optional[str] = field(default=None, repr=False)
    options: Dict[str, Any] = field(default_factory=dict)

    def auth(self) -> Optional[Dict[str, Any]]:
        """The authentication record the URL carries, or None without a user."""
        if self.user is None:
            return None
        record: Dict[str, Any] = {"user": self.user}
        if self.password is not None:
            record["password"] = self.password
        return record


def format_address(address: Address) -> str:
    """``host:port``, with an IPv6 host in brackets."""
    host, port = address
    return "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)


def _shown(text: str) -> str:
    # The input as an error shows it: a URL's password replaced.
    if text.startswith(_SCHEME):
        rest = text[len(_SCHEME):]
        at = rest.rfind("@", 0, _authority_end(rest))
        if at >= 0 and ":" in rest[:at]:
            user = rest[:at].split(":", 1)[0]
            return repr(_SCHEME + user + ":***" + rest[at:])
    return repr(text)


def _authority_end(rest: str) -> int:
    for i, ch in enumerate(rest):
        if ch in "/?#":
            return i
    return len(rest)


def _bad(value: object, why: str) -> ValueError:
    shown = _shown(value) if isinstance(value, str) else repr(value)
    return ValueError("bad address %s: %s" % (shown, why))


def _check_host(host: str, value: object) -> str:
    if not host:
        raise _bad(value, "empty host")
    if ":" in host:
        try:
            ipaddress.IPv6Address(host)
        except ValueError:
            raise _bad(value, "%r is not an IPv6 address" % (host,)) from None
        return host
    name = host[:-1] if host.endswith(".") else host
    if len(name) > 253 or not all(_LABEL.match(label) for label in name.split(".")):
        raise _bad(value, "%r is not a host name or an IP address" % (host,))
    if name.replace(".", "").isdigit():
        try:
            ipaddress.IPv4Address(name)
        except ValueError:
            raise _bad(value, "%r is not an IPv4 address" % (host,)) from None
    return host


def _check_port(port: object, value: object) -> int:
    if isinstance(port, bool):
        raise _bad(value, "port must be an integer")
    if isinstance(port, str):
        if not port.isascii() or not port.isdigit():
            raise _bad(value, "port %r is not an integer" % (port,))
        port = int(port)
    if not isinstance(port, int):
        raise _bad(value, "port must be an integer, not %s" % (type(port).__name__,))
    if not 0 < port < 65536:
        raise _bad(value, "port %d out of range 1-65535" % (port,))
    return port


def _host_port(text: str, value: object, default_port: Optional[int]) -> Address:
    # One "host:port", "[v6]:port", or (with a default port) "host" / "[v6]".
    if text.startswith("["):
        end = text.find("]")
        if end < 0:
            raise _bad(value, "unclosed '['")
        host, rest = text[1:end], text[end + 1:]
        if not host or ":" not in host:
            raise _bad(value, "brackets hold an IPv6 address")
        if rest and not rest.startswith(":"):
            raise _bad(value, "expected ':' after ']'")
        port_text: Optional[str] = rest[1:] if rest else None
    else:
        if text.count(":") > 1:
            raise _bad(value, "an IPv6 address goes in brackets: [addr]:port")
        host, sep, after = text.partition(":")
        port_text = after if sep else None
    host = _check_host(host, value)
    if port_text is None:
        if default_port is None:
            raise _bad(value, "expected HOST:PORT")
        return host, default_port
    return host, _check_port(port_text, value)


def parse_address(value: object) -> Address:
    """One address (a pair, ``"host:port"`` or ``"[v6]:port"``) as ``(host, port)``."""
    if isinstance(value, tuple):
        if len(value) != 2 or not isinstance(value[0], str):
            raise _bad(value, "expected a (host, port) pair")
        return _check_host(value[0], value), _check_port(value[1], value)
    if isinstance(value, str):
        if value.startswith(_SCHEME):
            target = parse_target(value)
            if len(target.hosts) != 1 or target.user is not None or target.options:
                raise _bad(value, "expected one host and port")
            return target.hosts[0]
        return _host_port(value.strip(), value, None)
    raise _bad(value, "expected (host, port), 'host:port' or a vantrel:// URL")


def _option(name: str, text: str, value: str) -> Any:
    if name in ("tls", "tls_verify"):
        low = text.lower()
        if low in _TRUE:
            return True
        if low in _FALSE:
            return False
        raise _bad(value, "%s=%r is not true or false" % (name, text))
    if name in TLS_FILE_OPTIONS:
        if not text:
            raise _bad(value, "%s needs a file name" % (name,))
        return text
    if name in ("connect_timeout", "timeout"):
        try:
            seconds = float(text)
        except ValueError:
            raise _bad(value, "%s=%r is not a number of seconds" % (name, text)) from None
        if not seconds > 0 or seconds == float("inf"):
            raise _bad(value, "%s=%r must be a positive number of seconds" % (name, text))
        return seconds
    if text not in ("in_order", "random"):
        raise _bad(value, "load_balance=%r is not 'in_order' or 'random'" % (text,))
    return text


def unknown_option(name: str, valid: Sequence[str]) -> str:
    """The text of an unknown option: the nearest valid one, then all of them
    ("unknown option 'max_sise' (did you mean 'max_size'? valid: ...)")."""
    near = difflib.get_close_matches(name, valid, n=1)
    hint = "did you mean %r? " % near[0] if near else ""
    return "unknown option %r (%svalid: %s)" % (name, hint, ", ".join(sorted(valid)))


def _parse_url(value: str) -> Target:
    rest = value[len(_SCHEME):]
    authority, sep, tail = rest.partition("?")
    if "#" in authority or "/" in authority.rstrip("/"):
        raise _bad(value, "a path or fragment is not allowed")
    authority = authority.rstrip("/")
    user = password = None
    at = authority.rfind("@")
    if at >= 0:
        creds, authority = authority[:at], authority[at + 1:]
        name, colon, secret = creds.partition(":")
        user = unquote(name, errors="strict")
        password = unquote(secret, errors="strict") if colon else None
        if not user:
            raise _bad(value, "empty user name")
    if not authority:
        raise _bad(value, "empty host")
    hosts = tuple(_host_port(part, value, DEFAULT_PORT) for part in authority.split(","))
    options: Dict[str, Any] = {}
    if sep and tail:
        for item in tail.split("&"):
            key, eq, text = item.partition("=")
            key = unquote(key)
            if key not in _OPTIONS:
                raise _bad(value, unknown_option(key, _OPTIONS))
            if not eq:
                raise _bad(value, "option %r has no value" % (key,))
            options[key] = _option(key, unquote(text), value)
    return Target(hosts, user, password, options)


def parse_target(value: Optional[AddressLike] = None) -> Target:
    """Any accepted address form, or ``VANTREL_URL`` when ``value`` is None, as a
    :class:`Target`."""
    if value is None:
        env = os.environ.get("VANTREL_URL")
        if not env:
            raise ValueError("no address given and VANTREL_URL is not set")
        value = env
    if isinstance(value, str):
        if value.startswith(_SCHEME):
            return _parse_url(value)
        if "://" in value:
            raise _bad(value, "the URL scheme is vantrel://")
        return Target((parse_address(value),))
    if isinstance(value, tuple) and len(value) == 2 and isinstance(value[1], (int, str)) \
            and isinstance(value[0], str) and not _looks_like_address(value[1]):
        return Target((parse_address(value),))
    if isinstance(value, (list, tuple)):
        if not value:
            raise _bad(value, "no address in the list")
        hosts: List[Address] = []
        for item in value:
            if isinstance(item, str) and item.startswith(_SCHEME):
                raise _bad(value, "a URL cannot be one item of a list")
            hosts.append(parse_address(item))
        return Target(tuple(hosts))
    raise _bad(value, "expected (host, port), 'host:port', a list of them or a vantrel:// URL")


def _looks_like_address(item: object) -> bool:
    # ("h1:1", "h2:2") is a list of two addresses, ("h", "7878") a pair.
    return isinstance(item, str) and (":" in item or item.startswith("["))
