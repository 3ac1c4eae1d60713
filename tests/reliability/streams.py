"""Hypothesis strategies for what a server may send: valid answers, broken ones, noise.

``answer_streams()`` draws the bytes a server writes after a request: a whole
answer of one of the shapes the client knows (single, table, table2, feed,
error), damaged or not, possibly followed by leftovers, or plain random bytes.
The shapes are drawn on purpose, so that most examples reach deep into the
collectors instead of dying at the first header byte.
"""

from __future__ import annotations

from typing import Any, List

from hypothesis import strategies as st

from vantrel.share.codec import pack_header, pack_one, unpack_one
from vantrel.share.protocol import COMPRESSION_METHOD, HEADER_LENGTH, MSG_TYPE, SERIALIZATION_TYPE

MSGPACK = int(SERIALIZATION_TYPE.MSGPACK)
JSON = int(SERIALIZATION_TYPE.JSON)
RAW = int(SERIALIZATION_TYPE.RAW)
NONE = int(COMPRESSION_METHOD.NONE)

def _usable_compressions() -> List[int]:
    """Compression methods whose library is installed (NONE and ZLIB always are)."""
    usable = []
    for cm in COMPRESSION_METHOD:
        try:
            # Packing and unpacking once also makes the codec set up its lazily
            # built (de)compressors now, not in the middle of some test.
            unpack_one(pack_one(b"x", MSG_TYPE.RESPONSE, RAW, cm, force_compress=True)[HEADER_LENGTH:],
                       RAW, cm)
        except Exception:  # the library behind it is missing
            continue
        usable.append(int(cm))
    return usable


COMPRESSIONS = _usable_compressions()

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2 ** 63), max_value=2 ** 64 - 1),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=12),
    st.binary(max_size=12),
)
payloads = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4),
                            st.dictionaries(st.text(max_size=4), inner, max_size=4)),
    max_leaves=12,
)
keys = st.one_of(st.text(max_size=6), st.integers(-3, 3), st.none(),
                 st.lists(st.integers(0, 3), max_size=2))  # a list is no dictionary key
rows = st.one_of(st.lists(scalars, max_size=5), scalars)  # a scalar row is not iterable
odd_bodies = st.one_of(scalars, st.lists(scalars, max_size=3),
                       st.dictionaries(st.text(max_size=3), scalars, max_size=2))


def _mostly(valid: st.SearchStrategy) -> st.SearchStrategy:
    """Valid codes nine times in ten, any byte otherwise."""
    return st.sampled_from(range(10)).flatmap(lambda i: valid if i else st.integers(0, 255))


message_types = _mostly(st.sampled_from([int(m) for m in MSG_TYPE]))
serializers = _mostly(st.sampled_from([RAW, JSON, MSGPACK]))
compressions = _mostly(st.sampled_from(COMPRESSIONS))


def _encode(payload: Any, mt: int, ser: int, cm: int) -> bytes:
    """A whole packet for ``payload``; falls back to MSGPACK/NONE where the pair cannot carry it."""
    if ser == RAW and not isinstance(payload, bytes):
        ser = MSGPACK
    try:
        return pack_one(payload, mt, ser, cm, force_compress=cm != NONE)
    except Exception:  # JSON cannot carry bytes or NaN, for instance
        pass
    try:
        return pack_one(payload, mt, MSGPACK, NONE)
    except Exception:  # out of MSGPACK's range too
        return pack_one(repr(payload), mt, MSGPACK, NONE)


@st.composite
def packets(draw: st.DrawFn, mt: Any = None, body: Any = None) -> bytes:
    """One packet of type ``mt`` (drawn when None) carrying ``body`` (drawn when None)."""
    mt = draw(message_types) if mt is None else int(mt)
    how = draw(st.sampled_from(["body"] * 9 + ["no-body", "negative", "garbage"]))
    if how == "no-body":
        return pack_header(mt, draw(serializers), draw(compressions), 0)
    if how == "negative":
        return pack_header(mt, MSGPACK, NONE, draw(st.integers(-(2 ** 63), -1)))
    if how == "garbage":
        junk = draw(st.binary(min_size=1, max_size=24))
        return pack_header(mt, draw(serializers), draw(compressions), len(junk)) + junk
    payload = draw(payloads) if body is None else body
    return _encode(payload, mt, draw(st.sampled_from([MSGPACK, MSGPACK, JSON, RAW])),
                   draw(st.sampled_from(COMPRESSIONS)))


@st.composite
def damaged(draw: st.DrawFn, packet: bytes) -> bytes:
    """The packet itself, or with one header field or its length changed."""
    what = draw(st.sampled_from(["none"] * 16 + ["mt", "st", "cm", "length"]))
    if what == "none" or len(packet) < HEADER_LENGTH:
        return packet
    head = bytearray(packet[:HEADER_LENGTH])
    if what == "mt":
        head[0] = draw(st.integers(0, 255))
    elif what == "st":
        head[1] = draw(st.integers(0, 255))
    elif what == "cm":
        head[2] = draw(st.integers(0, 255))
    else:
        length = int.from_bytes(head[4:], "big", signed=True)
        new = draw(st.one_of(st.integers(-3, 3).map(lambda d: length + d),
                             st.integers(-(2 ** 63), 2 ** 31)))
        head[4:] = new.to_bytes(8, "big", signed=True)
    return bytes(head) + packet[HEADER_LENGTH:]


def _error_body(draw: st.DrawFn) -> Any:
    code = draw(st.one_of(st.integers(0, 8), st.integers(-(2 ** 63), 2 ** 64 - 1),
                          st.text(max_size=4), st.none()))
    return draw(st.one_of(st.tuples(st.just(code), scalars).map(list), odd_bodies))


@st.composite
def answers(draw: st.DrawFn) -> List[bytes]:
    """The packets of one answer, of a drawn shape."""
    shape = draw(st.sampled_from(["single", "table", "table2", "feed", "empty", "error", "any"]))
    if shape == "single":
        return [draw(packets(MSG_TYPE.RESPONSE))]
    if shape == "error":
        return [draw(packets(MSG_TYPE.ERROR, _error_body(draw)))]
    if shape == "any":
        return draw(st.lists(packets(), min_size=1, max_size=4))
    out = [draw(packets(MSG_TYPE.STREAM_START))]
    if shape != "empty":
        kind = {"table": MSG_TYPE.TABLE, "table2": MSG_TYPE.TABLE2, "feed": MSG_TYPE.FEED}[shape]
        head = [draw(st.lists(keys, max_size=4))] if shape == "table" else [draw(scalars)]
        first = head if shape != "feed" else []
        first = first + draw(st.lists(rows, max_size=3))
        if draw(st.integers(0, 9)) == 0:
            first = draw(odd_bodies)  # a first body of the wrong shape
        out.append(draw(packets(kind, first)))
        for _ in range(draw(st.integers(0, 3))):
            intruder = draw(st.integers(0, 11))
            if intruder == 0:
                out.append(draw(packets(MSG_TYPE.ERROR, _error_body(draw))))
            elif intruder == 1:
                out.append(draw(packets()))
            else:
                out.append(draw(packets(kind, draw(st.lists(rows, max_size=3)))))
    out.append(draw(packets(MSG_TYPE.STREAM_END)))
    return out


@st.composite
def answer_streams(draw: st.DrawFn) -> bytes:
    """The whole byte stream a server writes after a request."""
    if draw(st.integers(0, 9)) == 0:
        return draw(st.binary(max_size=64))
    parts = [draw(damaged(p)) for p in draw(answers())]
    if draw(st.booleans()):  # leftovers: more packets after the answer
        parts += draw(answers())
    stream = b"".join(parts)
    cut = draw(st.sampled_from(["none", "none", "cut", "tail"]))
    if cut == "cut" and stream:
        stream = stream[:draw(st.integers(0, len(stream) - 1))]
    elif cut == "tail":
        stream += draw(st.binary(min_size=1, max_size=16))
    return stream
