"""The rules of both pools, written once: ``vantrel.Pool`` (threads) and
``vantrel.aio.Pool`` (asyncio) are thin drivers of :class:`PoolCore`.

The core holds the idle list, the sizes, the queue of callers, the hosts and
their back-off, the statistics and every text.  It does no I/O and never
blocks: the drivers call it under their lock (threads) or on their event loop
(asyncio), then open, check and close connections outside it, and report back.

- A caller queues a :class:`Grant`; :meth:`PoolCore.dispatch` serves the queue
  in order (first come, first served): the newest idle connection, else a place
  to open one on a host, when fewer than ``max_size`` are open.
- Hosts: an address list is spread over; the host with the fewest connections
  among those not backing off is chosen.  A host whose opening failed is skipped
  for its back-off pause (0.1 s doubling to 5 s); when no host is up, a waiting
  caller probes a failed host at least every ``PROBE_PAUSE``, one probe at a
  time per host, so the pool serves again soon after a server restart.
- Leases, fork() and leaked connections: see :mod:`vantrel._lease` and
  :mod:`vantrel._fork`.
- Closing a connection, and the reasons, go through :attr:`PoolCore.trash`,
  which the driver empties outside its lock.
"""

from __future__ import annotations

import collections
import inspect
import logging
import warnings
from typing import Any, Callable, Deque, Dict, List, Mapping, Optional, Tuple

from vantrel import _fork
from vantrel._address import Address, format_address, parse_target, unknown_option
from vantrel._settings import AuthOption, auth_record, silent_last, url_options
from vantrel.errors import PoolClosed, PoolTimeout, duration_text
from vantrel.share.errors import ServerBusyError, ServerError
from vantrel.utils import connection_error

__all__ = ["BACKOFF_FIRST", "BACKOFF_MAX", "DEFAULTS", "PROBE_PAUSE", "Entry", "Grant", "PoolBase",
           "PoolCore",
           "backoff_delay", "check_settings", "connection_level", "keeps_connection",
           "open_options", "retries_connect"]

log = logging.getLogger("vantrel")

#: First and longest pause before a host that failed is tried again.
BACKOFF_FIRST = 0.1
BACKOFF_MAX = 5.0
#: Longest pause between attempts while a caller waits and no host is up.
PROBE_PAUSE = 0.2
#: The defaults of both pools.
DEFAULTS: Dict[str, Any] = {"min_size": 0, "max_size": 10, "timeout": 30.0, "max_idle": 600.0,
                            "check_after": 1.0}
STATS = ("connects", "connect_errors", "discarded", "failed_checks", "handed_out", "timeouts",
         "waits", "reclaimed")
CLOSED = "the pool is closed"


def keeps_connection(exc: Optional[BaseException]) -> bool:
    """True when a connection that raised ``exc`` (or nothing) may go back to the pool:
    a server-side error leaves it at a packet boundary, anything else may have
    broken it in the middle of an answer."""
    return exc is None or isinstance(exc, ServerError)


def connection_level(exc: BaseException) -> bool:
    """True for a failure of the connection itself (not of the server's method
    nor of the application): its pooled siblings may have failed with it."""
    return isinstance(exc, (OSError, TimeoutError, connection_error))


def retries_connect(exc: BaseException) -> bool:
    """True when a failed attempt to open a connection is worth another one: the
    network, a time-out, a connection dropped in the handshake, a busy server;
    not a refused handshake nor a programming error."""
    return isinstance(exc, ServerBusyError) or (
        isinstance(exc, Exception) and not isinstance(exc, ServerError) and connection_level(exc))


def backoff_delay(failures: int) -> float:
    """The pause after ``failures`` failed attempts in a row (doubling, capped)."""
    return min(BACKOFF_FIRST * 2.0 ** max(failures - 1, 0), BACKOFF_MAX)


def check_settings(min_size: int, max_size: int, timeout: float, max_idle: Optional[float],
                   check_after: float) -> None:
    """Raise ``ValueError`` for sizes or times a pool cannot work with."""
    if max_size < 1 or not 0 <= min_size <= max_size:
        raise ValueError("need 0 <= min_size <= max_size and max_size >= 1, got %r and %r"
                         % (min_size, max_size))
    if timeout < 0 or check_after < 0 or (max_idle is not None and max_idle < 0):
        raise ValueError("timeout, check_after and max_idle must not be negative")


def open_options(options: Mapping[str, Any], wait: float) -> Dict[str, Any]:
    """``options`` for one attempt to connect, its ``connect_timeout`` cut to ``wait``."""
    opened = dict(options)
    limit = opened.get("connect_timeout", 10.0)
    opened["connect_timeout"] = wait if limit is None else min(limit, wait)
    return opened


class Host:
    __slots__ = ("address", "answered", "count", "error", "failed_at", "failures", "first_failed_at",
                 "probing", "retry_at")

    def __init__(self, address: Address) -> None:
        self.address = address
        self.answered = False   # a connection was opened on it
        self.count = 0          # connections open or being opened
        self.failures = 0       # failed attempts in a row
        self.retry_at = 0.0     # not before this, while another host is up
        self.failed_at = 0.0
        self.first_failed_at = 0.0  # the first failure of those in a row
        self.probing = False    # an attempt after a failure is under way
        self.error: Optional[BaseException] = None

    def due(self, now: float) -> bool:
        return self.failures == 0 or now >= self.retry_at


class Entry:
    """A pooled connection and what the pool knows of it."""

    __slots__ = ("conn", "generation", "host", "retimed", "since", "suspect", "where")

    def __init__(self, conn: Any, host: Host, now: float) -> None:
        self.conn = conn
        self.host = host
        self.since = now                  # idle since
        self.suspect = False              # checked before its next use whatever its age
        self.generation = _fork.generation
        self.where: Any = None            # (file, line) where its holder acquired it
        self.retimed = False              # its call time-out changed by its holder


class Grant:
    """A caller's place in the queue, and what it was given: an idle ``entry``, a
    ``host`` to open a connection on, or an ``error``.  ``wake`` (a future) is the
    asyncio driver's."""

    __slots__ = ("done", "entry", "error", "host", "wake")

    def __init__(self) -> None:
        self.done = False
        self.entry: Optional[Entry] = None
        self.host: Optional[Host] = None
        self.error: Optional[BaseException] = None
        self.wake: Any = None


def _option_error(connect: Callable[..., Any], given: Mapping[str, Any], error: TypeError) -> str:
    # The pool's own options and its connections' are valid; the nearest of
    # them to a misspelled one first.
    params = inspect.signature(connect).parameters
    own = [n for n, p in inspect.signature(PoolBase.__init__).parameters.items()
           if p.kind is p.KEYWORD_ONLY]
    valid = own + [n for n, p in params.items() if p.kind is p.KEYWORD_ONLY and n not in own]
    for name in given:
        if name not in params:
            return unknown_option(name, valid)
    return str(error)


class PoolCore:
    """The state and rules of one pool; see the module's text."""

    def __init__(self, address: Any, auth: AuthOption, connect: Callable[..., Any],
                 fileno: Callable[[Any], int], *, min_size: int, max_size: int, timeout: float,
                 max_idle: Optional[float], check_after: float, call_timeout: Optional[float],
                 check: Optional[Callable[[Any], Any]], configure: Optional[Callable[[Any], Any]],
                 reset: Optional[Callable[[Any], Any]], options: Mapping[str, Any]) -> None:
        check_settings(min_size, max_size, timeout, max_idle, check_after)
        target = parse_target(address)
        self.hosts = [Host(a) for a in target.hosts]
        self.address = target.hosts[0]
        record = auth_record(auth)
        self.auth = record if record is not None else target.auth()
        opts = dict(options)
        url = url_options(target.options)  # a URL's TLS files are loaded once
        url.pop("load_balance", None)  # a pool spreads its connections over the hosts
        if call_timeout is None:
            call_timeout = url.pop("timeout", None)
        url.pop("timeout", None)
        for key, value in url.items():
            opts.setdefault(key, value)
        opts["timeout"] = call_timeout
        try:  # a misspelled or missing option fails now, not at each retry
            inspect.signature(connect).bind(self.address, self.auth, **opts)
        except TypeError as e:
            raise TypeError(_option_error(connect, opts, e)) from None
        self.options = opts
        self.call_timeout = call_timeout
        self.min_size, self.max_size, self.timeout = min_size, max_size, timeout
        self.max_idle, self.check_after = max_idle, check_after
        self.check, self.configure, self.reset = check, configure, reset
        self.fileno = fileno
        self.idle: Deque[Entry] = collections.deque()    # newest at the right
        self.waiters: Deque[Grant] = collections.deque()  # oldest at the left
        self.size = 0             # open connections and openings under way
        self.opening = 0
        self.closed = False
        self.generation = _fork.generation
        self.counts = dict.fromkeys(STATS, 0)
        self.trash: List[Tuple[Any, str]] = []             # to close outside the lock
        self.orphans: Deque[Entry] = collections.deque()   # entries whose holder is gone

    # -- the queue -------------------------------------------------------------------

    def quick(self, now: float) -> Optional[Entry]:
        """The newest idle connection when nobody waits and nothing is due for
        pruning: the common hand-out, without a place in the queue."""
        idle = self.idle
        if self.waiters or self.orphans or not idle or self.closed or (
                self.max_idle is not None and now - idle[0].since > self.max_idle):
            return None
        self.counts["handed_out"] += 1
        return idle.pop()

    def enqueue(self, grant: Grant, now: float) -> List[Grant]:
        """Queue a caller and serve the queue; the grants served, to wake."""
        if self.closed:
            raise PoolClosed(CLOSED)
        self.waiters.append(grant)
        served = self.dispatch(now)
        if not grant.done:
            self.counts["waits"] += 1
        return served

    def dispatch(self, now: float) -> List[Grant]:
        """Serve the queue in order while there is something to give; the grants
        served, for the driver to wake."""
        self._adopt_orphans()
        self._prune(now)
        served = []
        waiters = self.waiters
        while waiters:
            grant = waiters[0]
            if self.idle:
                grant.entry = self.idle.pop()
                self.counts["handed_out"] += 1
            else:
                host = self.reserve(now)
                if host is None:
                    break
                grant.host = host
            waiters.popleft()
            grant.done = True
            served.append(grant)
        return served

    def leave(self, grant: Grant, now: float) -> List[Grant]:
        """Take a caller that gives up (time-out, cancellation) out of the queue,
        passing on whatever it was given."""
        if not grant.done:
            try:
                self.waiters.remove(grant)
            except ValueError:
                pass
            return []
        grant.done = False
        if grant.entry is not None:
            self.idle.append(grant.entry)
            self.counts["handed_out"] -= 1
        elif grant.host is not None:
            self._unreserve(grant.host)
        grant.entry = grant.host = None
        return self.dispatch(now)

    def next_due(self, now: float) -> float:
        """When a host in back-off may be tried by a waiting caller."""
        waiting = [h for h in self.hosts if not h.probing]
        if not waiting or self.size >= self.max_size:
            return now + 3600.0
        return min(min(h.retry_at, h.failed_at + PROBE_PAUSE) for h in waiting)

    def reserve(self, now: float) -> Optional[Host]:
        """A place to open a connection in, and the host to open it on."""
        if self.size >= self.max_size:
            return None
        up = [h for h in self.hosts if h.due(now) and not h.probing]
        if not up:  # nobody answers: probe the host that failed first, now and then
            up = [h for h in self.hosts if not h.probing and now >= h.failed_at + PROBE_PAUSE]
            if not up:
                return None
        if len(up) > 1:  # hosts that connect found silent lately come last among equals
            order = silent_last([h.address for h in up])
            up.sort(key=lambda h: order.index(h.address))
        host = min(up, key=lambda h: h.count)
        host.count += 1
        host.probing = host.failures > 0
        self.size += 1
        self.opening += 1
        return host

    def _unreserve(self, host: Host) -> None:
        host.count -= 1
        host.probing = False
        self.size -= 1
        self.opening -= 1

    # -- opening -----------------------------------------------------------------------

    def opened(self, host: Host, conn: Any, now: float, handed: bool) -> Entry:
        """Count a new connection, ``handed`` out at once or not."""
        self.opening -= 1
        if host.failures:
            log.warning("pool: %s answers again, after %d failed attempts in %s",
                        format_address(host.address), host.failures,
                        duration_text(max(now - host.first_failed_at, 0.0)))
        host.failures = 0
        host.answered = True
        host.probing = False
        host.error = None
        self.counts["connects"] += 1
        self.counts["handed_out"] += handed
        return Entry(conn, host, now)

    def open_failed(self, host: Host, error: BaseException, now: float) -> float:
        """Count a failed opening; the pause before the host is tried again."""
        self._unreserve(host)
        self.counts["connect_errors"] += 1
        if not retries_connect(error):
            return 0.0
        host.failures += 1
        if host.failures == 1:
            host.first_failed_at = now
        host.failed_at = now
        host.error = error
        pause = backoff_delay(host.failures)
        host.retry_at = now + pause
        return pause

    def failed_check(self) -> None:
        self.counts["failed_checks"] += 1
        self.counts["handed_out"] -= 1

    def log_retry(self, host: Host, error: BaseException, pause: float) -> None:
        """One WARNING when ``host`` starts failing, DEBUG for each failure after;
        the pause said is the true one (``reserve``): the back-off while another
        host answers, else a probe every PROBE_PAUSE while a caller waits."""
        others_up = any(h is not host and h.failures == 0 for h in self.hosts)
        wait = pause if others_up else min(pause, PROBE_PAUSE)
        when = ("the next attempt in %s (other hosts are used meanwhile)" if others_up else
                "tried again in %s while a caller waits") % duration_text(wait)
        if host.failures <= 1:
            log.warning("pool: connecting to %s failed (%s: %s); %s",
                        format_address(host.address), type(error).__name__, error, when)
        else:
            log.debug("pool: connecting to %s failed again (%d in a row, %s: %s); %s",
                      format_address(host.address), host.failures, type(error).__name__, error,
                      when)

    def untried(self) -> bool:
        """True while a host has not failed yet (the constructor tries them all)."""
        return any(h.failures == 0 for h in self.hosts)

    def connect_args(self, host: Host, remaining: float) -> Tuple[Address, Any, Dict[str, Any]]:
        """What to open a connection on ``host`` with, within ``remaining`` seconds.
        A host that has not answered yet gets the share of ``connect_timeout``
        that ``connect`` would give the first of the hosts, so that a silent
        first host holds a hand-out no longer than it holds ``connect``."""
        wait = max(remaining, 0.001)
        limit = self.options.get("connect_timeout", 10.0)
        if not host.answered and len(self.hosts) > 1 and limit is not None:
            wait = min(wait, limit / len(self.hosts))
        return host.address, self.auth, open_options(self.options, wait)

    # -- giving back ---------------------------------------------------------------------

    def give_back(self, entry: Entry, reason: Optional[str], broken: bool,
                  now: float) -> List[Grant]:
        """Take a connection back: idle again, or discarded for ``reason`` (with its
        idle siblings suspected when the connection itself ``broken``)."""
        if entry.generation != self.generation:
            self._forget(entry)  # handed out before a fork(): the parent's
            return []
        entry.where = None
        if reason is None and not self.closed:
            entry.since = now
            entry.suspect = False
            self.idle.append(entry)
        else:
            if broken:
                for other in self.idle:
                    other.suspect = True
            self.discard(entry, reason or CLOSED)
        return self.dispatch(now) if self.waiters else []

    def discard(self, entry: Entry, reason: str) -> None:
        """Count a connection out of the pool and put it in the trash."""
        self.size -= 1
        entry.host.count -= 1
        self.counts["discarded"] += 1
        self.trash.append((entry.conn, reason))

    def take_trash(self) -> List[Tuple[Any, str]]:
        if not self.trash:
            return self.trash
        trash, self.trash = self.trash, []
        for _, reason in trash:
            log.info("pool: connection to %s discarded (%s)", self.where(), reason)
        return trash

    def orphan(self, entry: Entry) -> None:
        """An entry whose holder was collected without giving it back (any thread)."""
        self.orphans.append(entry)

    def _adopt_orphans(self) -> None:
        while self.orphans:
            entry = self.orphans.popleft()
            if entry.generation != self.generation:
                continue
            self.counts["reclaimed"] += 1
            where = "%s:%d" % entry.where if entry.where else "?"
            text = "a pooled connection to %s acquired at %s was never given back; " \
                   "the pool closed it" % (format_address(entry.host.address), where)
            log.warning("pool: %s", text)
            warnings.warn(text, ResourceWarning, stacklevel=2)
            self.discard(entry, "never given back")

    def _prune(self, now: float) -> None:
        if self.max_idle is None:
            return
        idle = self.idle  # the least recently used at the left
        while idle and now - idle[0].since > self.max_idle and self.size > self.min_size:
            self.discard(idle.popleft(), "idle for more than %s" % duration_text(self.max_idle))

    # -- fork, close, statistics ------------------------------------------------------------

    def after_fork(self) -> bool:
        """In a child process: forget every inherited connection and waiter, so
        that nothing is sent or shut down on the parent's sockets.  True when
        something was reset."""
        if self.generation == _fork.generation:
            return False
        for entry in self.idle:
            self._forget(entry)
        self.idle.clear()
        self.waiters.clear()
        self.orphans.clear()
        self.trash = []
        self.size = self.opening = 0
        for host in self.hosts:
            host.count = 0
            host.probing = False
        self.generation = _fork.generation
        return True

    def _forget(self, entry: Entry) -> None:
        try:
            _fork.forget(self.fileno(entry.conn))
        except (OSError, ValueError, AttributeError):
            pass

    def close(self) -> List[Grant]:
        """Close the pool: the idle connections go to the trash, waiting callers
        get ``PoolClosed``; the grants to wake."""
        self.closed = True
        while self.idle:
            self.discard(self.idle.popleft(), CLOSED)
        served = list(self.waiters)
        self.waiters.clear()
        for grant in served:
            grant.error = PoolClosed(CLOSED)
            grant.done = True
        return served

    def stats(self) -> Dict[str, int]:
        counts = dict(self.counts)
        counts.update(size=self.size, idle=len(self.idle), in_use=self.size - len(self.idle),
                      waiting=len(self.waiters), min_size=self.min_size, max_size=self.max_size)
        return counts

    def where(self) -> str:
        return ",".join(format_address(h.address) for h in self.hosts)

    def timeout_error(self, timeout: float) -> PoolTimeout:
        self.counts["timeouts"] += 1
        failed = [h for h in self.hosts if h.error is not None]
        if failed and self.size - len(self.idle) < self.max_size:
            last = max(failed, key=lambda h: h.failed_at)
            assert last.error is not None
            err = PoolTimeout("no connection to %s within %s: the last attempt failed with "
                              "%s: %s" % (self.where(), duration_text(timeout), type(last.error).__name__,
                                          last.error))
            err.__cause__ = last.error
            return err
        return PoolTimeout("no connection free within %s: all %d in use"
                           % (duration_text(timeout), self.max_size))

    def describe(self, kind: str) -> str:
        s = self.stats()
        return "<%s %s size=%d idle=%d max_size=%d%s>" % (
            kind, self.where(), s["size"], s["idle"], s["max_size"],
            " closed" if self.closed else "")


Callback = Optional[Callable[[Any], Any]]


class PoolBase:
    """What both pools share in front of their core: one constructor (one
    signature, one set of defaults), the settings as attributes, the repr.
    A driver sets ``_connect`` (its ``connect``), ``_fileno`` (a connection's
    descriptor) and ``_kind``, and starts itself in ``_start``."""

    _kind = "pool"
    _connect: Callable[..., Any]
    _fileno: Callable[[Any], int]

    def __init__(self, address: Any = None, auth: AuthOption = None, *,
                 min_size: int = DEFAULTS["min_size"], max_size: int = DEFAULTS["max_size"],
                 timeout: float = DEFAULTS["timeout"],
                 max_idle: Optional[float] = DEFAULTS["max_idle"],
                 check_after: float = DEFAULTS["check_after"],
                 call_timeout: Optional[float] = None, check: Callback = None,
                 configure: Callback = None, reset: Callback = None,
                 **connect_options: Any) -> None:
        self._core = PoolCore(address, auth, self._connect, self._fileno, min_size=min_size,
                              max_size=max_size, timeout=timeout, max_idle=max_idle,
                              check_after=check_after, call_timeout=call_timeout, check=check,
                              configure=configure, reset=reset, options=connect_options)
        self.timeout = timeout
        self._start()

    def _start(self) -> None:
        pass

    address = property(lambda self: self._core.address, doc="The first host's (host, port).")
    min_size = property(lambda self: self._core.min_size)
    max_size = property(lambda self: self._core.max_size)
    max_idle = property(lambda self: self._core.max_idle)
    check_after = property(lambda self: self._core.check_after)
    closed = property(lambda self: self._core.closed)

    def __repr__(self) -> str:
        return self._core.describe(self._kind)
