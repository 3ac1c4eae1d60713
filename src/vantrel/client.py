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
import random
import select
import socket
import ssl
import struct
import time
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Tuple, Type, Union

from vantrel import _fork
from vantrel._address import AddressLike, Target, format_address, parse_target
from vantrel._handshake import NoticeHandler, check_reply, deliver_notice, handshake_packet
from vantrel._header import header_checker
from vantrel._impls import connection_module, pure_python
from vantrel._tls_mismatch import explain as explain_tls_mismatch
from vantrel.errors import ConnectError, ConnectionClosed, ConnectTimeout, Timeout
from vantrel.share.codec import decompress
from vantrel.share.errors import ServerError
from vantrel.utils import connection_error

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
TLSOption = Union[bool, ssl.SSLContext, None]

#: Seconds for the whole opening of a connection, unless told otherwise.
DEFAULT_CONNECT_TIMEOUT = 10.0

#: Bytes one answer may take, unless told otherwise: each packet as received
#: and as decompressed, and all the packets of one answer together.
DEFAULT_MAX_ANSWER_BYTES = 256 * 1024 * 1024

#: The text of the error for a call made while another is in progress.
CALL_IN_PROGRESS = "another call is in progress on this connection"

_monotonic = time.monotonic


class _Unset:
    def __repr__(self) -> str:
        return "<default>"


#: Marks an option not given, so that a URL's option or the default applies.
UNSET: Any = _Unset()


# -- sockets whose reads stop at a deadline -------------------------------------------
#
# A call's time-out bounds the whole call, not each read.  The socket that
# connect() hands to the connection carries the bound: ``limit`` (the call
# time-out), ``cap`` (the socket time-out of set_timeout) and, while a call
# runs, ``deadline`` (a time.monotonic() value), which the compiled execute
# sets from the connection's ``_call_limit`` when it sends the request and
# takes off when the answer is read.  The raw reader under the connection's
# buffered reader (made by ``makefile``) lets no wait for data outlast the
# deadline (without one, as for the streamed readers of vantrel.results, each
# wait is bounded by ``limit``).
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

    The classes :func:`connect` builds derive from this one and from the
    ``Connection`` of the module in use, so ``isinstance(conn, Connection)`` holds
    for either implementation.
    """

    __slots__ = ()

    address: Address
    notice: Any
    _module: Any
    _call_timeout: Optional[float]
    _call_limit: Optional[float]  # the same as a float, read by the compiled execute
    _read_timeout: Optional[float]
    _answer_limit: int  # read by the compiled reader, with _answer_room (the bytes left)
    _answer_room: int
    _unusable: Optional[Tuple[str, str]]  # ("closed" or "broken", reason)
    _generation: int  # the fork generation of the process that opened it

    def _setup(self, address: Address, call_timeout: Optional[float], max_answer_bytes: int) -> None:
        self.address = address
        self.notice = None
        self._call_timeout = call_timeout
        self._call_limit = None if call_timeout is None else float(call_timeout)
        self._read_timeout = call_timeout
        self._answer_limit = self._answer_room = max_answer_bytes
        self._unusable = None
        self._generation = _fork.generation

    # -- state --------------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once the connection was closed, by :meth:`close` or by a failure."""
        return self._unusable is not None

    @property
    def broken(self) -> bool:
        """True when a failure closed the connection (see :attr:`broken_reason`)."""
        return self._unusable is not None and self._unusable[0] == "broken"

    @property
    def broken_reason(self) -> Optional[str]:
        """Why the connection broke ("closed by a time-out in the previous call ..."),
        or None."""
        return self._unusable[1] if self.broken and self._unusable is not None else None

    @property
    def timeout(self) -> Optional[float]:
        """The limit of each call as a whole, in seconds (None: no limit)."""
        return self._call_timeout

    @timeout.setter
    def timeout(self, seconds: Optional[float]) -> None:
        _check_seconds("timeout", seconds)
        self._call_timeout = seconds
        self._call_limit = None if seconds is None else float(seconds)
        _set_limits(self._socket, seconds, self._read_timeout)

    @property
    def max_answer_bytes(self) -> int:
        """The most bytes one answer may take (see :func:`connect`)."""
        return self._answer_limit

    def __repr__(self) -> str:
        state = "idle" if self._unusable is None else self._unusable[0]
        return "<vantrel.Connection %s %s>" % (format_address(self.address), state)

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
        self._read_timeout = timeout
        _set_limits(self._socket, self._call_timeout, timeout)

    def is_normal(self) -> bool:
        """True when the connection is open, idle and nothing is pending on it;
        False (not an error) once it is closed or broken."""
        if self._unusable is not None:
            return False
        return bool(self._module.Connection.is_normal(self))

    def close(self) -> None:
        """Close the connection; closing it again does nothing."""
        if self._unusable is None:
            self._unusable = ("closed", "closed by close()")
        self._module.Connection.close(self)

    # -- failures of a call ------------------------------------------------------------

    def _call_failed(self, error: BaseException, method: Any) -> BaseException:
        """The error to raise for ``error`` out of a call of ``method``; the
        connection is marked broken when the call left it so.  (Called by
        ``execute`` on every failure but a server error's.)"""
        if self._generation != _fork.generation:
            # A child's call on a connection it inherited: its socket here
            # was let go at the fork, so nothing reached the parent's peer.
            failure = _fork.inherited()
            self._unusable = ("broken", failure.reason or "")
            return failure
        if isinstance(error, ServerError):
            return error  # an ERROR packet, read whole, ended the answer
        if self._unusable is not None:
            return self._refused(method)
        if isinstance(error, RuntimeError) and str(error) == CALL_IN_PROGRESS:
            return error  # refused before anything was sent
        where = format_address(self.address)
        if isinstance(error, socket.timeout) or (
                isinstance(error, BlockingIOError) and self._call_timeout is not None):
            limit, cap = self._call_timeout, self._read_timeout
            if limit is not None and (cap is None or cap >= limit):
                text = "call %r to %s took longer than %g s" % (method, where, limit)
            else:
                text = "call %r to %s: no data within the socket time-out of %g s" % (
                    method, where, cap or 0)
            self._break("closed by a time-out in the previous call (%s)" % text)
            return Timeout(text)
        if isinstance(error, connection_error):
            self._break("%s in the previous call (%r: %s)" % (why_broken(error), method, error))
            return error
        if isinstance(error, OSError):
            reason = "closed when the connection was lost in the previous call (%s: %s)" % (
                type(error).__name__, error)
            self._break(reason)
            return ConnectionClosed("connection to %s lost during call %r: %s: %s"
                                    % (where, method, type(error).__name__, error), reason)
        if not self._idle_socket():
            self._break("closed after the previous call (%r) failed with %s"
                        % (method, type(error).__name__))
        return error

    def _refused(self, method: Any) -> ConnectionClosed:
        assert self._unusable is not None
        which, reason = self._unusable
        return ConnectionClosed("call %r on a %s connection to %s (%s)"
                                % (method, which, format_address(self.address), reason), reason)

    def _idle_socket(self) -> bool:
        # After a failure that is none of the connection's: whether the call
        # left the socket as it was (nothing sent, or the answer whole) rather
        # than put out of use.
        try:
            readable, _, exceptional = select.select([self._socket], [], [self._socket], 0)
        except (OSError, ValueError):
            return False
        return not (readable or exceptional)

    def _break(self, reason: str) -> None:
        if self._unusable is None:
            self._unusable = ("broken", reason)
        log.debug("connection to %s broken: %s", format_address(self.address), reason)
        try:
            self._module.Connection.close(self)
        except (OSError, ValueError):
            pass


def why_broken(error: BaseException) -> str:
    # How a connection error of a call left the connection.
    if str(error) == "Disconnected from the remote server":
        return "closed by the server"
    return "closed after a malformed answer"


def _twin_execute(base_execute: Callable[..., Any]) -> Callable[..., Any]:
    # The compiled execute sets the deadline, resets the answer's room and
    # calls _call_failed itself; the twin's is wrapped to do the same.
    def execute(self: Any, method: Any, *args: Any, **kwargs: Any) -> Any:
        """Run one remote call and return its whole answer, within :attr:`timeout`."""
        sock = self._socket
        limit = self._call_limit
        self._answer_room = self._answer_limit
        if limit is not None:
            _set_deadline(sock, _monotonic() + limit)
        try:
            return base_execute(self, method, *args, **kwargs)
        except BaseException as e:
            error = self._call_failed(e, method)
            if error is e:
                raise
            raise error from e
        finally:
            if limit is not None:
                _set_deadline(sock, None)
    return execute


def _twin_read_one_packet(self: Any) -> Tuple[Any, Any]:
    # The twin's reader with the answer limit of the compiled one: a packet
    # longer than the bytes left is refused before its body is read, a
    # compressed body expanded within them.
    m = self._module
    mt, st, cm, length = header_checker(vars(m))(self._sf.read(m.HEADER_LENGTH))
    if not length > 0:
        return (mt, None)
    room = self._answer_room
    if length > room:
        raise m.ProtocolError("the answer exceeds max_answer_bytes (%d): a packet of %d bytes "
                              "with %d bytes of it left" % (self._answer_limit, length, room))
    body = self._sf.read(length)
    if len(body) != length:
        raise m.ProtocolError("incomplete body")
    try:
        if cm != m.COMPRESSION_METHOD.NONE:
            body, cm = decompress(body, cm, room), m.COMPRESSION_METHOD.NONE
        self._answer_room = room - len(body)
        body = m.unpack_one(body, st, cm)
    except Exception as e:
        raise m.ProtocolError(repr(e)) from None
    if mt == m.MSG_TYPE.ERROR:
        code, msg = body
        raise m.get_error(code)(msg)
    return (mt, body)


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
        if impl == "twin":
            namespace["execute"] = _twin_execute(base.execute)
            namespace["_read_one_packet"] = _twin_read_one_packet
        cls = type("Connection", (Connection, base), namespace)
        _classes[impl] = cls
    return cls


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
    _check_seconds("timeout", call_timeout)
    _check_seconds("connect_timeout", opening)
    return Settings(hosts, record, call_timeout, opening, pick(tls, "tls", None), limit)


def _check_seconds(name: str, value: Any) -> None:
    if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))
                              or not value > 0):
        raise ValueError("%s must be a positive number of seconds or None, not %r"
                         % (name, value))


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
        raise Timeout("connecting to %s took longer than %g s" % (where, limit or 0)) from e
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
        raise
    except socket.timeout as e:
        _close(sock)
        log.debug("connecting to %s timed out", where)
        raise Timeout("connecting to %s took longer than %g s" % (where, limit or 0)) from e
    except BaseException as e:
        _close(sock)
        log.debug("connecting to %s failed: %s: %s", where, type(e).__name__, e)
        raise
    log.debug("connected to %s", where)
    return conn


def connect(address: Optional[AddressLike] = None, auth: Optional[Mapping[str, Any]] = None, *,
            timeout: Optional[float] = UNSET, connect_timeout: Optional[float] = UNSET,
            tls: TLSOption = UNSET, server_hostname: Optional[str] = None, impl: str = "",
            load_balance: str = UNSET, on_notice: Optional[NoticeHandler] = None,
            max_answer_bytes: int = UNSET) -> Connection:
    """Open an authenticated connection.

    - ``address``: ``(host, port)``, ``"host:port"``, ``"[v6addr]:port"``, a
      list of these, or ``vantrel://[user[:password]@]host[:port][,host:port...]
      [?tls=&connect_timeout=&timeout=&load_balance=]``; None: ``VANTREL_URL``.
      A bad address raises ``ValueError`` before any socket is made.
    - ``auth``: the authentication record (``{"user": ..., "password": ...}``);
      None: the URL's user and password, else ``VANTREL_USER`` and
      ``VANTREL_PASSWORD``.
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
                 load_balance=load_balance, max_answer_bytes=max_answer_bytes)
    cls = connection_class(impl)
    context = tls_context(s.tls)
    deadline = s.opening_deadline()
    attempts: List[Tuple[Address, BaseException]] = []
    for i, host in enumerate(s.hosts):
        try:
            conn = _open_one(cls, host, s, s.host_limit(deadline, len(s.hosts) - i), context,
                             server_hostname)
        except ServerError:
            raise
        except (OSError, connection_error) as e:
            attempts.append((host, explain_tls_mismatch(e, context is not None)))
            continue
        deliver_notice(conn.notice, on_notice)
        return conn
    raise connect_error(attempts)


def connect_error(attempts: List[Tuple[Address, BaseException]]) -> ConnectError:
    """The error of an opening in which every host failed (``attempts``: each
    host and its cause), chained to the last cause."""
    all_timed_out = bool(attempts) and all(isinstance(c, socket.timeout) for _, c in attempts)
    error = (ConnectTimeout if all_timed_out else ConnectError)(attempts)
    if attempts:
        error.__cause__ = attempts[-1][1]
    return error
