"""Stream bodies decoded straight into their results, against the general path.

The compiled collectors decode a MSGPACK body of their stream straight into
rows, elements or items while the reader is the class's own and the module's
``unpack_one`` is the native codec's.  Rebinding ``unpack_one`` to a thin
wrapper forces the general path (decode the body, then collect it), which is
the reference here: the same answers through a loopback socket must give the
same results and the same errors either way, and in the asyncio client.
"""

from __future__ import annotations

import asyncio
import gc
from typing import Any, Callable, List, Tuple

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as hs

import vantrel.aio as aio
from peer import Peer, close_quietly, connect, error_packet, packet, raw_packet, recv, send
from reliability.sizes import examples
from vantrel import connection as ext
from vantrel.share import codec
from vantrel.share.protocol import COMPRESSION_METHOD, HEADER_LENGTH, MSG_TYPE, SERIALIZATION_TYPE

pytestmark = pytest.mark.skipif(codec.unpack_one.__module__ != "vantrel.share._ccodec",
                                reason="bodies go straight only with the native codec")

MT, CM, ST = MSG_TYPE, COMPRESSION_METHOD, SERIALIZATION_TYPE
KINDS = (MT.TABLE, MT.TABLE2, MT.FEED)

# -- random answers ------------------------------------------------------------

scalars = hs.one_of(hs.none(), hs.booleans(), hs.integers(-(2**63), 2**64 - 1), hs.floats(),
                    hs.text(max_size=20), hs.sampled_from(["id", "px", "NYSE", "é"]), hs.binary(max_size=6))
values = hs.recursive(scalars, lambda inner: hs.lists(inner, max_size=3)
                      | hs.dictionaries(hs.text(max_size=3), inner, max_size=3), max_leaves=5)

def mostly(common: Any, rare: Any, odds: int = 8) -> Any:
    """common, and rare once in ``odds`` draws."""
    return hs.integers(1, odds).flatmap(lambda k: rare if k == 1 else common)


key = hs.one_of(hs.sampled_from(["a", "b", "id", "name"]), hs.integers(-1, 2), hs.none())
keys = mostly(hs.lists(key, max_size=5),
              hs.lists(hs.one_of(key, hs.just([0])), max_size=5))  # an unhashable key: TypeError in a row
list_rows = hs.lists(values, max_size=7)
rows = mostly(list_rows, hs.one_of(hs.dictionaries(hs.text(max_size=2), values, max_size=3), scalars))
bodies = mostly(hs.lists(rows, max_size=6), scalars)
# how a continuation packet goes on the wire: as packed, or damaged
DAMAGES = ("truncated", "extra byte", "bad byte", "json", "no body")
wire = hs.tuples(bodies, hs.sampled_from([CM.NONE, CM.ZLIB]), mostly(hs.just("none"), hs.sampled_from(DAMAGES), 3),
                 hs.integers(0, 99))


def on_wire(mt: int, body: Any, cm: int, damage: str, where: int) -> bytes:
    if damage == "no body":
        return packet(mt)
    whole = packet(mt, body, cm=cm)
    data = whole[HEADER_LENGTH:]
    if damage == "none":
        return whole
    if damage == "json":
        return raw_packet(mt, ST.JSON, CM.NONE, len(data), data)
    k = where % len(data)
    data = {"truncated": data[:k], "extra byte": data + b"\xc0",
            "bad byte": data[:k] + b"\xc1" + data[k + 1:]}[damage]
    return raw_packet(mt, ST.MSGPACK, cm, len(data), data)


@hs.composite
def answers(draw: Any) -> bytes:
    kind = draw(hs.sampled_from(KINDS))
    first: Any = draw(hs.lists(list_rows, max_size=4))
    if kind == MT.TABLE:
        first = [draw(keys)] + first
    elif kind == MT.TABLE2:
        first = [draw(values)] + first
    first = draw(mostly(hs.just(first), hs.one_of(hs.just([]), scalars)))  # IndexError, TypeError
    sent = [(first, *draw(wire)[1:])] + draw(hs.lists(wire, max_size=5))  # the first body as drawn here
    packets = [packet(MT.STREAM_START)] + [on_wire(kind, *w) for w in sent]
    intruder = draw(hs.sampled_from(["", "", "", "error", "other kind", "response"]))
    if intruder == "error":
        packets.append(error_packet(3, "gone"))
    elif intruder:
        packets.append(packet(MT.FEED if kind != MT.FEED else MT.TABLE, [[1]]) if intruder == "other kind"
                       else packet(MT.RESPONSE, 1))
    packets.append(packet(MT.STREAM_END, "ignored"))
    return b"".join(packets)


# -- running them ---------------------------------------------------------------


def outcome(call: Callable[[], Any]) -> Tuple[Any, ...]:
    """The result (its repr: types count), or the error with its context."""
    try:
        return ("ok", repr(call()))
    except Exception as e:
        ctx = e.__context__
        return (type(e), str(e), type(ctx), str(ctx))


def blocking(data: bytes) -> Tuple[Any, ...]:
    with Peer([recv(), send(data, may_fail=True)], handshake=True) as peer:
        conn = connect(ext, peer)
        try:
            return outcome(lambda: conn.execute("m"))
        finally:
            close_quietly(conn)


def asynchronous(data: bytes) -> Tuple[Any, ...]:
    async def main() -> Tuple[Any, ...]:
        conn = await aio.connect(peer.address, {"user": "u"})
        try:
            try:
                return ("ok", repr(await conn.execute("m")))
            except Exception as e:
                ctx = e.__context__
                return (type(e), str(e), type(ctx), str(ctx))
        finally:
            await conn.close()

    with Peer([recv(), send(data, may_fail=True)], handshake=True) as peer:
        return asyncio.run(asyncio.wait_for(main(), 30))


def thin(unpack: Callable[..., Any]) -> Callable[..., Any]:
    def unpack_one(body: Any, st: Any, cm: Any) -> Any:
        return unpack(body, st, cm)

    return unpack_one


@settings(max_examples=examples(200), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(answers())
def test_straight_decoding_matches_the_general_path(data: bytes) -> None:
    straight = blocking(data)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(ext, "unpack_one", thin(ext.unpack_one))
        general = blocking(data)
    assert straight == general
    assert asynchronous(data) == straight
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr("vantrel.aio.decode.unpack_one", thin(codec.unpack_one))
        assert asynchronous(data) == straight


# -- the hooks keep their effect ---------------------------------------------------

STREAM = [packet(MT.STREAM_START), packet(MT.TABLE, [["a", "b"], [1, 2]]),
          packet(MT.TABLE, [[3, 4], [5]], cm=CM.ZLIB), packet(MT.TABLE, [[6, 7, 8]]), packet(MT.STREAM_END)]
ROWS = [{"a": 1, "b": 2}, {"a": 3, "b": 4}, {"a": 5}, {"a": 6, "b": 7}]


def serve(net: Any, conn_class: Any = None) -> Any:
    peer = net.peer([recv(), send(b"".join(STREAM))])
    if conn_class is None:
        return net.connect(ext, peer)
    conn = conn_class(net.socket(peer), {"user": "u"})
    net.files.append(conn._sf)
    return conn


def test_straight_rows_are_dicts_of_their_own(net: Any) -> None:
    keys = ["id", "tags", "name", "px", "n", "ok", "raw", "map", "extra"]
    rows: List[List[Any]] = [[1, [2], "x", 1.5, None, True, b"", {}, 9],
                             [2, 3, "y", 2.5, 1, False, b"z", 4, 5], [3] * 10]
    stream = [packet(MT.STREAM_START), packet(MT.TABLE, [keys] + rows), packet(MT.STREAM_END)]
    conn = net.connect(ext, net.peer([recv(), send(b"".join(stream))]))
    got = conn.execute("m")
    assert got == [dict(zip(keys, row)) for row in rows]
    # tracked by the garbage collector exactly where a dict built key by key is
    assert [gc.is_tracked(r) for r in got] == [True, False, False]
    got[1]["id"] = 7
    del got[1]["tags"]
    got[1]["more"] = 0
    assert got[2] == dict(zip(keys, rows[2])) and list(got[1]) == keys[:1] + keys[2:] + ["more"]


@pytest.mark.parametrize("where", ["subclass", "instance", "collector"])
def test_an_own_reader_and_collector_are_called(net: Any, where: str) -> None:
    calls: List[Any] = []

    class Counting(ext.Connection):
        def _read_one_packet(self) -> Any:
            calls.append("read")
            return super()._read_one_packet()

    class Collecting(ext.Connection):
        def table_unpack(self, first: Any) -> Any:
            calls.append(first)
            return super().table_unpack(first)

    conn = serve(net, {"subclass": Counting, "instance": None, "collector": Collecting}[where])
    if where == "instance":
        own = conn._read_one_packet
        conn._read_one_packet = lambda: calls.append("read") or own()
    calls.clear()
    assert conn.execute("m") == ROWS
    assert calls == ([[["a", "b"], [1, 2]]] if where == "collector" else ["read"] * len(STREAM))


@pytest.mark.parametrize("at_read, bodies", [(1, 3), (4, 2)])
def test_a_rebound_decoder_decodes_every_later_packet(net: Any, monkeypatch: Any, at_read: int, bodies: int) -> None:
    # unpack_one is rebound at the answer's first read (the header of
    # STREAM_START) or at its fourth (the header of the second TABLE, after
    # the header and body of the first): the later bodies go through it
    decoded: List[bytes] = []

    def counting(body: bytes, st: int, cm: int) -> Any:
        decoded.append(body)
        return codec.unpack_one(body, st, cm)

    class Reader:
        reads = 0

        def read(self, n: int) -> bytes:
            Reader.reads += 1
            if Reader.reads == at_read:
                monkeypatch.setattr(ext, "unpack_one", counting)
            data: bytes = sf.read(n)
            return data

    conn = serve(net)
    sf = conn._sf
    conn._sf = Reader()
    assert conn.execute("m") == ROWS
    assert len(decoded) == bodies
