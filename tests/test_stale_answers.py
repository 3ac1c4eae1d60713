"""A call that fails in mid-answer must never hand its leftovers to a later call.

After such a failure the socket is shut down: the next call fails at its send
and the liveness check reports the connection as not normal.  A failure
before anything was sent, and a server error that ends the answer, leave the
connection usable.
"""

import socket
import threading

import pytest

from peer import close, error_packet, packet, raw_packet, recv, send, wait
from vantrel.share.errors import MethodNotFoundError, ServerError
from vantrel.share.protocol import COMPRESSION_METHOD as CM
from vantrel.share.protocol import MSG_TYPE
from vantrel.share.protocol import SERIALIZATION_TYPE as ST

R, START, END = MSG_TYPE.RESPONSE, MSG_TYPE.STREAM_START, MSG_TYPE.STREAM_END
TABLE, FEED = MSG_TYPE.TABLE, MSG_TYPE.FEED
STALE = packet(R, "stale answer")
NEXT = [recv(), send(packet(R, "next answer"))]

MID_ANSWER = [
    ("unexpected packet in table stream",
     [packet(START), packet(TABLE, [["a"], [1]]), packet(FEED, [2]), packet(TABLE, [[3]]), packet(END),
      STALE], "ProtocolError"),
    ("rejected header whose body is a packet",
     [raw_packet(0, ST.MSGPACK, CM.NONE, len(STALE), STALE), STALE], "ProtocolError"),
    ("undecodable body in a stream",
     [packet(START), packet(FEED, [1]), raw_packet(FEED, ST.MSGPACK, CM.ZLIB, 4, b"junk"),
      packet(FEED, [2]), packet(END), STALE], "ProtocolError"),
    ("first answer not a stream start", [packet(END), STALE], "ProtocolError"),
    ("unknown stream kind", [packet(START), packet(START), STALE], "ProtocolError"),
    ("feed packet without body",
     [packet(START), packet(FEED, [1]), packet(FEED), packet(FEED, [2]), packet(END), STALE], TypeError),
    ("error body not a pair", [packet(START), packet(MSG_TYPE.ERROR, [1, 2, 3]), STALE], ValueError),
    ("row not iterable", [packet(START), packet(TABLE, [["a"], 5]), packet(END), STALE], TypeError),
]


def assert_out_of_use(conn, peer, requests=1):
    assert conn.is_normal() is False
    with pytest.raises(OSError):
        conn.execute("next")
    with pytest.raises(OSError):
        conn.execute("and the next")
    assert len(peer.received) == 1 + requests  # the handshake and the failed call only


@pytest.mark.parametrize("packets, exc", [c[1:] for c in MID_ANSWER], ids=[c[0] for c in MID_ANSWER])
def test_failure_in_mid_answer_puts_the_connection_out_of_use(impl, net, packets, exc):
    peer = net.peer([recv(), send(b"".join(packets))])
    conn = net.connect(impl, peer)
    with pytest.raises(getattr(impl, exc) if isinstance(exc, str) else exc):
        conn.execute("m")
    assert_out_of_use(conn, peer)


def test_late_answer_after_a_time_out(impl, net):
    go = threading.Event()
    peer = net.peer([recv(), wait(go), send(STALE, may_fail=True)])
    conn = net.connect(impl, peer)
    conn.set_timeout(0.2)
    with pytest.raises(socket.timeout):
        conn.execute("slow")
    go.set()
    conn.set_timeout(5)
    assert_out_of_use(conn, peer)


def test_peer_closing_in_mid_body(impl, net):
    peer = net.peer([recv(), send(packet(START) + raw_packet(TABLE, ST.RAW, CM.NONE, 100, b"x" * 10)),
                     close()])
    conn = net.connect(impl, peer)
    with pytest.raises(impl.ProtocolError, match="incomplete body"):
        conn.execute("m")
    assert_out_of_use(conn, peer)


def test_interrupt_in_mid_answer(impl, net, monkeypatch):
    peer = net.peer([recv(), send(packet(START) + packet(FEED, [1]) + packet(END))])
    conn = net.connect(impl, peer)
    real = impl.unpack_one

    def interrupted(body, st, cm):
        if real(body, st, cm) == [1]:
            raise KeyboardInterrupt
        return real(body, st, cm)

    monkeypatch.setattr(impl, "unpack_one", interrupted)
    with pytest.raises(KeyboardInterrupt):
        conn.execute("m")
    assert_out_of_use(conn, peer)


class ShutdownFails:
    """A socket whose shutdown fails; everything else is the real socket's."""

    def __init__(self, sock):
        self._s = sock
        self.shutdowns = []

    def shutdown(self, how):
        self.shutdowns.append(how)
        raise OSError("shutdown failed")

    def __getattr__(self, name):
        return getattr(self._s, name)


def test_shutdown_error_does_not_replace_the_failure(impl, net):
    peer = net.peer([recv(), send(packet(END) + STALE)])
    conn = net.connect(impl, peer)
    conn._socket = ShutdownFails(conn._socket)
    with pytest.raises(impl.ProtocolError) as ei:
        conn.execute("m")
    assert ei.value.args == ("got STREAM_END when STREAM_START expected",)
    assert ei.value.__context__ is None
    assert conn._socket.shutdowns == [socket.SHUT_RDWR]


@pytest.mark.parametrize("serializer, arg, exc", [
    (None, object(), TypeError),
    (ST.JSON, {1, 2}, TypeError),
    (ST.JSON, float("nan"), ValueError),
    (ST.RAW, "text", ValueError),
])
def test_failure_before_sending_leaves_the_connection_usable(impl, net, monkeypatch, serializer,
                                                             arg, exc):
    peer = net.peer(NEXT)
    conn = net.connect(impl, peer)
    if serializer is not None:
        monkeypatch.setattr(impl, "DEFAULT_SERIALIZER_TYPE", serializer)
    with pytest.raises(exc):
        conn.execute("m", arg)
    monkeypatch.undo()
    assert conn.is_normal() is True
    assert conn.execute("fine") == "next answer"
    assert [p.body for p in peer.received[1:]] == [["fine", [], {}]]


@pytest.mark.parametrize("packets", [
    [error_packet(3, "no such method")],
    [packet(START), packet(TABLE, [["a"], [1]]), error_packet(3, "no such method")],
    [packet(START), packet(FEED, [1]), packet(FEED, [2]), error_packet(3, "no such method")],
], ids=["first answer", "table stream", "feed stream"])
def test_server_error_leaves_the_connection_usable(impl, net, packets):
    conn = net.serve(impl, [recv(), send(b"".join(packets))] + NEXT)
    with pytest.raises(MethodNotFoundError) as ei:
        conn.execute("m")
    assert isinstance(ei.value, ServerError) and ei.value.args == ("no such method",)
    assert conn.is_normal() is True
    assert conn.execute("again") == "next answer"
