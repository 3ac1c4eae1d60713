"""Opening a connection: ``vantrel.connect``.

``connect`` makes the socket, wraps it in TLS when asked, runs the handshake
and returns a connection that is also a context manager::

    with vantrel.connect("127.0.0.1:7878", {"user": "alice", "password": "secret"},
                         timeout=10) as conn:
        conn.execute("add", 2, 3)

The address takes every form of :func:`vantrel._address.parse_target`
(``(host, port)``, ``"host:port"``, ``"[v6]:port"``, a list of them, a
``vantrel://`` URL); without one, ``VANTREL_URL``.  Several hosts are tried in
turn, each within its share of ``connect_timeout``, which bounds the whole
opening (TCP connect, TLS handshake and the server's handshake reply).
``timeout`` bounds each later call as a whole: the request and every packet
of its answer.  Whatever fails on the way closes the socket before the error
propagates.

The connection keeps the bare connection's methods and answers; what differs
is what a failure looks like (the :mod:`vantrel.errors` family, see
docs/usage.md), its state (``closed``, ``broken``, ``address``, ``notice``)
and the limits above.
"""

from __future__ import annotations

import errno
import io
import logging
import select
import socket
import ssl
import struct
import time
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Tuple, Type

from vantrel import _fork
from vantrel._address import AddressLike, format_address
from vantrel._call import CallLife, refused_login
from vantrel._handshake import NoticeHandler, check_reply, deliver_notice, handshake_packet
from vantrel._impls import connection_module, pure_python
from vantrel._settings import (
    CONNECT_TIMEOUT,
    DEFAULT_CONNECT_TIMEOUT,
    DEFAULT_MAX_ANSWER_BYTES,
    LOAD_BALANCE,
    TIMEOUT,
    TLS,
    AuthOption,
    Opening,
    Settings,
    TLSOption,
    check_seconds,
    settings,
    tls_context,
)
from vantrel.errors import Timeout, duration_text
from vantrel.share.errors import ServerError

if TYPE_CHECKING:
    from vantrel.connection import Connection as _Core
else:
    _Core = object

__all__ = ["DEFAULT_CONNECT_TIMEOUT", "DEFAULT_MAX_ANSWER_BYTES", "Connection", "Settings",
           "TLSOption", "connect", "connection_class", "settings", "tls_context"]

log = logging.getLogger("vantrel")
# The application decides where the package's records go; without its own
# configuration they go nowhere (not to stderr).
log.addHandler(logging.NullHandler())

Address = Tuple[str, int]


_monotonic = time.monotonic


# -- sockets whose reads stop at a deadline -------------------------------------------
#
# A call's time-out bounds the whole call, not each read.  The socket that
# connect() hands to the connection carries the bound: ``limit`` (the call
# time-out), ``cap`` (the socket time-out of set_timeout) and, while a call
# runs, ``deadline`` (a time.monotonic() value), which the connection's
# execute sets from the ``limit`` of its call life (``_call_life``) when it
# sends the request and takes off when the answer is read, as the readers of
# vantrel.results do (``vantrel._link``) for the span of their answer.  The
# raw reader under the connection's buffered reader (made by ``makefile``)
# lets no wait for data outlast the deadline (without one, each wait is
# bounded by ``limit``).
#
# On plain TCP the socket stays in blocking mode, bounded by the kernel's
# SO_RCVTIMEO and SO_SNDTIMEO, set to the limit once: a call costs no more
# system calls than on a socket without any time-out (a socket time-out
# polls before every send and every read), and one clock reading per read.
# Only when the time left falls below the receive time-out by more than
# ``_slack`` is the time-out lowered to what is left, so a call ends within
# that slack of its deadline.  The packets already buffered are read as on
# any socket.  Over TLS, where bytes may wait inside the TLS layer, each read
# and send is given the time left as its socket time-out instead.

_BLOCKING_ERRNOS = {errno.EAGAIN, errno.EWOULDBLOCK}


def _timed_out() -> socket.timeout:
    return socket.timeout("timed out")


def _wait(sock: Any) -> float:
    # The longest the next wait on ``sock`` may take.
    deadline = sock.deadline
    wait: float = sock.limit if deadline is None else deadline - _monotonic()
    cap = sock.cap
    if cap is not None and cap < wait:
        wait = cap
    if wait <= 0:
        raise _timed_out()
    return wait


def _slack(limit: float) -> float:
    return min(limit * 0.05, 0.1)


def _set_timeval(sock: Any, option: int, seconds: Optional[float]) -> None:
    # SO_RCVTIMEO / SO_SNDTIMEO: how long a blocking read or send may wait
    # (None: no limit).
    whole = 0.0 if seconds is None else max(seconds, 1e-6)
    sec = int(whole)
    sock.setsockopt(socket.SOL_SOCKET, option, struct.pack("ll", sec, int((whole - sec) * 1e6)))


def _readinto(self: Any, b: Any) -> Optional[int]:
    # socket.SocketIO.readinto, with no wait past the deadline.
    self._checkClosed()
    self._checkReadable()
    if self._timeout_occurred:
        raise OSError("cannot read from timed out object")
    sock = self._sock
    try:
        if sock.limit is None and sock.deadline is None:
            return sock.recv_into(b)  # type: ignore[no-any-return]
        if sock.tls:
            sock.settimeout(_wait(sock))
            return sock.recv_into(b)  # type: ignore[no-any-return]
        while True:
            wait = _wait(sock) if sock.deadline is not None else sock.rcvtimeo
            if wait < sock.rcvtimeo - sock.slack:
                _set_timeval(sock, socket.SO_RCVTIMEO, wait)
                sock.rcvtimeo = wait
            try:
                return sock.recv_into(b)  # type: ignore[no-any-return]
            except BlockingIOError:
                # The receive time-out ran out: the time is up, unless it
                # was lowered for an earlier deadline.
                wait = _wait(sock)
                if wait <= sock.rcvtimeo + sock.slack:
                    raise _timed_out() from None
                _set_timeval(sock, socket.SO_RCVTIMEO, wait)
                sock.rcvtimeo = wait
    except socket.timeout:
        self._timeout_occurred = True
        raise
    except OSError as e:
        if e.errno in _BLOCKING_ERRNOS:
            return None
        raise


class _DeadlineIO(socket.SocketIO):
    readinto = _readinto


def _makefile(self: Any, mode: str = "r", buffering: Optional[int] = None, **kwargs: Any) -> Any:
    if mode != "rb" or kwargs or buffering == 0:
        return self._plain_makefile(mode, buffering, **kwargs)
    raw = _DeadlineIO(self, "rb")
    self._io_refs += 1
    return io.BufferedReader(raw, buffering if buffering is not None and buffering > 0
                             else io.DEFAULT_BUFFER_SIZE)


class _ClientSocket(socket.socket):
    """A TCP socket whose reads end at ``deadline`` (see above)."""

    __slots__ = ("cap", "deadline", "limit", "rcvtimeo", "slack")
    tls = False
    makefile = _makefile
    _plain_makefile = socket.socket.makefile


class _ClientSSLSocket(ssl.SSLSocket):
    """The same over TLS."""

    deadline: Optional[float] = None
    limit: Optional[float] = None
    cap: Optional[float] = None
    tls = True
    makefile = _makefile
    _plain_makefile = ssl.SSLSocket.makefile

    def sendall(self, data: Any, flags: int = 0) -> None:
        if self.limit is not None or self.deadline is not None:
            self.settimeout(_wait(self))
        super().sendall(data, flags)


def _client_socket(sock: Any) -> Any:
    """``sock`` as a socket that honours deadlines, when it is a plain one."""
    if type(sock) is socket.socket and hasattr(socket, "SO_RCVTIMEO"):
        timeout = sock.gettimeout()
        sock = _ClientSocket(fileno=sock.detach())
        sock.settimeout(timeout)
        sock.rcvtimeo = sock.slack = 0.0
    elif type(sock) is ssl.SSLSocket:
        sock.__class__ = _ClientSSLSocket
    else:
        return sock
    sock.deadline = sock.limit = sock.cap = None
    return sock


def _set_limits(sock: Any, limit: Optional[float], cap: Optional[float]) -> None:
    """Each call on ``sock`` bounded by ``limit`` seconds as a whole (None: no
    limit), each wait within it by ``cap`` (the socket time-out)."""
    if type(sock) not in (_ClientSocket, _ClientSSLSocket):
        return  # a socket of the caller's own factory: the socket time-out only
    sock.limit, sock.cap, sock.deadline = limit, cap, None
    if limit is None or sock.tls:
        sock.settimeout(cap if limit is None else min(limit, cap or limit))
        if not sock.tls:
            _set_timeval(sock, socket.SO_RCVTIMEO, None)
            _set_timeval(sock, socket.SO_SNDTIMEO, None)
        return
    wait = limit if cap is None else min(limit, cap)
    sock.settimeout(None)  # blocking, within the kernel's time-outs
    _set_timeval(sock, socket.SO_RCVTIMEO, wait)
    _set_timeval(sock, socket.SO_SNDTIMEO, wait)
    sock.rcvtimeo = wait
    sock.slack = _slack(wait)


def _set_deadline(sock: Any, deadline: Optional[float]) -> None:
    if type(sock) in (_ClientSocket, _ClientSSLSocket):
        sock.deadline = deadline


# -- the connection ---------------------------------------------------------------------


class Connection(_Core):
    """A connection made by :func:`connect`: the connection module's ``Connection``
    with ``with`` support (leaving the block closes it), its state, whole-call
    time-outs and the package's errors.

    - ``address``: the ``(host, port)`` it is connected to;
    - ``notice``: the notice of the server's handshake reply (None without one);
    - ``closed``: True once it can carry no more calls (closed or broken);
    - ``broken`` / ``broken_reason``: closed by a failure, and which;
    - ``timeout``: the limit of each call as a whole, in seconds (None: none);
      ``set_timeout`` keeps its meaning, the socket time-out of each read.

    A call on a closed or broken connection raises
    :class:`vantrel.ConnectionClosed`; a call that runs out of time
    :class:`vantrel.Timeout`; a connection lost during a call
    ``ConnectionClosed``.  Each of these leaves it broken, as does a malformed
    answer (``ProtocolError``); a server error (``ServerError``) does not.
    What a call may take and what its failure becomes are the connection's
    :class:`vantrel._call.CallLife`, the same for every reader of its answers.

    The classes :func:`connect` builds derive from this one and from the
    ``Connection`` of the module in use, so ``isinstance(conn, Connection)`` holds
    for either implementation.
    """

    __slots__ = ()

    address: Address
    notice: Any
    _module: Any
    _call_life: CallLife  # the hook of the compiled execute and reader, and of the twin's

    def _setup(self, address: Address, call_timeout: Optional[float], max_answer_bytes: int) -> None:
        self.address = address
        self.notice = None
        self._call_life = _BlockingLife(address, call_timeout, max_answer_bytes)

    # -- state --------------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once the connection was closed, by :meth:`close` or by a failure."""
        return self._call_life.unusable is not None

    @property
    def broken(self) -> bool:
        """True when a failure closed the connection (see :attr:`broken_reason`)."""
        return self._call_life.broken_reason is not None

    @property
    def broken_reason(self) -> Optional[str]:
        """Why the connection broke ("closed by a time-out in the previous call ..."),
        or None."""
        return self._call_life.broken_reason

    @property
    def timeout(self) -> Optional[float]:
        """The limit of each call as a whole, in seconds (None: no limit)."""
        return self._call_life.timeout

    @timeout.setter
    def timeout(self, seconds: Optional[float]) -> None:
        check_seconds("timeout", seconds)
        life = self._call_life
        life.timeout = seconds
        _set_limits(self._socket, seconds, life.read_timeout)

    @property
    def max_answer_bytes(self) -> int:
        """The most bytes one answer may take (see :func:`connect`)."""
        return self._call_life.max_answer_bytes

    def __repr__(self) -> str:
        return "<vantrel.Connection %s %s>" % (format_address(self.address), self._call_life.state())

    def __enter__(self) -> Connection:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- the bare connection's methods, with state -----------------------------------

    def _do_auth(self, auth: Mapping[str, Any]) -> None:
        # The bare handshake, with the notice kept on the connection instead
        # of issued here: connect() hands it on once the connection is made.
        m = self._module
        self._socket.sendall(handshake_packet(m, auth))
        msg_type, body = self._read_one_packet()
        check_reply(m, msg_type)
        self.notice = body

    def set_timeout(self, timeout: Optional[float]) -> None:
        """Set the socket time-out: the longest wait of each read and send
        (None blocks).  The limit of a call as a whole is :attr:`timeout`."""
        self._module.Connection.set_timeout(self, timeout)
        life = self._call_life
        life.read_timeout = timeout
        _set_limits(self._socket, life.timeout, timeout)

    def is_normal(self) -> bool:
        """True when the connection is open, idle and nothing is pending on it;
        False (not an error) once it is closed or broken."""
        if self._call_life.unusable is not None:
            return False
        return bool(self._module.Connection.is_normal(self))

    def close(self) -> None:
        """Close the connection; closing it again does nothing."""
        self._call_life.close()
        self._module.Connection.close(self)


class _BlockingLife(CallLife):
    """The call life of a blocking connection: a call that breaks it closes it."""

    __slots__ = ()

    def call_failed(self, conn: Any, error: BaseException, method: Any) -> BaseException:
        was = self.unusable
        failure = self.failed(error, method, lambda: _idle_socket(conn._socket))
        if was is None and self.unusable is not None:
            log.debug("connection to %s broken: %s", format_address(self.address), self.unusable[1])
            try:
                conn._module.Connection.close(conn)
            except (OSError, ValueError):
                pass
        return failure


def _idle_socket(sock: Any) -> bool:
    # After a failure that is none of the connection's: whether the call left
    # the socket as it was (nothing sent, or the answer whole) rather than
    # put out of use.
    try:
        readable, _, exceptional = select.select([sock], [], [sock], 0)
    except (OSError, ValueError):
        return False
    return not (readable or exceptional)


_classes: Dict[str, Type[Connection]] = {}


def connection_class(impl: str = "") -> Type[Connection]:
    """The :class:`Connection` subclass built on implementation ``impl`` ("ext" or
    "twin"; by default the compiled one, or the twin under ``VANTREL_PURE_PYTHON``)."""
    if not impl:
        impl = "twin" if pure_python() else "ext"
    cls = _classes.get(impl)
    if cls is None:
        module = connection_module(impl)
        base = module.Connection
        namespace: Dict[str, Any] = {"__module__": __name__, "__slots__": (), "_module": module}
        cls = type("Connection", (Connection, base), namespace)
        _classes[impl] = cls
    return cls


# -- opening --------------------------------------------------------------------------------


def _close(sock: Any) -> None:
    # A reader made by a failed construction may still hold the socket, which
    # would defer the real close until that reader is collected (the error's
    # traceback keeps it alive): take the descriptor away from both.
    try:
        fd = sock.detach()
    except OSError:
        return
    if fd >= 0:
        socket.close(fd)


def _open_one(cls: Type[Connection], host: Address, s: Settings, limit: Optional[float],
              context: Optional[ssl.SSLContext], server_hostname: Optional[str]) -> Connection:
    deadline = None if limit is None else _monotonic() + limit
    where = format_address(host)

    def remaining() -> Optional[float]:
        if deadline is None:
            return None
        left = deadline - _monotonic()
        if left <= 0:
            raise socket.timeout("timed out")
        return left

    if limit is not None and limit <= 0:
        raise Timeout("connecting to %s: no time left of connect_timeout" % (where,))
    try:
        sock = cls.sock_factory(host, limit)
    except socket.timeout as e:
        log.debug("connecting to %s timed out", where)
        raise Timeout("connecting to %s took longer than %s" % (where, duration_text(limit or 0))) from e
    try:
        if context is not None:
            sock.settimeout(remaining())
            sock = context.wrap_socket(sock, server_hostname=server_hostname or host[0])
        sock = _client_socket(sock)
        _set_limits(sock, limit, None)
        _set_deadline(sock, deadline)  # the handshake, as a whole
        if type(sock) not in (_ClientSocket, _ClientSSLSocket):
            sock.settimeout(remaining())
        conn = cls.__new__(cls)
        conn._setup(host, s.timeout, s.max_answer_bytes)
        _fork.track(sock)  # let go of in a child forked later
        conn.__init__(sock, s.auth)  # type: ignore[misc]
        conn.set_timeout(s.timeout)
    except ServerError as e:
        _close(sock)
        log.warning("handshake with %s refused: %s: %s", where, type(e).__name__, e)
        raise refused_login(e, host, s.auth.get("user")) from e
    except socket.timeout as e:
        _close(sock)
        log.debug("connecting to %s timed out", where)
        raise Timeout("connecting to %s took longer than %s" % (where, duration_text(limit or 0))) from e
    except BaseException as e:
        _close(sock)
        log.debug("connecting to %s failed: %s: %s", where, type(e).__name__, e)
        raise
    log.debug("connected to %s", where)
    return conn


def connect(address: Optional[AddressLike] = None, auth: AuthOption = None, *,
            timeout: Optional[float] = TIMEOUT, connect_timeout: Optional[float] = CONNECT_TIMEOUT,
            tls: TLSOption = TLS, server_hostname: Optional[str] = None, impl: str = "",
            load_balance: str = LOAD_BALANCE, on_notice: Optional[NoticeHandler] = None,
            max_answer_bytes: int = DEFAULT_MAX_ANSWER_BYTES, user: Optional[str] = None,
            password: Optional[str] = None) -> Connection:
    """Open an authenticated connection.

    - ``address``: ``(host, port)``, ``"host:port"``, ``"[v6addr]:port"``, a
      list of these, or ``vantrel://[user[:password]@]host[:port][,host:port...]
      [?tls=&connect_timeout=&timeout=&load_balance=]``; None: ``VANTREL_URL``.
      A bad address raises ``ValueError`` before any socket is made.
    - ``auth``: the authentication record (``{"user": ..., "password": ...}``)
      or a ``(user, password)`` pair; None: the URL's user and password, else
      ``VANTREL_USER`` and ``VANTREL_PASSWORD``.  ``user`` and ``password``,
      each when given, win over all of these (docs/usage.md has the table).
    - ``connect_timeout``: seconds for the whole opening (default 10), shared
      out between the hosts: each gets what remains divided by the hosts left.
    - ``timeout``: seconds for each later call as a whole, the request and
      every packet of its answer (None: no limit); it is also the socket
      time-out of each read (``set_timeout``).
    - ``tls``: ``True`` (the system's trusted certificates), an
      :class:`ssl.SSLContext` used as it is, or ``None`` for plain TCP;
      ``server_hostname`` is the name checked against the certificate (by
      default the host).
    - ``load_balance``: "in_order" (default) tries the hosts in their order,
      "random" in a random one.
    - ``on_notice``: called with the notice of the server's handshake reply;
      without it the notice is issued as a warning.
    - ``max_answer_bytes``: the most bytes one answer may take (default
      :data:`DEFAULT_MAX_ANSWER_BYTES`, 256 MiB): each packet as received and
      as decompressed, and all packets of the answer together.
    - ``impl``: "ext" (the compiled connection) or "twin" (its pure-Python twin);
      by default the compiled one, or the twin when ``VANTREL_PURE_PYTHON=1``.

    A refused handshake raises the server's error (an ``AuthenticationError``)
    at once; any other failure moves on to the next host.  When every host
    failed: :class:`vantrel.ConnectError` naming each host and its cause
    (:class:`vantrel.ConnectTimeout`, also a ``TimeoutError``, when each ran
    out of time).  The socket is closed in every failure.
    """
    s = settings(address, auth, timeout=timeout, connect_timeout=connect_timeout, tls=tls,
                 load_balance=load_balance, max_answer_bytes=max_answer_bytes, user=user,
                 password=password)
    cls = connection_class(impl)
    context = tls_context(s.tls)
    opening = Opening(s)
    for host, limit in opening.tries():
        try:
            conn = _open_one(cls, host, s, limit, context, server_hostname)
        except Exception as e:
            if not opening.failed(host, e):
                raise
            continue
        deliver_notice(conn.notice, on_notice)
        return conn
    raise opening.error()
