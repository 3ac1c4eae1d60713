"""Liveness check of an idle connection over loopback TCP."""

import select
import threading

import pytest

from peer import close, packet, send, wait
from vantrel.share.protocol import MSG_TYPE


def wait_readable(sock):
    assert select.select([sock], [], [], 5)[0], "nothing arrived"


def test_idle_connection_is_normal(impl, net):
    conn = net.serve(impl, [])
    assert conn.is_normal() is True
    assert impl._is_connection_normal(conn._socket) is True
    assert conn.is_normal() is True


def test_pending_bytes_are_reported_and_left_in_place(impl, net):
    go = threading.Event()
    data = packet(MSG_TYPE.RESPONSE, "still here")
    conn = net.serve(impl, [wait(go), send(data)])
    go.set()
    wait_readable(conn._socket)
    assert conn.is_normal() is False
    assert impl._is_connection_normal(conn._socket) is False
    assert conn._read_one_packet() == (MSG_TYPE.RESPONSE, "still here")
    assert conn.is_normal() is True


def test_closed_peer_is_reported(impl, net):
    go = threading.Event()
    conn = net.serve(impl, [wait(go), close()])
    go.set()
    wait_readable(conn._socket)
    assert conn.is_normal() is False


def test_bytes_already_buffered_by_the_reader_are_not_seen(impl, net):
    go = threading.Event()
    conn = net.serve(impl, [wait(go), send(packet(MSG_TYPE.RESPONSE, 1) + packet(MSG_TYPE.RESPONSE, 2))])
    go.set()
    wait_readable(conn._socket)
    assert conn._read_one_packet() == (MSG_TYPE.RESPONSE, 1)
    # the second packet sits in the reader's buffer, not on the socket
    assert conn.is_normal() is True
    assert conn._read_one_packet() == (MSG_TYPE.RESPONSE, 2)


def test_probe_uses_the_module_global(impl, net, monkeypatch):
    seen = []

    def probe(sock):
        seen.append(sock)
        return "verdict"

    monkeypatch.setattr(impl, "_is_connection_normal", probe)
    conn = net.serve(impl, [])
    assert conn.is_normal() == "verdict"
    assert seen == [conn._socket]


def test_after_close_the_platform_error_comes_through(impl, net):
    conn = net.serve(impl, [])
    conn.close()
    with pytest.raises((ValueError, OSError)):
        conn.is_normal()
    with pytest.raises((ValueError, OSError)):
        impl._is_connection_normal(conn._socket)


@pytest.mark.parametrize("bad", [None, "not a socket", 3.5])
def test_probe_of_unusable_object_raises(impl, bad):
    with pytest.raises((TypeError, ValueError)):
        impl._is_connection_normal(bad)


def test_probe_refuses_keyword(impl, net):
    conn = net.serve(impl, [])
    with pytest.raises(TypeError):
        impl._is_connection_normal(sock=conn._socket)
    with pytest.raises(TypeError):
        impl._is_connection_normal()
    with pytest.raises(TypeError):
        conn.is_normal(1)
