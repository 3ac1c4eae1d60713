"""Reading one packet: validation, decoding, server errors, and where the stream is left."""

import socket

import pytest

from peer import close, error_packet, packet, raw_packet, send
from vantrel.share.codec import unpack_one
from vantrel.share.errors import ServerError, get_error
from vantrel.share.protocol import COMPRESSION_METHOD as CM
from vantrel.share.protocol import HEADER_LENGTH, MSG_TYPE
from vantrel.share.protocol import SERIALIZATION_TYPE as ST

R = MSG_TYPE.RESPONSE
GOOD = packet(R, {"next": "packet"})


class RecordingReader:
    """Stands in for the buffered reader and records the size of every read."""

    def __init__(self, inner):
        self.inner = inner
        self.sizes = []

    def read(self, n):
        self.sizes.append(n)
        return self.inner.read(n)

    def close(self):
        self.inner.close()


def serve_bytes(impl, net, data, eof=True):
    return net.serve(impl, [send(data)] + ([close()] if eof else []))


FAILURES = [
    ("eof", b"", "Disconnected from the remote server"),
    ("1 header byte", b"\x03", "incomplete header, 1"),
    ("11 header bytes", GOOD[:11], "incomplete header, 11"),
    ("type 0", raw_packet(0, ST.MSGPACK, CM.NONE, 0), "invalid message type: 0"),
    ("type 10", raw_packet(10, ST.MSGPACK, CM.NONE, 0), "invalid message type: 10"),
    ("type 255", raw_packet(255, ST.MSGPACK, CM.NONE, 5), "invalid message type: 255"),
    ("serializer 3", raw_packet(R, 3, CM.NONE, 0), "invalid serializer type: 3"),
    ("serializer 255", raw_packet(R, 255, CM.NONE, 0), "invalid serializer type: 255"),
    ("compression 5", raw_packet(R, ST.JSON, 5, 0), "invalid compression method: 5"),
    ("compression 255", raw_packet(R, ST.RAW, 255, 0), "invalid compression method: 255"),
    ("type before serializer", raw_packet(0, 9, 9, 0), "invalid message type: 0"),
    ("serializer before compression", raw_packet(R, 9, 9, 0), "invalid serializer type: 9"),
    ("no body", raw_packet(R, ST.MSGPACK, CM.NONE, 10), "incomplete body"),
    ("short body", raw_packet(R, ST.RAW, CM.NONE, 10, b"123456789"), "incomplete body"),
]


@pytest.mark.parametrize("data, message", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failure_texts(impl, net, data, message):
    conn = serve_bytes(impl, net, data)
    with pytest.raises(impl.ProtocolError) as ei:
        conn._read_one_packet()
    assert type(ei.value) is impl.ProtocolError
    assert ei.value.args == (message,)


@pytest.mark.parametrize("st, cm", [(ST.RAW, CM.NONE), (ST.MSGPACK, CM.ZSTD), (ST.JSON, CM.ZLIB)])
def test_range_bounds_are_accepted(impl, net, st, cm):
    body = b"raw bytes" if st == ST.RAW else ["bounds", 1]
    conn = serve_bytes(impl, net, packet(MSG_TYPE.TABLE2, body, st, cm))
    mt, got = conn._read_one_packet()
    assert (mt, got) == (MSG_TYPE.TABLE2, body)


def test_result_is_a_pair_of_raw_type_and_body(impl, net):
    conn = serve_bytes(impl, net, packet(MSG_TYPE.FEED, [1, "two", None]))
    result = conn._read_one_packet()
    assert type(result) is tuple and len(result) == 2
    assert type(result[0]) is int and result[0] == MSG_TYPE.FEED
    assert result[1] == [1, "two", None]


@pytest.mark.parametrize("length", [0, -1, -2 ** 63])
@pytest.mark.parametrize("mt", [R, MSG_TYPE.ERROR, MSG_TYPE.STREAM_END])
def test_no_body_reads_nothing_and_decodes_nothing(impl, net, monkeypatch, mt, length):
    calls = []
    real = impl.unpack_one
    monkeypatch.setattr(impl, "unpack_one", lambda *a: calls.append(a) or real(*a))
    conn = serve_bytes(impl, net, raw_packet(mt, ST.MSGPACK, CM.ZLIB, length) + GOOD)
    conn._sf = RecordingReader(conn._sf)
    assert conn._read_one_packet() == (mt, None)
    assert calls == [] and conn._sf.sizes == [HEADER_LENGTH]
    # the next packet starts right after the header
    assert conn._read_one_packet() == (R, {"next": "packet"})


def _length(data):
    return int.from_bytes(data[4:HEADER_LENGTH], "big", signed=True)


@pytest.mark.parametrize("data, ok, body_read", [
    (packet(R, "x" * 300), True, True),
    (packet(R, "x" * 3000, cm=CM.ZLIB), True, True),
    (error_packet(3, "boom"), False, True),
    (raw_packet(0, 0, 0, 50, b"x" * 50), False, False),
    (raw_packet(R, 0, 0, 50, b"x" * 10), False, True),
], ids=["plain", "compressed", "error", "bad header", "short body"])
def test_two_reads_per_packet_at_most(impl, net, data, ok, body_read):
    conn = serve_bytes(impl, net, data)
    conn._sf = RecordingReader(conn._sf)
    try:
        conn._read_one_packet()
    except Exception:
        assert not ok
    else:
        assert ok
    assert conn._sf.sizes == [HEADER_LENGTH] + ([_length(data)] if body_read else [])


def _decoder_error(body, st, cm):
    try:
        unpack_one(body, st, cm)
    except Exception as e:
        return e
    raise AssertionError("body decodes")


CORRUPT = [
    ("zlib", b"no zlib here", ST.MSGPACK, CM.ZLIB),
    ("zstd", b"no zstd here", ST.MSGPACK, CM.ZSTD),
    ("brotli", b"\xff" * 20, ST.MSGPACK, CM.BROTLI),
    ("snappy", b"\xff\xff\xff\xff\x0fxx", ST.RAW, CM.SNAPPY),
    ("msgpack", b"\x93\x01", ST.MSGPACK, CM.NONE),
    ("json", b"{nope", ST.JSON, CM.NONE),
]


@pytest.mark.parametrize("body, st, cm", [c[1:] for c in CORRUPT], ids=[c[0] for c in CORRUPT])
def test_decoder_failure_becomes_protocol_error(impl, net, body, st, cm):
    expected = _decoder_error(body, st, cm)
    conn = serve_bytes(impl, net, raw_packet(R, st, cm, len(body), body) + GOOD)
    with pytest.raises(impl.ProtocolError) as ei:
        conn._read_one_packet()
    err = ei.value
    assert err.args == (repr(expected),)
    assert type(err.__context__) is type(expected) and repr(err.__context__) == repr(expected)
    assert err.__cause__ is None and err.__suppress_context__ is False
    # the bad body was consumed whole
    assert conn._read_one_packet() == (R, {"next": "packet"})


class Interrupting:
    def __init__(self, exc):
        self.exc = exc
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        raise self.exc


def test_decoder_called_with_body_and_codes(impl, net, monkeypatch):
    fake = Interrupting(LookupError("decoder says no"))
    monkeypatch.setattr(impl, "unpack_one", fake)
    conn = serve_bytes(impl, net, raw_packet(MSG_TYPE.TABLE, ST.JSON, CM.ZLIB, 3, b"abc"))
    with pytest.raises(impl.ProtocolError) as ei:
        conn._read_one_packet()
    assert ei.value.args == ("LookupError('decoder says no')",)
    assert fake.calls == [((b"abc", 1, 1), {})]


@pytest.mark.parametrize("exc", [KeyboardInterrupt("stop"), SystemExit(3)])
def test_non_ordinary_exceptions_pass_through(impl, net, monkeypatch, exc):
    monkeypatch.setattr(impl, "unpack_one", Interrupting(exc))
    conn = serve_bytes(impl, net, GOOD)
    with pytest.raises(type(exc)) as ei:
        conn._read_one_packet()
    assert ei.value is exc and ei.value.__context__ is None


@pytest.mark.parametrize("code, message", [
    (1, "generic"), (2, "who are you"), (3, "no such method"), (5, {"trace": ["a", "b"]}),
    (99, "unknown code"), ("E_TEXT", "text code"), (6, None),
])
def test_error_packet_raises_the_server_exception(impl, net, code, message):
    conn = serve_bytes(impl, net, error_packet(code, message) + GOOD)
    with pytest.raises(ServerError) as ei:
        conn._read_one_packet()
    assert type(ei.value) is get_error(code)
    assert ei.value.args == (message,)
    # the whole ERROR packet was consumed
    assert conn._read_one_packet() == (R, {"next": "packet"})


def test_error_factory_is_the_module_global(impl, net, monkeypatch):
    class Custom(Exception):
        pass

    seen = []
    monkeypatch.setattr(impl, "get_error", lambda code: seen.append(code) or Custom)
    conn = serve_bytes(impl, net, error_packet(3, "m"))
    with pytest.raises(Custom) as ei:
        conn._read_one_packet()
    assert seen == [3] and ei.value.args == ("m",)


@pytest.mark.parametrize("body, exc", [([1, 2, 3], ValueError), ([], ValueError), ([7], ValueError),
                                       (7, TypeError), (None, TypeError)])
def test_error_body_not_a_pair(impl, net, body, exc):
    conn = serve_bytes(impl, net, packet(MSG_TYPE.ERROR, body) + GOOD)
    with pytest.raises(exc):
        conn._read_one_packet()
    assert conn._read_one_packet() == (R, {"next": "packet"})


@pytest.mark.parametrize("bad_header", [
    raw_packet(0, ST.MSGPACK, CM.NONE, len(GOOD)),
    raw_packet(R, 7, CM.NONE, len(GOOD)),
    raw_packet(R, ST.MSGPACK, 7, len(GOOD)),
], ids=["type", "serializer", "compression"])
def test_rejected_header_leaves_its_body_unread(impl, net, bad_header):
    # the body of the rejected packet happens to be a whole packet itself
    conn = serve_bytes(impl, net, bad_header + GOOD, eof=False)
    conn._sf = RecordingReader(conn._sf)
    with pytest.raises(impl.ProtocolError):
        conn._read_one_packet()
    assert conn._read_one_packet() == (R, {"next": "packet"})
    assert conn._sf.sizes == [HEADER_LENGTH, HEADER_LENGTH, len(GOOD) - HEADER_LENGTH]


def test_after_truncation_the_end_of_stream_is_reported(impl, net):
    conn = serve_bytes(impl, net, GOOD[:7])
    with pytest.raises(impl.ProtocolError, match="incomplete header, 7"):
        conn._read_one_packet()
    with pytest.raises(impl.ProtocolError, match="Disconnected from the remote server"):
        conn._read_one_packet()


class BrokenReader:
    def read(self, n):
        raise ConnectionAbortedError("reader broke")


@pytest.mark.parametrize("patch, exc", [
    ({"unpack_header": lambda h: (R, 2, 0)}, ValueError),
    ({"unpack_header": lambda h: (R, "x", 0, 0)}, TypeError),
    ({"unpack_header": Interrupting(ArithmeticError("hdr"))}, ArithmeticError),
    ({"get_error": Interrupting(LookupError("factory"))}, LookupError),
])
def test_other_errors_pass_through_unwrapped(impl, net, monkeypatch, patch, exc):
    conn = serve_bytes(impl, net, error_packet(3, "x"))
    for name, value in patch.items():
        monkeypatch.setattr(impl, name, value)
    with pytest.raises(exc) as ei:
        conn._read_one_packet()
    assert not isinstance(ei.value, impl.ProtocolError)


def test_reader_errors_pass_through(impl, net):
    conn = serve_bytes(impl, net, b"", eof=False)
    conn.set_timeout(0.05)
    with pytest.raises(socket.timeout):
        conn._read_one_packet()
    conn._sf = BrokenReader()
    with pytest.raises(ConnectionAbortedError, match="reader broke"):
        conn._read_one_packet()
    with pytest.raises(TypeError):
        conn._read_one_packet(1)


@pytest.mark.ext_only
def test_rebound_globals_apply_to_the_next_read(ext, net, monkeypatch):
    # The module's globals cache (where compiled in) is dropped by any change
    # of the namespace: a rebound or deleted name applies at once.
    first, second = packet(R, "first"), packet(R, "second")
    conn = net.serve(ext, [send(first), send(second), send(first)])
    assert conn._read_one_packet() == (R, "first")
    monkeypatch.setattr(ext, "unpack_one", lambda body, st, cm: ("seen", len(body)))
    assert conn._read_one_packet() == (R, ("seen", len(second) - HEADER_LENGTH))
    monkeypatch.delattr(ext, "unpack_one")
    with pytest.raises(NameError, match=r"^name 'unpack_one' is not defined$"):
        conn._read_one_packet()
