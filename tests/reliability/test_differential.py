"""The compiled connection and its pure-Python twin, fed the same bytes, must agree.

Each example is a byte stream drawn by :mod:`streams` (valid answers, damaged
ones, ERROR packets, odd bodies, noise).  A scripted peer on a real loopback
socket writes it once for each module; the results, or the exception class and
text, must be the same.  The second call on the connection is compared too:
after a failure that did not end the answer (anything but a server error) it
must fail at once with the socket's error, never hand out leftovers.
"""

from __future__ import annotations

import importlib
import threading
import warnings
from types import ModuleType
from typing import Any, Callable, List, Tuple

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from peer import Peer, connect, handshake_reply, packet, raw_packet, recv, send, shut_wr, signal
from vantrel.share.protocol import MSG_TYPE

from .sizes import PROFILE, huge_allocations_abort
from .streams import answer_streams

TIMEOUT = 5.0
Outcome = Tuple[Any, ...]


def describe(mod: ModuleType, exc: BaseException) -> Outcome:
    """What a caller can see of an exception: class, text, server code, context class."""
    if isinstance(exc, mod.ProtocolError):
        name = "ProtocolError"
    else:
        name = "%s.%s" % (type(exc).__module__, type(exc).__qualname__)
    context = exc.__context__
    text = str(exc)
    if type(context).__name__ == "ZstdError":
        # The codec's shared zstd decompressor words its error for a corrupt
        # body after the bodies it saw before: that text is not compared.
        text = "ZstdError(...)"
    return ("raise", name, text, repr(getattr(exc, "code", None)),
            None if context is None else type(context).__name__)


def attempt(mod: ModuleType, func: Callable[..., Any], *args: Any) -> Outcome:
    try:
        result = func(*args)
    except Exception as e:
        return describe(mod, e)
    return ("ok", type(result).__name__, repr(result))


def failed_mid_answer(outcome: Outcome) -> bool:
    """A failure that leaves the rest of the answer unread (not a whole ERROR packet)."""
    if outcome[0] != "raise":
        return False
    return not outcome[1].startswith("vantrel.share.errors.")


def check_no_leftovers(mod: ModuleType, first: Outcome, second: Outcome) -> None:
    if failed_mid_answer(first):
        assert second[0] == "raise" and second[1].endswith("BrokenPipeError"), \
            "%s: a call after %r gave %r" % (mod.__name__, first, second)


def run_execute(mod: ModuleType, stream: bytes) -> List[Outcome]:
    """Two calls; the peer answers the first with ``stream`` and then ends its side."""
    done = threading.Event()
    peer = Peer([recv(), send(stream, may_fail=True), shut_wr(), signal(done)], handshake=True,
                timeout=TIMEOUT)
    conn = connect(mod, peer)
    try:
        first = attempt(mod, conn.execute, "m", 1)
        normal = attempt(mod, conn.is_normal) if failed_mid_answer(first) else None
        second = attempt(mod, conn.execute, "m", 2)
        check_no_leftovers(mod, first, second)
        if normal is not None:
            assert normal == ("ok", "bool", "False"), normal
        done.wait(TIMEOUT)
    finally:
        conn.close()
        peer.finish()
    return [first, second]


def run_reader(mod: ModuleType, stream: bytes) -> List[Outcome]:
    """``_read_one_packet`` called until it raises (at most 8 packets)."""
    done = threading.Event()
    peer = Peer([send(stream, may_fail=True), shut_wr(), signal(done)], handshake=True,
                timeout=TIMEOUT)
    conn = connect(mod, peer)
    out: List[Outcome] = []
    try:
        while len(out) < 8 and (not out or out[-1][0] == "ok"):
            out.append(attempt(mod, conn._read_one_packet))
        done.wait(TIMEOUT)
    finally:
        conn.close()
        peer.finish()
    return out


def run_handshake(mod: ModuleType, stream: bytes) -> List[Outcome]:
    """``stream`` as the reply to the handshake; on success one call follows."""
    done = threading.Event()
    peer = Peer([recv(), send(stream, may_fail=True), shut_wr(), signal(done)], timeout=TIMEOUT)
    sock = peer.socket()
    out: List[Outcome] = []
    had_registry = "__warningregistry__" in vars(mod)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                conn = mod.Connection(sock, {"user": "u"})
            except Exception as e:
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
        sock.close()
        peer.finish()
    return out


RUNNERS = {"execute": run_execute, "reader": run_reader, "handshake": run_handshake}


def load(name: str) -> ModuleType:
    return importlib.import_module({"ext": "vantrel.connection", "twin": "vantrel._pyconnection"}[name])


def compare(runner: str, stream: bytes, left: str = "ext", right: str = "twin") -> None:
    a = RUNNERS[runner](load(left), stream)
    b = RUNNERS[runner](load(right), stream)
    assert a == b, "stream %s:\n  %s: %r\n  %s: %r" % (stream.hex(), left, a, right, b)


# Streams every run tries, whatever Hypothesis draws.
T = MSG_TYPE
FIXED = [
    b"",
    packet(T.RESPONSE, {"a": [1, 2.5, None]}),
    packet(T.RESPONSE)[:5],
    packet(T.RESPONSE, "x" * 40)[:20],
    packet(T.STREAM_START) + packet(T.TABLE, [["a", "b"], [1, 2], [3]]) + packet(T.STREAM_END),
    packet(T.STREAM_START) + packet(T.TABLE2, ["h", 1, 2]) + packet(T.TABLE2, [3]) + packet(T.STREAM_END),
    packet(T.STREAM_START) + packet(T.FEED, [1]) + packet(T.FEED) + packet(T.STREAM_END),
    packet(T.STREAM_START) + packet(T.TABLE, []) + packet(T.STREAM_END),
    packet(T.STREAM_START) + packet(T.TABLE, [[[1]], [2]]) + packet(T.STREAM_END),
    packet(T.STREAM_START) + packet(T.FEED, [1]) + packet(T.ERROR, [3, "no"]) + packet(T.RESPONSE, 9),
    packet(T.ERROR, [2, "refused"]) + packet(T.RESPONSE, 7),
    packet(T.ERROR, [1, 2, 3]),
    packet(T.ERROR, "text"),
    packet(T.ERROR),
    raw_packet(T.RESPONSE, 2, 0, 5, b"\xc1\xc1\xc1\xc1\xc1"),
    raw_packet(T.RESPONSE, 2, 1, 3, b"abc"),
    raw_packet(42, 9, 9, 1, b"x"),
    raw_packet(T.RESPONSE, 7, 0, 0),
    raw_packet(T.RESPONSE, 0, 9, 0),
    raw_packet(T.RESPONSE, 2, 0, -5),
    raw_packet(T.RESPONSE, 2, 0, 2 ** 62),
    packet(T.HANDSHAKE, "notice") + packet(T.RESPONSE, 1),
    packet(T.STREAM_END),
    packet(T.STREAM_START) + packet(T.STREAM_START),
    packet(T.STREAM_START) + packet(T.TABLE, [["k"], [1]]) + packet(T.FEED, [2]),
]


HUGE = FIXED.index(raw_packet(T.RESPONSE, 2, 0, 2 ** 62))


@pytest.mark.parametrize("runner", sorted(RUNNERS))
@pytest.mark.parametrize("index", range(len(FIXED)))
def test_fixed_streams(runner: str, index: int) -> None:
    if index == HUGE and huge_allocations_abort():
        pytest.skip("the sanitizer aborts on the reader's huge allocation (ASAN_OPTIONS)")
    compare(runner, FIXED[index])


@pytest.mark.parametrize("runner", sorted(RUNNERS))
@settings(settings.get_profile(PROFILE))
@given(stream=answer_streams())
def test_drawn_streams(runner: str, stream: bytes) -> None:
    compare(runner, stream)


@settings(settings.get_profile(PROFILE), max_examples=max(20, settings.get_profile(PROFILE).max_examples // 10))
@given(stream=answer_streams(), runner=st.sampled_from(sorted(RUNNERS)))
def test_harness_is_deterministic(stream: bytes, runner: str) -> None:
    """The twin against itself: the harness alone never makes two runs differ."""
    compare(runner, stream, "twin", "twin")


# The harness itself: what it records for a known stream.

def test_records_the_handshake_notice(impl: ModuleType) -> None:
    out = run_handshake(impl, handshake_reply("hello") + packet(MSG_TYPE.RESPONSE, 5))
    assert out == [("warnings", ("UserWarning", "hello")), ("ok", "int", "5")]


def test_a_server_error_leaves_the_next_answer_in_place(impl: ModuleType) -> None:
    stream = packet(MSG_TYPE.ERROR, [4, "bad args"]) + packet(MSG_TYPE.RESPONSE, 7)
    first, second = run_execute(impl, stream)
    assert first == ("raise", "vantrel.share.errors.InvalidArgumentsError", "bad args", "4", None)
    assert second == ("ok", "int", "7")


def test_a_cut_answer_is_never_handed_to_the_next_call(impl: ModuleType) -> None:
    stream = (packet(MSG_TYPE.STREAM_START) + packet(MSG_TYPE.FEED, [1]) + packet(MSG_TYPE.TABLE, [2])
              + packet(MSG_TYPE.RESPONSE, "stale"))
    first, second = run_execute(impl, stream)
    assert first[:3] == ("raise", "ProtocolError", "unexpected message in feed stream: TABLE")
    assert second[:2] == ("raise", "builtins.BrokenPipeError")
