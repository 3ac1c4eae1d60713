"""Construction, time-outs, closing and the class-wide socket factory."""

import socket
from typing import Any, List, Type

import pytest

from peer import error_packet, handshake_reply, packet, recv, send
from vantrel.share.errors import AuthenticationError
from vantrel.share.protocol import COMPRESSION_METHOD as CM
from vantrel.share.protocol import MSG_TYPE
from vantrel.share.protocol import SERIALIZATION_TYPE as ST

ATTRIBUTES = ["_socket", "_sf", "_compression_method", "_serializer_type", "_auth_info"]


class RecordingSocket:
    """A connected socket that logs what the connection asks of it."""

    def __init__(self, sock, log, local=None):
        self._s, self.log, self.local = sock, log, local

    def makefile(self, *args, **kwargs):
        self.log.append(("makefile", args, kwargs))
        self.file = self._s.makefile(*args, **kwargs)
        return self.file

    def getsockname(self):
        self.log.append(("getsockname",))
        return self.local or self._s.getsockname()

    def settimeout(self, value):
        self.log.append(("settimeout", value))
        self._s.settimeout(value)

    def sendall(self, data):
        self.log.append(("sendall",))
        self._s.sendall(data)

    def close(self):
        self.log.append(("close",))
        self._s.close()

    def fileno(self):
        return self._s.fileno()


class RecordingFile:
    def __init__(self, inner, log, fail=False):
        self.inner, self.log, self.fail = inner, log, fail

    def read(self, n):
        return self.inner.read(n)

    def close(self):
        self.log.append(("sf.close",))
        if self.fail:
            raise OSError("reader close failed")
        self.inner.close()


def recorded_connection(impl, net, script=(), local=None):
    log: List[Any] = []
    peer = net.peer(list(script))
    sock = RecordingSocket(net.socket(peer), log, local)
    return impl.Connection(sock, {"user": "u"}), sock, log, peer


def test_construction_steps_and_attributes(impl, net):
    conn, sock, log, peer = recorded_connection(impl, net)
    assert log == [("makefile", ("rb", 131072), {}), ("getsockname",), ("sendall",)]
    assert list(conn.__dict__) == ATTRIBUTES
    assert conn._socket is sock and conn._sf is sock.file
    assert conn._compression_method == impl.DEFAULT_COMPRESSION_METHOD
    assert conn._serializer_type is ST.MSGPACK


def test_node_is_element_zero_of_the_local_address(impl, net):
    conn, sock, log, peer = recorded_connection(impl, net, local=("10.9.8.7", 4321))
    assert conn._auth_info == {"user": "u", "node": "10.9.8.7"}
    assert peer.received[0].body == {"user": "u", "node": "10.9.8.7"}


def test_auth_record_is_a_copy(impl, net):
    shared = [1, 2]
    auth = {"user": "u", "node": "caller's", "extra": shared}
    conn = net.connect(impl, net.peer([]), auth=auth)
    assert auth == {"user": "u", "node": "caller's", "extra": [1, 2]}
    assert conn._auth_info == {"user": "u", "node": "127.0.0.1", "extra": [1, 2]}
    assert conn._auth_info is not auth and conn._auth_info["extra"] is shared

    class Record(dict[str, Any]):
        def copy(self):
            return {"made": "by copy()"}

    conn = net.connect(impl, net.peer([]), auth=Record(user="u"))
    assert conn._auth_info == {"made": "by copy()", "node": "127.0.0.1"}


def test_compression_method_is_captured_at_construction(impl, net, monkeypatch):
    first = net.connect(impl, net.peer([]))
    before = first._compression_method
    monkeypatch.setattr(impl, "DEFAULT_COMPRESSION_METHOD", CM.ZLIB)
    monkeypatch.setattr(impl, "DEFAULT_SERIALIZER_TYPE", ST.JSON)
    second = net.connect(impl, net.peer([]))
    assert first._compression_method == before
    assert second._compression_method == CM.ZLIB
    assert second._serializer_type is ST.MSGPACK


class NoCopy:
    pass


@pytest.mark.parametrize("reply, auth, exc", [
    (packet(MSG_TYPE.RESPONSE, 1), {"u": 1}, "ProtocolError"),
    (error_packet(2, "denied"), {"u": 1}, AuthenticationError),
    (handshake_reply(), NoCopy(), AttributeError),
], ids=["wrong reply", "refused", "auth without copy"])
def test_failed_construction_leaves_the_socket_open(impl, net, reply, auth, exc):
    peer = net.peer([recv(), send(reply)] if not isinstance(auth, NoCopy) else [], handshake=False)
    sock = net.socket(peer)
    with pytest.raises(getattr(impl, exc) if isinstance(exc, str) else exc):
        impl.Connection(sock, auth)
    assert sock.fileno() != -1
    sock.sendall(b"still mine")
    sock.shutdown(socket.SHUT_WR)
    assert peer.client_closed.wait(5)
    assert bytes(peer.trailing) == b"still mine"


def test_constructor_arguments(impl, net):
    peer = net.peer([])
    sock = net.socket(peer)
    with pytest.raises(TypeError):
        impl.Connection(sock)
    with pytest.raises(TypeError):
        impl.Connection(sock, {}, None)
    conn = impl.Connection(auth={"k": "v"}, sock=sock)
    assert conn._auth_info["k"] == "v" and peer.received[0].body["k"] == "v"
    with pytest.raises(TypeError):
        conn.close(True)


def test_set_timeout_hands_the_value_through(impl, net):
    conn, sock, log, peer = recorded_connection(impl, net)
    del log[:]
    for value in (None, 0, 2.5, 7):
        assert conn.set_timeout(value) is None
    assert conn.set_timeout(timeout=None) is None
    assert [entry[1] for entry in log] == [None, 0, 2.5, 7, None]
    assert [type(entry[1]) for entry in log] == [type(None), int, float, int, type(None)]
    with pytest.raises(ValueError):
        conn.set_timeout(-1)
    with pytest.raises(TypeError):
        conn.set_timeout("soon")


def test_close_closes_reader_then_socket_every_time(impl, net):
    conn, sock, log, peer = recorded_connection(impl, net)
    conn._sf = RecordingFile(conn._sf, log)
    del log[:]
    assert conn.close() is None
    conn.close()
    assert log == [("sf.close",), ("close",)] * 2
    assert list(conn.__dict__) == ATTRIBUTES
    assert conn._socket._s.fileno() == -1 and conn._sf.inner.closed


def test_failing_reader_close_keeps_the_socket_open(impl, net):
    conn, sock, log, peer = recorded_connection(impl, net)
    conn._sf = RecordingFile(conn._sf, log, fail=True)
    del log[:]
    with pytest.raises(OSError, match="reader close failed"):
        conn.close()
    assert log == [("sf.close",)]
    assert sock._s.fileno() != -1


def test_sock_factory(impl, net, monkeypatch):
    cls = impl.Connection
    monkeypatch.setattr(cls, "sock_factory", vars(cls)["sock_factory"])  # restored afterwards
    assert cls.sock_factory is socket.create_connection

    def never_called(*args, **kwargs):
        raise AssertionError("the factory is not for the connection to call")

    assert cls.set_sock_factory(never_called) is None
    assert cls.sock_factory is never_called
    assert isinstance(vars(cls)["sock_factory"], staticmethod)
    conn = net.connect(impl, net.peer([]))
    assert conn.sock_factory is never_called

    marker = object()
    conn.set_sock_factory(marker)  # not validated, also reachable through an instance
    assert cls.sock_factory is marker and conn.sock_factory is marker
    with pytest.raises(TypeError):
        cls.set_sock_factory(func=never_called)
    with pytest.raises(TypeError):
        cls.set_sock_factory()


def test_set_sock_factory_rebinds_the_class_named_connection(impl, monkeypatch):
    original: Type[Any] = impl.Connection

    class Replacement(original):
        pass

    monkeypatch.setattr(impl, "Connection", Replacement)
    original.set_sock_factory(len)
    assert vars(Replacement)["sock_factory"].__func__ is len
    assert original.sock_factory is socket.create_connection


def test_subclass_overrides_are_used(impl, net):
    calls = []
    base: Type[Any] = impl.Connection

    class Quiet(base):
        def _do_auth(self, auth):
            calls.append(("auth", auth is self._auth_info, list(self.__dict__)))

    conn = Quiet(net.socket(net.peer([], handshake=False)), {"u": 1})
    assert calls == [("auth", True, ATTRIBUTES)]

    class Scripted(base):
        def _read_one_packet(self):
            return (MSG_TYPE.HANDSHAKE, "scripted notice")

    with pytest.warns(UserWarning, match="scripted notice"):
        conn = Scripted(net.socket(net.peer([recv()], handshake=False)), {"u": 1})
    assert type(conn) is Scripted and list(conn.__dict__) == ATTRIBUTES
