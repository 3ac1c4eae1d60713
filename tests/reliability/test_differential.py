"""The compiled connection and its pure-Python twin, fed the same bytes, must agree.

Each example is a byte stream drawn by :mod:`streams` (valid answers, damaged
ones, ERROR packets, odd bodies, noise), or one of the fixed streams below.
The harness (tests/differential.py) has a scripted peer on a real loopback
socket write it once for each module; the results, or the exception class and
text, must be the same.  The second call on the connection is compared too:
after a failure that did not end the answer (anything but a server error) it
must fail at once with the socket's error, never hand out leftovers.
"""

from __future__ import annotations

from types import ModuleType

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from differential import RUNNERS, compare, huge_allocations_abort, run_execute, run_handshake
from peer import handshake_reply, packet, raw_packet
from vantrel.share._codecbase import MAX_NESTING
from vantrel.share.protocol import MSG_TYPE

from .sizes import PROFILE
from .streams import answer_streams

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
    packet(T.STREAM_START) + packet(T.TABLE2) + packet(T.STREAM_END),
    packet(T.STREAM_START) + packet(T.TABLE2, ["h", 1]) + packet(T.TABLE2) + packet(T.STREAM_END),
    # a value past the header nested 70 deep (dropped), then deeper than any body may nest
    *(packet(T.STREAM_START) + raw_packet(T.TABLE, 2, 0, len(body), body) + packet(T.STREAM_END)
      for body in (b"\x92\x91\xa1k\x92\x01" + b"\x91" * depth + b"\xc0" for depth in (70, MAX_NESTING))),
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
