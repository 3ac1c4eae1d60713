"""The native codec's MessagePack against msgpack-python, the oracle.

Packing must give the bytes of ``msgpack.packb(obj, use_bin_type=True)`` and
the same refusals; decoding the values and types of ``msgpack.unpackb(data,
raw=False, strict_map_key=False)``, and a body that one codec refuses the
other refuses too.
"""

import collections
import gc
import math
from typing import Dict

import pytest

msgpack = pytest.importorskip("msgpack")
_ccodec = pytest.importorskip("vantrel.share._ccodec")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as hs  # noqa: E402

from peer import python_env, run_python  # noqa: E402
from reliability.sizes import examples  # noqa: E402
from vantrel.share import _codecbase, _pycodec  # noqa: E402
from vantrel.share._codecbase import MAX_NESTING, CodecError  # noqa: E402
from vantrel.share.protocol import COMPRESSION_METHOD as CM  # noqa: E402
from vantrel.share.protocol import MSG_TYPE  # noqa: E402
from vantrel.share.protocol import SERIALIZATION_TYPE as ST  # noqa: E402

CODECS = (_ccodec, _pycodec)


def typed(v):
    """v with the type of every part made visible (floats by their bits' repr)."""
    if isinstance(v, float):
        return ("float", "nan" if math.isnan(v) else repr(v))
    if isinstance(v, (list, tuple)):
        return (type(v).__name__, [typed(x) for x in v])
    if isinstance(v, dict):
        return ("dict", [(typed(k), typed(x)) for k, x in v.items()])
    return (type(v).__name__, repr(v))


def oracle_unpack(data):
    return msgpack.unpackb(data, raw=False, strict_map_key=False)


def outcome(call, *args):
    try:
        return ("ok", typed(call(*args)))
    except CodecError:
        return ("error",)


keys = hs.none() | hs.booleans() | hs.integers(-2 ** 63, 2 ** 64 - 1) | hs.text(max_size=8) | hs.binary(max_size=8)
scalars = (keys | hs.floats(allow_nan=True, allow_infinity=True)
           | hs.text() | hs.binary(max_size=300)
           | hs.builds(msgpack.ExtType, hs.integers(0, 127), hs.binary(max_size=20))
           | hs.builds(msgpack.Timestamp, hs.integers(-2 ** 40, 2 ** 40), hs.integers(0, 999_999_999)))
values = hs.recursive(
    scalars,
    lambda inner: hs.lists(inner, max_size=20) | hs.tuples(inner, inner)
    | hs.dictionaries(keys, inner, max_size=20),
    max_leaves=60)

damages = hs.lists(hs.tuples(hs.sampled_from(["flip", "cut", "insert"]), hs.integers(0, 10 ** 6),
                             hs.integers(0, 255)), min_size=1, max_size=3)


def damage(data, steps):
    data = bytearray(data)
    for kind, where, byte in steps:
        at = where % (len(data) + 1)
        if kind == "cut":
            del data[at:]
        elif kind == "insert":
            data[at:at] = bytes([byte])
        elif data:
            data[at % len(data)] ^= byte or 1
    return bytes(data)


@settings(max_examples=examples(300), deadline=None)
@given(values, damages)
def test_differential(value, steps):
    packed = msgpack.packb(value, use_bin_type=True)
    assert _ccodec.packb(value) == packed
    packet = _ccodec.pack_one(value, MSG_TYPE.RESPONSE, ST.MSGPACK, CM.NONE)
    assert packet == _pycodec.pack_one(value, MSG_TYPE.RESPONSE, ST.MSGPACK, CM.NONE)
    assert typed(_ccodec.unpackb(packed)) == typed(oracle_unpack(packed))
    damaged = damage(packed, steps)
    results = [outcome(c.unpack_one, damaged, ST.MSGPACK, CM.NONE) for c in CODECS]
    assert results[0] == results[1]


def nested(depth, leaf):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


class Str(str):
    pass


class Float(float):
    pass


Pair = collections.namedtuple("Pair", "a b")


class Mapping(Dict[str, int]):
    def items(self):  # msgpack-python packs a dict subclass from its items()
        return [(k, v * 2) for k, v in super().items()]


SUBCLASSES = [MSG_TYPE.TABLE, Str("text"), Float(2.5), Mapping(a=1, b=2), collections.OrderedDict(x=[1]),
              Pair(1, "b"), bytearray(b"ab"), memoryview(b"xyz"),
              [True, False, None], msgpack.ExtType(3, b"abc"), msgpack.Timestamp(-5, 7)]


@pytest.mark.parametrize("value", SUBCLASSES, ids=lambda v: type(v).__name__)
def test_subclasses_pack_as_msgpack_packs_them(value):
    assert _ccodec.packb(value) == msgpack.packb(value, use_bin_type=True)


def test_strings_decode_alike_whatever_the_cache_holds():
    # Short strings are shared through a cache: keys and values of every
    # length around its limit, non-ASCII ones, ones that share a slot.
    # Strings that differ in one character only, at each place, or in
    # trailing NULs, for each length the cache holds.
    letters = "abcdefghijklmnopq"
    texts = ["k%d" % i for i in range(3000)] + ["x" * n for n in range(40)] + ["é", "ü" * 9, "\u20ac", ""]
    texts += [letters[:n] + tail for n in range(18) for tail in ("", "\0", "\0\0")]
    texts += [letters[:n][:k] + "Z" + letters[:n][k + 1:] for n in range(1, 18) for k in range(n)]
    maps = [{k: [k, k[::-1]] for k in texts[i::7]} for i in range(7)] * 2
    packed = msgpack.packb(maps, use_bin_type=True)
    assert typed(_ccodec.unpackb(packed)) == typed(oracle_unpack(packed))
    with pytest.raises(CodecError, match="UTF-8"):
        _ccodec.unpackb(b"\x81\xa2\xc3\x28\x01")


REFUSED = [2 ** 64, -2 ** 63 - 1, "\ud800", {"k": ["x\udcff"]}, {1, 2}, object(), 1j,
           nested(MAX_NESTING + 1, 0), nested(MAX_NESTING, {1: []})]


@pytest.mark.parametrize("value", REFUSED, ids=lambda v: type(v).__name__)
def test_refusals_match_msgpack(value):
    with pytest.raises(Exception) as expected:
        msgpack.packb(value, use_bin_type=True)
    for c in CODECS:
        with pytest.raises(type(expected.value)):
            c.pack_one(value, MSG_TYPE.REQUEST, ST.MSGPACK, CM.NONE)


@pytest.mark.parametrize("value", [nested(MAX_NESTING, 0), nested(MAX_NESTING - 1, {1: []})], ids=["list", "dict"])
def test_deepest_accepted_nesting_matches_msgpack(value):
    # Packed alike; decoded alike (MAX_NESTING + 1 containers are one too many to decode).
    try:
        packed = msgpack.packb(value)
    except ValueError:
        pytest.skip("msgpack-python before 1.2 packs at most 511 levels")
    assert _ccodec.packb(value) == packed
    results = []
    for c in CODECS:
        try:
            results.append(_ccodec.packb(c.unpack_one(packed, ST.MSGPACK, CM.NONE)) == packed)
        except CodecError:
            results.append("error")
    assert results in ([True, True], ["error", "error"])


@pytest.mark.parametrize("c", CODECS, ids=["ext", "twin"])
@pytest.mark.parametrize("body, where", [
    (b"\x91" * 100_000 + b"\x90", "nesting too deep at offset %d" % MAX_NESTING),
    (b"\x81\x91\x01\x02", "at offset 1"),
    (b"\x92\xa2\xff\xfe\x01", "at offset 1"),
    (b"\x92\x01\xcd\x01", "truncated data at offset 2"),
    (b"\xc0\xc0", "extra data after the value at offset 1"),
    (b"\xd4\xff\x00", "at offset 0"),
    (b"\xdd\xff\xff\xff\xff", "array length exceeds the data at offset 0"),
])
def test_undecodable_body_is_a_codec_error(c, body, where):
    with pytest.raises(CodecError, match="MSGPACK") as ei:
        c.unpack_one(body, ST.MSGPACK, CM.NONE)
    if c is _ccodec:
        assert where in str(ei.value)


def test_large_body_leaves_the_collector_as_it_was():
    # Large bodies decode with the collector paused: it is on again after a
    # success and after a failure, and every list is tracked.
    rows = [[i, "s%d" % i, [i, None], {"k": [i]}] for i in range(20_000)]
    packed = msgpack.packb(rows, use_bin_type=True)
    for c in CODECS:
        got = c.unpack_one(packed, ST.MSGPACK, CM.NONE)
        assert gc.isenabled() and got == oracle_unpack(packed)
        assert gc.is_tracked(got) and all(gc.is_tracked(r) and gc.is_tracked(r[2]) for r in got[::997])
        with pytest.raises(CodecError):
            c.unpack_one(packed[:-1], ST.MSGPACK, CM.NONE)
        assert gc.isenabled()
    gc.disable()
    try:
        _ccodec.unpack_one(packed, ST.MSGPACK, CM.NONE)
        assert not gc.isenabled()
    finally:
        gc.enable()


def test_without_msgpack_python():
    # The native codec needs no msgpack-python: its own ExtType and Timestamp;
    # the twin then cannot do MSGPACK, and says so by codec.msgpack being None.
    code = r'''
import sys
sys.modules["msgpack"] = None
from vantrel.share import codec, _codecbase, _ccodec
assert codec.msgpack is not None and codec.pack_one is _ccodec.pack_one
ext, ts = _codecbase.ExtType(5, b"ab"), _codecbase.Timestamp(2 ** 40, 7)
assert type(ext).__module__ == "vantrel.share._codecbase"
back = codec.msgpack.unpackb(codec.msgpack.packb([ext, ts]))
assert back == [ext, ts] and type(back[0]) is type(ext) and type(back[1]) is type(ts)
'''
    pure = "import sys; sys.modules['msgpack'] = None\nfrom vantrel.share import codec\nassert codec.msgpack is None"
    for script, extra in ((code, {}), (pure, {"VANTREL_PURE_PYTHON": "1"})):
        proc = run_python("-c", script, env=python_env(**extra))
        assert proc.returncode == 0, proc.stderr


@settings(max_examples=examples(200), deadline=None)
@given(hs.one_of(hs.binary(min_size=4, max_size=4), hs.binary(min_size=8, max_size=8),
                 hs.binary(min_size=12, max_size=12), hs.binary(max_size=13)))
def test_own_timestamp_decodes_as_msgpack_python_does(data):
    # The classes used without msgpack-python, against msgpack-python's.
    def fields(cls):
        try:
            ts = cls.from_bytes(data)
        except ValueError:
            return "refused"
        return ts.seconds, ts.nanoseconds, ts.to_unix()

    assert fields(_codecbase._Timestamp) == fields(msgpack.Timestamp)


@pytest.mark.parametrize("args", [(0, b""), (127, b"x" * 300), (128, b""), (-1, b""), ("1", b""), (1, "x")])
def test_own_ext_type_checks_as_msgpack_python_does(args):
    def outcome(cls):
        try:
            return tuple(cls(*args))
        except (TypeError, ValueError) as exc:
            return type(exc)

    assert outcome(_codecbase._ExtType) == outcome(msgpack.ExtType)


@pytest.mark.parametrize("value", [float("nan"), {1j: 1}, object(), nested(100_000, 0)],
                         ids=["nan", "complex-key", "object", "deep"])
def test_json_refusals_alike(value):
    outcomes = []
    for c in CODECS:
        with pytest.raises(Exception) as ei:
            c.pack_one(value, MSG_TYPE.REQUEST, ST.JSON, CM.NONE)
        outcomes.append(type(ei.value))
    assert outcomes[0] is outcomes[1]


@pytest.mark.parametrize("c", CODECS, ids=["ext", "twin"])
@pytest.mark.parametrize("body", [b"[" * 100_000 + b"]" * 100_000, b'{"a": }', b'"\xff"'],
                         ids=["deep", "invalid", "bad-utf8"])
def test_undecodable_json_is_a_codec_error(c, body):
    with pytest.raises(CodecError, match="JSON"):
        c.unpack_one(body, ST.JSON, CM.NONE)
