"""Reads through the buffered reader over the socket: the state they leave in the
reader and its SocketIO, and every change to those that must be honoured."""

import socket
import threading

import pytest

from peer import packet, send, sleep, wait
from vantrel.share.protocol import MSG_TYPE

R = MSG_TYPE.RESPONSE
FIRST, SECOND = packet(R, "first"), packet(R, "second")


def test_time_out_marks_the_socket_io(impl, net):
    go = threading.Event()
    conn = net.serve(impl, [wait(go), send(FIRST)])
    conn.set_timeout(0.05)
    with pytest.raises(socket.timeout):
        conn._read_one_packet()
    assert conn._sf.raw._timeout_occurred is True
    go.set()
    with pytest.raises(OSError, match=r"^cannot read from timed out object$"):
        conn._read_one_packet()


def test_non_blocking_socket_with_nothing_pending(impl, net):
    go = threading.Event()
    conn = net.serve(impl, [wait(go), send(FIRST)])
    conn._socket.setblocking(False)
    with pytest.raises(TypeError, match="NoneType"):
        conn._read_one_packet()  # the reader's read gives None
    assert conn._sf.raw._timeout_occurred is False
    go.set()
    conn._socket.setblocking(True)
    assert conn._read_one_packet() == (R, "first")


def test_what_came_beyond_the_packet_stays_in_the_reader(impl, net):
    go = threading.Event()
    conn = net.serve(impl, [wait(go), send(FIRST + SECOND)])
    go.set()
    assert conn._read_one_packet() == (R, "first")
    assert conn._sf.read(len(SECOND)) == SECOND


def test_bytes_buffered_by_others_are_read_first(impl, net):
    go = threading.Event()
    conn = net.serve(impl, [wait(go), send(FIRST + SECOND)])
    go.set()
    assert conn._sf.peek(len(FIRST) + len(SECOND))[:3] == FIRST[:3]
    assert conn._read_one_packet() == (R, "first")
    assert conn._read_one_packet() == (R, "second")


def test_large_body_in_pieces(impl, net):
    big = packet(R, b"x" * 300_000)
    cut = [0, 7, 20_000, 140_000, len(big)]
    steps = []
    for a, b in zip(cut, cut[1:]):
        steps += [send(big[a:b]), sleep(0.01)]
    conn = net.serve(impl, steps + [send(FIRST)])
    assert conn._read_one_packet() == (R, b"x" * 300_000)
    assert conn._read_one_packet() == (R, "first")


def test_readinto_of_the_instance_is_called(impl, net):
    go = threading.Event()
    conn = net.serve(impl, [wait(go), send(FIRST)])
    inner, sizes = conn._sf.raw.readinto, []

    def readinto(b):
        sizes.append(len(b))
        return inner(b)

    conn._sf.raw.readinto = readinto
    go.set()
    assert conn._read_one_packet() == (R, "first")
    assert sizes[0] == 131072  # a fill of the reader's whole buffer


def test_readinto_of_the_class_is_called(impl, net, monkeypatch):
    go = threading.Event()
    conn = net.serve(impl, [wait(go), send(FIRST)])
    inner, sizes = socket.SocketIO.readinto, []

    def readinto(self, b):
        sizes.append(len(b))
        return inner(self, b)

    monkeypatch.setattr(socket.SocketIO, "readinto", readinto)
    go.set()
    assert conn._read_one_packet() == (R, "first")
    assert sizes[0] == 131072


def test_time_out_flag_set_from_outside_is_honoured(impl, net):
    go = threading.Event()
    conn = net.serve(impl, [send(FIRST), wait(go), send(SECOND)])
    assert conn._read_one_packet() == (R, "first")
    conn._sf.raw._timeout_occurred = True
    go.set()
    with pytest.raises(OSError, match=r"^cannot read from timed out object$"):
        conn._read_one_packet()


def test_closed_reader(impl, net):
    conn = net.serve(impl, [send(FIRST)])
    conn._sf.close()
    with pytest.raises(ValueError):
        conn._read_one_packet()


@pytest.mark.ext_only
def test_rebound_globals_apply_to_the_next_read(ext, net, monkeypatch):
    conn = net.serve(ext, [send(FIRST), send(SECOND), send(FIRST)])
    assert conn._read_one_packet() == (R, "first")
    monkeypatch.setattr(ext, "unpack_one", lambda body, st, cm: ("seen", len(body)))
    assert conn._read_one_packet() == (R, ("seen", len(SECOND) - 12))
    monkeypatch.delattr(ext, "unpack_one")
    with pytest.raises(NameError, match=r"^name 'unpack_one' is not defined$"):
        conn._read_one_packet()
