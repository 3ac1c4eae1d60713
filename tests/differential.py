"""One exchange with a scripted peer, as its caller sees it: the differential harness.

A runner feeds a byte stream, as the server's side of one exchange, to a
connection module through a scripted peer on a real loopback socket and
returns what the caller saw: each result, or the exception's class, text,
server code and context class.  The compiled module and its twin must give
the same outcomes for the same stream (:func:`compare`).

    handshake   the stream is the reply to the handshake; on success one call follows
    execute     the stream answers the first of two calls
    reader      packets read one by one with ``_read_one_packet``

Whatever the stream, only the exception types the connection documents may
come out of it: ProtocolError, the server errors of ``vantrel.share.errors``,
OSError (a closed or shut down socket), TypeError, ValueError, IndexError and
KeyError (bodies of the wrong shape), and MemoryError or OverflowError (a
header that announces a body larger than memory: bodies are read in one piece
of the announced size).  A socket time-out is a hang: the peer always ends its
stream.  After a call that failed in mid-answer (anything but a server error)
the next call must fail at once with the socket's error, never hand out
leftovers.  Each of these, and a difference between the modules, raises
:class:`Finding`.

The packet fuzzer (fuzz/fuzz_packet.py) and tests/reliability/test_differential.py
both run their streams through here.
"""

from __future__ import annotations

import os
import socket
import threading
import warnings
from types import ModuleType
from typing import Any, Callable, Dict, List, Tuple

from peer import Peer, connect, handshake_reply, recv, send, shut_and_close, shut_wr, signal
from vantrel._impls import connection_module
from vantrel.share.errors import ServerError

TIMEOUT = 10.0  # far beyond any honest exchange: a client still waiting then has hung
READER_PACKETS = 8
Outcome = Tuple[Any, ...]


class Finding(AssertionError):
    """An undocumented exception, a hang, leftovers handed out, or two modules that differ."""


def huge_allocations_abort() -> bool:
    """True under AddressSanitizer unless it may return NULL for a huge allocation.

    A header may announce a body of up to 2**63 - 1 bytes, and the reader asks
    for a buffer of that size.  The sanitizer's allocator aborts the process
    on such a request unless ASAN_OPTIONS has allocator_may_return_null=1, in
    which case it fails with MemoryError as usual.
    """
    return ("libasan" in os.environ.get("LD_PRELOAD", "")
            and "allocator_may_return_null=1" not in os.environ.get("ASAN_OPTIONS", ""))


def describe(mod: ModuleType, exc: BaseException) -> Outcome:
    """What a caller can see of an exception: class, text, server code, context class."""
    if isinstance(exc, mod.ProtocolError):
        name = "ProtocolError"
    else:
        name = "%s.%s" % (type(exc).__module__, type(exc).__qualname__)
    context = exc.__context__
    return ("raise", name, str(exc), repr(getattr(exc, "code", None)),
            None if context is None else type(context).__name__)


def check(mod: ModuleType, exc: BaseException) -> None:
    """Raise Finding for a hang or an exception the connection does not document."""
    if isinstance(exc, socket.timeout):
        raise Finding("hang: the client waited past its time-out (%r)" % (exc,)) from exc
    allowed = (mod.ProtocolError, ServerError, OSError, TypeError, ValueError,
               IndexError, KeyError, MemoryError, OverflowError)
    if not isinstance(exc, allowed):
        raise Finding("undocumented exception %r" % (exc,)) from exc


def attempt(mod: ModuleType, func: Callable[..., Any], *args: Any) -> Outcome:
    try:
        result = func(*args)
    except Exception as e:
        check(mod, e)
        return describe(mod, e)
    return ("ok", type(result).__name__, repr(result))


def failed_mid_answer(outcome: Outcome) -> bool:
    """A failure that leaves the rest of the answer unread (not a whole ERROR packet)."""
    if outcome[0] != "raise":
        return False
    return not outcome[1].startswith("vantrel.share.errors.")


_shared: List[Peer] = []


def _peer(stream: bytes, done: threading.Event, request: bool, handshake: bool) -> Peer:
    """The peer of the next run: it sends ``stream`` (after reading one packet with
    ``request``) and ends its side.  All runs share one peer, serving them one after
    another: a listener per run would use up the loopback ports in a long run."""
    script = [send(stream, may_fail=True), shut_wr(), signal(done)]
    if request:
        script = [recv(record=False)] + script
    if handshake:
        script = [recv(record=False), send(handshake_reply())] + script
    if not _shared:
        _shared.append(Peer([], clients=None, timeout=TIMEOUT))
    _shared[0].script = script
    return _shared[0]


def _finish(peer: Peer) -> None:
    """A failure of the peer in the run is a finding (and the next run gets a new peer)."""
    if peer.error is not None:
        _shared.clear()
        try:
            peer.finish()
        except AssertionError as e:
            raise Finding(str(e)) from e


def run_execute(mod: ModuleType, stream: bytes) -> List[Outcome]:
    """Two calls; the peer answers the first with ``stream`` and then ends its side."""
    done = threading.Event()
    peer = _peer(stream, done, request=True, handshake=True)
    conn = connect(mod, peer)
    try:
        first = attempt(mod, conn.execute, "m", 1)
        normal = attempt(mod, conn.is_normal) if failed_mid_answer(first) else None
        second = attempt(mod, conn.execute, "m", 2)
        if failed_mid_answer(first) and not (second[0] == "raise"
                                             and second[1].endswith("BrokenPipeError")):
            raise Finding("%s: a call after %r gave %r" % (mod.__name__, first, second))
        if normal is not None and normal != ("ok", "bool", "False"):
            raise Finding("%s: is_normal() after %r gave %r" % (mod.__name__, first, normal))
        done.wait(TIMEOUT)
    finally:
        conn.close()
        _finish(peer)
    return [first, second]


def run_reader(mod: ModuleType, stream: bytes) -> List[Outcome]:
    """``_read_one_packet`` called until it raises (at most READER_PACKETS packets)."""
    done = threading.Event()
    peer = _peer(stream, done, request=False, handshake=True)
    conn = connect(mod, peer)
    out: List[Outcome] = []
    try:
        while len(out) < READER_PACKETS and (not out or out[-1][0] == "ok"):
            out.append(attempt(mod, conn._read_one_packet))
        done.wait(TIMEOUT)
    finally:
        conn.close()
        _finish(peer)
    return out


def run_handshake(mod: ModuleType, stream: bytes) -> List[Outcome]:
    """``stream`` as the reply to the handshake, with the warnings it gives; on success one call."""
    done = threading.Event()
    peer = _peer(stream, done, request=True, handshake=False)
    sock = peer.socket()
    out: List[Outcome] = []
    had_registry = "__warningregistry__" in vars(mod)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                conn = mod.Connection(sock, {"user": "u"})
            except Exception as e:
                check(mod, e)
                conn = None
                out.append(describe(mod, e))
        if not had_registry:  # left by warnings.warn in the module that called it
            vars(mod).pop("__warningregistry__", None)
        out.append(("warnings",) + tuple((w.category.__name__, str(w.message)) for w in caught))
        if conn is not None:
            out.append(attempt(mod, conn.execute, "m"))
            conn.close()
        done.wait(TIMEOUT)
    finally:
        shut_and_close(sock)
        _finish(peer)
    return out


RUNNERS: Dict[str, Callable[[ModuleType, bytes], List[Outcome]]] = {
    "handshake": run_handshake, "execute": run_execute, "reader": run_reader}


def compare(runner: str, stream: bytes, left: str = "ext", right: str = "twin") -> List[Outcome]:
    """The outcomes of ``stream`` through the two modules, which must be the same."""
    a = RUNNERS[runner](connection_module(left), stream)
    b = RUNNERS[runner](connection_module(right), stream)
    if a != b:
        raise Finding("modules differ on %s (%s):\n  %s: %r\n  %s: %r"
                      % (stream.hex(), runner, left, a, right, b))
    return a
