"""Repeated successes and failures must not grow the interpreter's allocated blocks.

Each case runs a warm-up, then a few thousand iterations; the growth of
``sys.getallocatedblocks()`` over them must stay below a small constant.  A
single object lost per iteration would exceed it many times over.
"""

import gc
import io
import itertools
import sys
import warnings

import pytest

from peer import error_packet, handshake_reply, packet, raw_packet, send
from vantrel.share.errors import AuthenticationError, MethodNotFoundError
from vantrel.share.protocol import COMPRESSION_METHOD as CM
from vantrel.share.protocol import MSG_TYPE
from vantrel.share.protocol import SERIALIZATION_TYPE as ST

ITERATIONS = 2000
WARMUP = 200
LIMIT = 100  # blocks

R, START, END, ERROR = MSG_TYPE.RESPONSE, MSG_TYPE.STREAM_START, MSG_TYPE.STREAM_END, MSG_TYPE.ERROR
TABLE, TABLE2, FEED = MSG_TYPE.TABLE, MSG_TYPE.TABLE2, MSG_TYPE.FEED


def growth(step):
    for _ in range(WARMUP):
        step()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(ITERATIONS):
        step()
    gc.collect()
    return sys.getallocatedblocks() - before


def expect(call, exc):
    if exc is None:
        return call

    def step():
        try:
            call()
        except exc:
            pass
        else:
            raise AssertionError("no %s raised" % exc)

    return step


def resolve(impl, exc):
    return getattr(impl, exc) if isinstance(exc, str) else exc


# -- the packet reader over loopback ----------------------------------------------

WIRE = [
    ("response", packet(R, [1, "two", {"k": b"x", "f": 1.5}]), None),
    ("compressed", packet(TABLE, [[1, "a"]] * 20, cm=CM.ZSTD), None),
    ("no body", packet(END), None),
    ("bad type", raw_packet(0, ST.MSGPACK, CM.NONE, 0), "ProtocolError"),
    ("bad serializer", raw_packet(R, 9, CM.NONE, 0), "ProtocolError"),
    ("bad compression", raw_packet(R, ST.MSGPACK, 9, 0), "ProtocolError"),
    ("undecodable", raw_packet(R, ST.MSGPACK, CM.ZLIB, 4, b"junk"), "ProtocolError"),
    ("server error", error_packet(3, "no such method"), MethodNotFoundError),
    ("error body not a pair", packet(ERROR, [1, 2, 3]), ValueError),
]


@pytest.mark.parametrize("data, exc", [w[1:] for w in WIRE], ids=[w[0] for w in WIRE])
def test_reader_over_the_wire(impl, net, data, exc):
    conn = net.serve(impl, [send(data * (WARMUP + ITERATIONS))])
    assert growth(expect(conn._read_one_packet, resolve(impl, exc))) < LIMIT


class ScriptedReader:
    def __init__(self, *chunks):
        self.chunks = itertools.cycle(chunks)

    def read(self, n):
        return next(self.chunks)

    def close(self):
        pass


@pytest.mark.parametrize("chunks", [(b"",), (b"\x03\x02\x00",),
                                    (raw_packet(R, ST.RAW, CM.NONE, 10), b"abc")],
                         ids=["disconnected", "incomplete header", "incomplete body"])
def test_reader_truncations(impl, net, chunks):
    conn = net.serve(impl, [])
    conn._sf = ScriptedReader(*chunks)
    assert growth(expect(conn._read_one_packet, impl.ProtocolError)) < LIMIT


# -- execute and the collectors ----------------------------------------------------

class FakeSocket:
    def __init__(self, reply=b""):
        self.reply = reply

    def makefile(self, mode, buffering):
        return io.BufferedReader(io.BytesIO(self.reply), buffering)

    def getsockname(self):
        return ("127.0.0.1", 4000)

    def sendall(self, data):
        pass

    def shutdown(self, how):
        pass


EXECUTE = [
    ("response", [(R, {"a": [1, 2]})], None),
    ("empty stream", [(START, None), (END, None)], None),
    ("table", [(START, None), (TABLE, [["a", "b", "a"], [1, 2, 3], [4]]), (TABLE, [[5, 6], []]),
               (END, None)], None),
    ("table2", [(START, None), (TABLE2, ["h", 1, [2]]), (TABLE2, [3]), (END, None)], None),
    ("feed", [(START, None), (FEED, [1, "x"]), (FEED, [[2]]), (END, None)], None),
    ("not a stream start", [(TABLE, [["a"]])], "ProtocolError"),
    ("unknown stream kind", [(START, None), (R, 1)], "ProtocolError"),
    ("table intruder", [(START, None), (TABLE, [["a"], [1]]), (FEED, [1])], "ProtocolError"),
    ("table2 intruder", [(START, None), (TABLE2, ["h", 1]), (TABLE, [1])], "ProtocolError"),
    ("feed intruder", [(START, None), (FEED, [1]), (ERROR, None)], "ProtocolError"),
    ("body missing", [(START, None), (FEED, [1]), (FEED, None)], TypeError),
    ("empty first", [(START, None), (TABLE, [])], IndexError),
    ("row not iterable", [(START, None), (TABLE, [["a"], 5])], TypeError),
    ("server error", [(START, None), "raise"], MethodNotFoundError),
]


@pytest.mark.parametrize("answer, exc", [e[1:] for e in EXECUTE], ids=[e[0] for e in EXECUTE])
def test_execute(impl, net, answer, exc):
    script = itertools.cycle(answer)

    class Scripted(impl.Connection):
        def _do_auth(self, auth):
            pass

        def _read_one_packet(self):
            item = next(script)
            if item == "raise":
                raise MethodNotFoundError("no such method")
            return item

    conn = Scripted(FakeSocket(), {"user": "u"})
    assert growth(expect(lambda: conn.execute("m", 1, k=[2]), resolve(impl, exc))) < LIMIT


def test_execute_over_the_wire(impl, net):
    answer = packet(START) + packet(TABLE, [["a", "b"], [1, 2]]) + packet(TABLE, [[3, 4]]) + packet(END)
    conn = net.serve(impl, [send(answer * (WARMUP + ITERATIONS))])
    assert growth(lambda: conn.execute("m", "arg", key=1)) < LIMIT


def test_request_that_cannot_be_packed(impl, net):
    conn = net.serve(impl, [])
    assert growth(expect(lambda: conn.execute("m", object()), TypeError)) < LIMIT


# -- construction ---------------------------------------------------------------------

@pytest.mark.parametrize("reply, exc", [
    (handshake_reply(), None),
    (handshake_reply("notice"), None),
    (packet(R, 1), "ProtocolError"),
    (error_packet(2, "denied"), AuthenticationError),
    (b"", "ProtocolError"),
], ids=["plain", "notice", "wrong reply", "refused", "disconnected"])
def test_construction(impl, reply, exc):
    auth = {"user": "u", "password": "p"}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert growth(expect(lambda: impl.Connection(FakeSocket(reply), auth),
                             resolve(impl, exc))) < LIMIT
