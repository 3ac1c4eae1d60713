"""The handshake: the packet sent, the replies accepted, the notices passed on."""

import types
import warnings

import pytest

from peer import error_packet, handshake_reply, packet, raw_packet, recv, send
from vantrel.share.errors import AuthenticationError
from vantrel.share.protocol import COMPRESSION_METHOD as CM
from vantrel.share.protocol import MSG_TYPE
from vantrel.share.protocol import SERIALIZATION_TYPE as ST

HS = MSG_TYPE.HANDSHAKE


def construct(impl, net, reply, auth=None, then=()):
    peer = net.peer([recv(), send(reply)] + list(then), handshake=False)
    sock = net.socket(peer)
    return peer, sock, (lambda: impl.Connection(sock, {"user": "u"} if auth is None else auth))


def test_handshake_packet(impl, net, monkeypatch):
    calls = []
    real = impl.pack_one

    def recording(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(impl, "pack_one", recording)
    peer, sock, make = construct(impl, net, handshake_reply() + packet(MSG_TYPE.RESPONSE, "after"))
    conn = make()
    (args, kwargs), = calls
    assert len(args) == 4 and kwargs == {"force_compress": True}
    assert args[0] is conn._auth_info
    assert args[1:] == (HS, impl.DEFAULT_SERIALIZER_TYPE, impl.DEFAULT_COMPRESSION_METHOD)
    got = peer.received[0]
    assert (got.mt, got.st, got.body) == (HS, impl.DEFAULT_SERIALIZER_TYPE,
                                          {"user": "u", "node": "127.0.0.1"})
    assert got.cm == impl.DEFAULT_COMPRESSION_METHOD  # compressed although small
    # exactly one packet was taken as the reply
    assert conn._read_one_packet() == (MSG_TYPE.RESPONSE, "after")


@pytest.mark.parametrize("st, cm", [(ST.JSON, CM.ZLIB), (ST.MSGPACK, CM.NONE), (ST.JSON, CM.SNAPPY),
                                    (ST.MSGPACK, CM.ZSTD)])
def test_handshake_follows_rebound_defaults(impl, net, monkeypatch, st, cm):
    monkeypatch.setattr(impl, "DEFAULT_SERIALIZER_TYPE", st)
    monkeypatch.setattr(impl, "DEFAULT_COMPRESSION_METHOD", cm)
    peer, sock, make = construct(impl, net, handshake_reply())
    conn = make()
    got = peer.received[0]
    assert (got.mt, got.st, got.cm, got.body) == (HS, st, cm, conn._auth_info)
    assert conn._serializer_type is ST.MSGPACK and conn._compression_method == cm


@pytest.mark.parametrize("notice", ["welcome", "", 0, [], {}, {"motd": ["a", 1]}, False])
def test_notice_becomes_one_warning(impl, net, notice):
    peer, sock, make = construct(impl, net, handshake_reply(notice))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        make()
    warned = [(w.category, w.message.args) for w in caught if isinstance(w.message, Warning)]
    assert warned == [(UserWarning, (notice,))] and len(caught) == 1


@pytest.mark.parametrize("reply", [handshake_reply(), packet(HS, None),
                                   raw_packet(HS, ST.JSON, CM.ZLIB, -3)],
                         ids=["no body", "null body", "negative length"])
def test_no_warning_without_notice(impl, net, reply):
    peer, sock, make = construct(impl, net, reply)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        make()


def test_warn_is_called_with_the_body_alone(impl, net, monkeypatch):
    calls = []
    monkeypatch.setattr(impl, "warnings",
                        types.SimpleNamespace(warn=lambda *a, **k: calls.append((a, k))))
    peer, sock, make = construct(impl, net, handshake_reply("notice"))
    make()
    assert calls == [(("notice",), {})]


def test_warning_turned_error_fails_construction(impl, net):
    peer, sock, make = construct(impl, net, handshake_reply("strict"))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="strict"):
            make()
    assert sock.fileno() != -1


def test_error_reply_with_body_raises_server_error(impl, net):
    peer, sock, make = construct(impl, net, error_packet(2, "bad password"))
    with pytest.raises(AuthenticationError) as ei:
        make()
    assert ei.value.args == ("bad password",)


@pytest.mark.parametrize("reply", [packet(mt) for mt in MSG_TYPE if mt != HS]
                         + [packet(MSG_TYPE.RESPONSE, "hello"), packet(MSG_TYPE.STREAM_START, [1])],
                         ids=[m.name for m in MSG_TYPE if m != HS] + ["RESPONSE+body", "START+body"])
def test_other_reply_types_are_refused(impl, net, reply):
    peer, sock, make = construct(impl, net, reply)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(impl.ProtocolError) as ei:
            make()
    name = MSG_TYPE(reply[0]).name
    assert ei.value.args == ("handshake message expected while %s received" % name,)


def test_do_auth_sends_the_record_as_given(impl, net):
    peer = net.peer([recv(), send(handshake_reply("again"))])
    conn = net.connect(impl, peer)
    record = {"only": "this"}
    with pytest.warns(UserWarning, match="again"):
        assert conn._do_auth(auth=record) is None
    assert peer.received[1].body == {"only": "this"} and record == {"only": "this"}
