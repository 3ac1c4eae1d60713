"""Remote calls over loopback: the request sent, every answer shape, unexpected answers."""

import builtins
from typing import Any, Dict, List

import pytest

from peer import error_packet, packet, recv, send
from vantrel.share.errors import RemoteExecutionError
from vantrel.share.protocol import COMPRESSION_METHOD as CM
from vantrel.share.protocol import MSG_TYPE
from vantrel.share.protocol import SERIALIZATION_TYPE as ST

R, START, END = MSG_TYPE.RESPONSE, MSG_TYPE.STREAM_START, MSG_TYPE.STREAM_END
TABLE, TABLE2, FEED = MSG_TYPE.TABLE, MSG_TYPE.TABLE2, MSG_TYPE.FEED
NEXT = [recv(), send(packet(R, "next answer"))]


def answer(*packets):
    return [recv(), send(b"".join(packets))]


SHAPES = [
    ("int", [packet(R, 42)], 42),
    ("mapping", [packet(R, {"a": [1, {"b": None}]}, cm=CM.ZSTD)], {"a": [1, {"b": None}]}),
    ("no body", [packet(R)], None),
    ("null body", [packet(R, None)], None),
    ("raw body", [packet(R, b"\x00\xff", st=ST.RAW)], b"\x00\xff"),
    ("empty stream", [packet(START), packet(END)], []),
    ("empty stream with bodies", [packet(START, "s"), packet(END, [1, 2])], []),
    ("table", [packet(START), packet(TABLE, [["a", "b"], [1, 2], [3, 4]]), packet(TABLE, [[5, 6]]),
               packet(TABLE, []), packet(TABLE, [[7, 8]], cm=CM.BROTLI), packet(END, "ignored")],
     [{"a": 1, "b": 2}, {"a": 3, "b": 4}, {"a": 5, "b": 6}, {"a": 7, "b": 8}]),
    ("table header only", [packet(START), packet(TABLE, [["a"]]), packet(END)], []),
    ("table2", [packet(START, {"kind": 2}), packet(TABLE2, ["head", [1], 2]), packet(TABLE2, [3]),
                packet(TABLE2, []), packet(TABLE2, [{"x": 4}], cm=CM.ZLIB), packet(END)],
     ("head", [[1], 2, 3, {"x": 4}])),
    ("table2 head only", [packet(START), packet(TABLE2, [{"h": 1}]), packet(END, 0)], ({"h": 1}, [])),
    ("feed", [packet(START), packet(FEED, ["a", ["b", "c"]]), packet(FEED, []),
              packet(FEED, [None, 5], cm=CM.SNAPPY), packet(END)], ["a", ["b", "c"], None, 5]),
    ("feed empty first", [packet(START), packet(FEED, []), packet(FEED, [1]), packet(END)], [1]),
]


@pytest.mark.parametrize("packets, expected", [s[1:] for s in SHAPES], ids=[s[0] for s in SHAPES])
def test_answer_shapes(impl, net, packets, expected):
    conn = net.serve(impl, answer(*packets) + NEXT)
    result = conn.execute("call")
    assert result == expected and type(result) is type(expected)
    # the whole answer was read and nothing more
    assert conn.is_normal() is True
    assert conn.execute("again") == "next answer"


@pytest.mark.parametrize("call, payload", [
    (lambda c: c.execute("m"), ["m", [], {}]),
    (lambda c: c.execute(method="kw"), ["kw", [], {}]),
    (lambda c: c.execute(17, None), [17, [None], {}]),
    (lambda c: c.execute("m", 1, "two", [3], k={"x": 1}, z=None),
     ["m", [1, "two", [3]], {"k": {"x": 1}, "z": None}]),
    (lambda c: c.execute("m", *range(5), first=1, second=2),
     ["m", [0, 1, 2, 3, 4], {"first": 1, "second": 2}]),
], ids=["bare", "method keyword", "non-text method", "args and kwargs", "unpacked"])
def test_request_payload(impl, net, call, payload):
    peer = net.peer(answer(packet(R, "ok")))
    conn = net.connect(impl, peer)
    assert call(conn) == "ok"
    request = peer.received[1]
    assert (request.mt, request.st, request.body) == (MSG_TYPE.REQUEST, impl.DEFAULT_SERIALIZER_TYPE,
                                                      payload)
    assert request.cm == CM.NONE  # a small request is never forced into compression


def test_pack_one_gets_four_positional_arguments(impl, net, monkeypatch):
    conn = net.serve(impl, answer(packet(R, 1)) * 2)
    calls = []
    real = impl.pack_one
    monkeypatch.setattr(impl, "pack_one", lambda *a, **k: calls.append((a, k)) or real(*a, **k))
    conn.execute("m", 1, (2,), key="v")
    conn.execute("n")
    (args, kwargs), (args2, _) = calls
    assert kwargs == {}
    assert args == (("m", (1, (2,)), {"key": "v"}), MSG_TYPE.REQUEST, impl.DEFAULT_SERIALIZER_TYPE,
                    impl.DEFAULT_COMPRESSION_METHOD)
    assert [type(p) for p in args[0]] == [str, tuple, dict]
    assert args2[0] == ("n", (), {})


def test_defaults_are_read_at_every_call(impl, net, monkeypatch):
    peer = net.peer(answer(packet(R, 1)) * 3)
    conn = net.connect(impl, peer)
    big = "x" * 5000
    initial = (impl.DEFAULT_SERIALIZER_TYPE, impl.DEFAULT_COMPRESSION_METHOD)
    conn.execute("m", big)
    monkeypatch.setattr(impl, "DEFAULT_SERIALIZER_TYPE", ST.JSON)
    monkeypatch.setattr(impl, "DEFAULT_COMPRESSION_METHOD", CM.ZLIB)
    conn.execute("m", big)
    monkeypatch.setattr(impl, "DEFAULT_COMPRESSION_METHOD", CM.NONE)
    conn.execute("m", big)
    got = [(p.st, p.cm) for p in peer.received[1:]]
    assert got == [initial, (ST.JSON, CM.ZLIB), (ST.JSON, CM.NONE)]
    assert all(p.body == ["m", [big], {}] for p in peer.received[1:])


def test_module_names_fall_back_to_builtins(impl, net, monkeypatch):
    peer = net.peer(answer(packet(R, 1)))
    conn = net.connect(impl, peer)
    monkeypatch.delattr(impl, "DEFAULT_SERIALIZER_TYPE")
    with pytest.raises(NameError) as ei:
        conn.execute("m")
    assert str(ei.value) == "name 'DEFAULT_SERIALIZER_TYPE' is not defined"
    monkeypatch.setattr(builtins, "DEFAULT_SERIALIZER_TYPE", ST.JSON, raising=False)
    assert conn.execute("m") == 1
    assert [p.st for p in peer.received[1:]] == [ST.JSON]


@pytest.mark.parametrize("mt", [END, TABLE, TABLE2, FEED, MSG_TYPE.HANDSHAKE, MSG_TYPE.REQUEST,
                                MSG_TYPE.ERROR])
def test_first_answer_must_start_a_stream(impl, net, mt):
    conn = net.serve(impl, answer(packet(mt)))
    with pytest.raises(impl.ProtocolError) as ei:
        conn.execute("m")
    assert ei.value.args == ("got %s when STREAM_START expected" % mt.name,)


@pytest.mark.parametrize("mt", [START, R, MSG_TYPE.ERROR, MSG_TYPE.HANDSHAKE, MSG_TYPE.REQUEST])
def test_stream_must_be_of_a_known_kind(impl, net, mt):
    conn = net.serve(impl, answer(packet(START), packet(mt, ["x"]) if mt != MSG_TYPE.ERROR
                                  else packet(mt)))
    with pytest.raises(impl.ProtocolError) as ei:
        conn.execute("m")
    assert ei.value.args == ("unexpected message in stream: %s" % mt.name,)


KINDS = {TABLE: "table", TABLE2: "table2", FEED: "feed"}
FIRST: Dict[int, List[Any]] = {TABLE: [["a"], [1]], TABLE2: ["h", 1], FEED: [1]}


INTRUDERS = [(kind, mt) for kind in KINDS
             for mt in (START, R, MSG_TYPE.HANDSHAKE, MSG_TYPE.ERROR, TABLE, TABLE2, FEED) if mt != kind]


@pytest.mark.parametrize("kind, intruder", INTRUDERS,
                         ids=["%s-%s" % (KINDS[k], MSG_TYPE[m]) for k, m in INTRUDERS])
def test_collectors_refuse_other_packets(impl, net, kind, intruder):
    stray = packet(intruder) if intruder == MSG_TYPE.ERROR else packet(intruder, [["z"]])
    conn = net.serve(impl, answer(packet(START), packet(kind, FIRST[kind]), packet(kind, FIRST[kind][1:]),
                                  stray, packet(END)))
    with pytest.raises(impl.ProtocolError) as ei:
        conn.execute("m")
    assert ei.value.args == ("unexpected message in %s stream: %s" % (KINDS[kind], intruder.name),)


@pytest.mark.parametrize("kind", list(KINDS), ids=list(KINDS.values()))
@pytest.mark.parametrize("where", ["first", "later"])
def test_packet_without_body_in_a_stream(impl, net, kind, where):
    packets = [packet(START), packet(kind)] if where == "first" else \
        [packet(START), packet(kind, FIRST[kind]), packet(kind)]
    conn = net.serve(impl, answer(*packets, packet(END)))
    with pytest.raises(TypeError):
        conn.execute("m")


def test_rows_are_matched_to_the_header_like_zip(impl, net):
    header = ["a", "b", "a", "c"]
    rows: List[List[Any]] = [[1, 2, 3, 4], [1], [], [1, 2, 3, 4, 5, 6], ["x", "y", "z"]]
    conn = net.serve(impl, answer(packet(START), packet(TABLE, [header] + rows[:2]),
                                  packet(TABLE, rows[2:]), packet(END)))
    result = conn.execute("m")
    expected = [dict(zip(header, row)) for row in rows]
    assert result == expected
    assert [list(d) for d in result] == [list(d) for d in expected]
    assert result[0] == {"a": 3, "b": 2, "c": 4} and list(result[0]) == ["a", "b", "c"]


def test_server_error_mid_stream_leaves_the_connection_usable(impl, net):
    conn = net.serve(impl, answer(packet(START), packet(TABLE, [["a"], [1]]),
                                  error_packet(5, "handler died")) + NEXT)
    with pytest.raises(RemoteExecutionError, match="handler died"):
        conn.execute("m")
    assert conn.is_normal() is True
    assert conn.execute("again") == "next answer"


@pytest.mark.parametrize("kind", list(KINDS), ids=list(KINDS.values()))
def test_collector_overrides_are_used(impl, net, kind):
    name = KINDS[kind] + "_unpack"

    base: Any = impl.Connection

    class Sub(base):
        pass

    setattr(Sub, name, lambda self, first: ("overridden", first))
    peer = net.peer(answer(packet(START), packet(kind, FIRST[kind])))
    conn = Sub(net.socket(peer), {})
    assert conn.execute("m") == ("overridden", FIRST[kind])


def test_execute_after_close_fails_at_send(impl, net):
    peer = net.peer([])
    conn = net.connect(impl, peer)
    conn.close()
    with pytest.raises(OSError):
        conn.execute("m")
    assert len(peer.received) == 1


def test_large_table_over_many_packets(impl, net):
    header = ["id", "name", "value", "flag"]
    rows = [[i, "row%d" % i, i * 0.5, i % 3 == 0] for i in range(100_000)]
    chunks = [rows[i:i + 1000] for i in range(0, len(rows), 1000)]
    packets = [packet(START), packet(TABLE, [header] + chunks[0], cm=CM.ZSTD)]
    for n, chunk in enumerate(chunks[1:]):
        packets.append(packet(TABLE, chunk, cm=CM.ZSTD if n % 2 else CM.NONE))
        if n % 10 == 0:
            packets.append(packet(TABLE, []))
    conn = net.serve(impl, answer(*packets, packet(END)) + NEXT)
    result = conn.execute("big")
    assert len(result) == 100_000
    assert result == [dict(zip(header, row)) for row in rows]
    assert conn.execute("again") == "next answer"
