"""Packets: header layout, body round trips, the compression threshold, corrupt bodies.

Every case runs on both codecs: the native one (``ext``) and its pure-Python
twin (``twin``).  Module-level data is built with the twin.
"""

import importlib
import struct
import tracemalloc
import zlib
from decimal import Decimal

import pytest

from vantrel._impls import CODEC_MODULES
from vantrel.share import _compression
from vantrel.share import _pycodec as codec
from vantrel.share import codec as switch
from vantrel.share._codecbase import COMPRESS_THRESHOLD, CodecError, CodecUnavailableError
from vantrel.share.protocol import COMPRESSION_METHOD as CM
from vantrel.share.protocol import HEADER_LENGTH, MSG_TYPE
from vantrel.share.protocol import SERIALIZATION_TYPE as ST

pack_one = codec.pack_one

OPTIONAL = {CM.ZSTD: codec.zstd, CM.BROTLI: codec.brotli, CM.SNAPPY: codec.snappy}
COMPRESSORS = [cm for cm in CM if OPTIONAL.get(cm, zlib) is not None]
SERIALIZERS = [st for st in ST if st != ST.MSGPACK or codec.msgpack is not None]


def _codecs():
    out = [pytest.param(CODEC_MODULES["twin"], id="twin")]
    try:
        importlib.import_module(CODEC_MODULES["ext"])
        out.insert(0, pytest.param(CODEC_MODULES["ext"], id="ext"))
    except ModuleNotFoundError as exc:  # not built; a native codec that fails to load is an error
        if exc.name != CODEC_MODULES["ext"]:
            raise
    return out


@pytest.fixture(params=_codecs())
def c(request):
    return importlib.import_module(request.param)


def test_switch_uses_the_native_codec_when_built():
    expected = _codecs()[0].values[0]
    assert switch.pack_one is importlib.import_module(expected).pack_one
    assert switch.CodecError is CodecError and switch.msgpack is not None

STRUCTURED = {"keys": ["a", "b", "ü"], "rows": [[1, 2.5, None], [True, "x" * 50, [1, {"n": -3}]]]}


def payload_for(st, size):
    if st == ST.RAW:
        return bytes(range(256)) * (size // 256 + 1)
    return dict(STRUCTURED, pad="p" * size)


def split(pkt, c=codec):
    mt, st, cm, length = c.unpack_header(pkt[:HEADER_LENGTH])
    return mt, st, cm, length, pkt[HEADER_LENGTH:]


@pytest.mark.parametrize("st", SERIALIZERS)
@pytest.mark.parametrize("cm", COMPRESSORS)
@pytest.mark.parametrize("size", [10, 5000])
@pytest.mark.parametrize("force", [False, True])
def test_round_trip(c, st, cm, size, force):
    payload = payload_for(st, size)
    packet = c.pack_one(payload, MSG_TYPE.TABLE, st, cm, force_compress=force)
    assert packet == codec.pack_one(payload, MSG_TYPE.TABLE, st, cm, force_compress=force)
    mt, hst, hcm, length, body = split(packet, c)
    assert (mt, hst) == (MSG_TYPE.TABLE, st)
    assert length == len(body)
    applied = cm != CM.NONE and (force or size >= COMPRESS_THRESHOLD)
    assert hcm == (cm if applied else CM.NONE)
    assert c.unpack_one(body, hst, hcm) == payload


@pytest.mark.parametrize("cm", [m for m in COMPRESSORS if m != CM.NONE])
def test_threshold_boundary(c, cm):
    below = split(c.pack_one(b"a" * (COMPRESS_THRESHOLD - 1), MSG_TYPE.RESPONSE, ST.RAW, cm))
    at = split(c.pack_one(b"a" * COMPRESS_THRESHOLD, MSG_TYPE.RESPONSE, ST.RAW, cm))
    assert below[2] == CM.NONE and below[4] == b"a" * (COMPRESS_THRESHOLD - 1)
    assert at[2] == cm and c.unpack_one(at[4], ST.RAW, cm) == b"a" * COMPRESS_THRESHOLD


class _Bytes(bytes):
    pass


@pytest.mark.parametrize("wrap", [bytearray, memoryview, _Bytes])
@pytest.mark.parametrize("cm", [CM.NONE, CM.ZLIB])
def test_raw_bodies_of_any_bytes_like_type_pack_as_bytes(c, wrap, cm):
    data = payload_for(ST.RAW, 5000)
    packet = c.pack_one(wrap(data), MSG_TYPE.RESPONSE, ST.RAW, cm)
    assert packet == codec.pack_one(data, MSG_TYPE.RESPONSE, ST.RAW, cm)
    assert c.unpack_one(packet[HEADER_LENGTH:], ST.RAW, cm) == data


def test_empty_forced_body_is_still_compressed(c):
    mt, st, cm, length, body = split(c.pack_one(b"", MSG_TYPE.RESPONSE, ST.RAW, CM.ZLIB,
                                                force_compress=True))
    assert cm == CM.ZLIB and length > 0 and c.unpack_one(body, st, cm) == b""


@pytest.mark.parametrize("fields", [(1, 2, 0, 0), (9, 0, 4, 123456), (255, 255, 255, -1),
                                    (4, 1, 1, -2 ** 63), (3, 2, 3, 2 ** 63 - 1)])
def test_header_round_trip(c, fields):
    header = c.pack_header(*fields)
    assert len(header) == HEADER_LENGTH
    assert header == struct.pack(">BBBxq", *fields)
    assert tuple(c.unpack_header(header)) == fields
    assert all(type(v) is int for v in c.unpack_header(header))


@pytest.mark.parametrize("call", [
    lambda c: c.unpack_header(b"\0" * (HEADER_LENGTH - 1)),
    lambda c: c.pack_header(256, 0, 0, 0),
    lambda c: c.pack_header(1, -1, 0, 0),
    lambda c: c.pack_header(1, 0, 0, 2 ** 63),
    lambda c: c.pack_header(1, 0, "0", 0),
    lambda c: c.pack_one(b"", 256, ST.RAW, CM.NONE),
])
def test_bad_header_fields_raise_struct_error(c, call):
    with pytest.raises(struct.error):
        call(c)


def _compressed(cm, data=b"some body that compresses " * 20):
    return pack_one(data, MSG_TYPE.RESPONSE, ST.RAW, cm, force_compress=True)[HEADER_LENGTH:]


CORRUPT = [
    ("zlib garbage", b"not zlib at all", ST.RAW, CM.ZLIB),
    ("zlib truncated", _compressed(CM.ZLIB)[:-4], ST.RAW, CM.ZLIB),
    ("zlib trailing", _compressed(CM.ZLIB) + b"tail", ST.RAW, CM.ZLIB),
    ("msgpack truncated", pack_one([1, 2, "abc"], 3, ST.MSGPACK, CM.NONE)[HEADER_LENGTH:-2],
     ST.MSGPACK, CM.NONE),
    ("msgpack extra", b"\x01\x02", ST.MSGPACK, CM.NONE),
    ("json invalid", b"{'a': 1}", ST.JSON, CM.NONE),
    ("json bad utf8", b'"\xff\xfe"', ST.JSON, CM.NONE),
]
if codec.zstd is not None:
    CORRUPT += [("zstd garbage", b"definitely not zstd", ST.RAW, CM.ZSTD),
                ("zstd truncated", _compressed(CM.ZSTD)[:-3], ST.RAW, CM.ZSTD),
                ("zstd trailing", _compressed(CM.ZSTD) + b"x", ST.RAW, CM.ZSTD)]
if codec.brotli is not None:
    CORRUPT += [("brotli garbage", b"\xff" * 30, ST.RAW, CM.BROTLI),
                ("brotli truncated", _compressed(CM.BROTLI)[:-5], ST.RAW, CM.BROTLI)]
if codec.snappy is not None:
    CORRUPT += [("snappy garbage", b"\xff\xff\xff\xff\x0f garbage", ST.RAW, CM.SNAPPY),
                ("snappy truncated", _compressed(CM.SNAPPY)[:-5], ST.RAW, CM.SNAPPY)]


@pytest.mark.parametrize("body, st, cm", [c[1:] for c in CORRUPT], ids=[c[0] for c in CORRUPT])
def test_corrupt_body_raises(c, body, st, cm):
    with pytest.raises(CodecError):
        c.unpack_one(body, st, cm)


@pytest.mark.parametrize("st, cm", [(7, CM.NONE), (ST.RAW, 9), (-1, CM.NONE)])
def test_unknown_codes_raise_codec_error(c, st, cm):
    with pytest.raises(CodecError):
        c.unpack_one(b"x", st, cm)
    with pytest.raises(CodecError):
        c.pack_one(b"x", MSG_TYPE.RESPONSE, st, cm, force_compress=True)


class Code:
    """An integer-like code (as numpy's integers are): it has __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("bad", [3.0, Decimal(3), "3", None], ids=repr)
@pytest.mark.parametrize("field", range(3))
def test_codes_must_be_integers(c, bad, field):
    codes: list[object] = [MSG_TYPE.RESPONSE, ST.MSGPACK, CM.NONE]
    codes[field] = bad
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        c.pack_one([1], *codes)
    if field > 0:
        with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
            c.unpack_one(b"\x91\x01", *codes[1:])
    # an enum member, an int or an object with __index__ is a code
    codes[field] = Code(int([MSG_TYPE.RESPONSE, ST.MSGPACK, CM.NONE][field]))
    assert c.pack_one([1], *codes) == pack_one([1], MSG_TYPE.RESPONSE, 2, 0)
    assert c.unpack_one(b"\x91\x01", *codes[1:]) == [1]
    with pytest.raises(CodecError, match="unknown compression method: 18446744073709551616"):
        c.unpack_one(b"\x91\x01", ST.MSGPACK, Code(2 ** 64))
    with pytest.raises(CodecError, match="unknown serializer type: 18446744073709551616"):
        c.pack_one([1], MSG_TYPE.RESPONSE, 2 ** 64, CM.NONE)


def test_raw_needs_bytes(c):
    with pytest.raises(CodecError):
        c.pack_one("text", MSG_TYPE.RESPONSE, ST.RAW, CM.NONE)


@pytest.mark.parametrize("attr, st, cm, needle", [
    ("msgpack", ST.MSGPACK, CM.NONE, "msgpack"),
    ("zstd", ST.RAW, CM.ZSTD, "zstandard"),
    ("brotli", ST.RAW, CM.BROTLI, "brotli"),
    ("snappy", ST.RAW, CM.SNAPPY, "python-snappy"),
])
def test_missing_library_is_named(c, monkeypatch, attr, st, cm, needle):
    # Both codecs compress through vantrel.share._compression; the native
    # codec's MessagePack needs no library.
    if c is not codec and attr == "msgpack":
        pytest.skip("the native codec has MessagePack of its own")
    monkeypatch.setattr(codec if attr == "msgpack" else _compression, attr, None)
    for call in (lambda: c.pack_one(b"x", MSG_TYPE.RESPONSE, st, cm, force_compress=True),
                 lambda: c.unpack_one(b"\x90", st, cm)):
        with pytest.raises(CodecUnavailableError) as ei:
            call()
        assert needle in str(ei.value) and attr.upper() in str(ei.value)


@pytest.mark.parametrize("cm", [cm for cm in COMPRESSORS if cm != CM.NONE])
def test_compressed_body_may_not_expand_beyond_the_limit(c, cm):
    # A compressed "bomb" is refused before it is expanded past the limit.
    mt, st, applied, length, body = split(c.pack_one(b"\0" * 200_000, MSG_TYPE.RESPONSE, ST.RAW, cm))
    assert applied == cm
    assert c.unpack_one(body, st, applied, 200_000) == b"\0" * 200_000
    assert c.decompress(body, applied, 200_000) == b"\0" * 200_000
    with pytest.raises(CodecError, match="expands beyond 199999 bytes"):
        c.unpack_one(body, st, applied, 199_999)


def _bomb(cm, size):
    """A body of method ``cm`` that expands to ``size`` zero bytes."""
    if cm != CM.ZSTD:
        return _compression.compress(b"\0" * size, cm)
    # One frame of RLE blocks, the densest form: 4 bytes for each 128 KiB, a
    # 128 KiB window and no stated size (which would be refused unexpanded).
    rle = (1 << 1 | (128 << 10) << 3).to_bytes(3, "little") + b"\0"
    last = (1 | 1 << 1 | (128 << 10) << 3).to_bytes(3, "little") + b"\0"
    return b"\x28\xb5\x2f\xfd\x00\x38" + rle * (size // (128 << 10) - 1) + last


@pytest.mark.parametrize("cm", [cm for cm in COMPRESSORS if cm != CM.NONE])
def test_refusing_a_bomb_costs_at_most_the_limit_and_one_step(c, cm):
    # 64 MiB behind an 8 MiB limit: the output is counted as it is produced,
    # so the refusal comes with at most about 1 MiB past the limit held.
    limit, mib = 8 << 20, 1 << 20
    bomb = _bomb(cm, 64 * mib)
    tracemalloc.start()
    try:
        with pytest.raises(CodecError, match="expands beyond %d bytes" % limit):
            c.decompress(bomb, cm, limit)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak <= limit + mib
    assert len(c.decompress(bomb, cm, 64 * mib)) == 64 * mib  # and it is a body within 64 MiB


@pytest.mark.skipif(codec.zstd is None, reason="zstandard is not installed")
def test_zstd_frames_without_a_stated_size_are_read_in_steps(c):
    payload = bytes(range(256)) * 40_000
    frame = codec.zstd.ZstdCompressor(write_content_size=False).compress(payload)
    assert c.unpack_one(frame, ST.RAW, CM.ZSTD) == payload
    for bad, error in ((frame[:-1], "truncated"), (frame + b"\0", "trailing"), (frame + frame, "trailing")):
        with pytest.raises(CodecError, match=error):
            c.unpack_one(bad, ST.RAW, CM.ZSTD)


@pytest.mark.skipif(codec.zstd is None, reason="zstandard is not installed")
def test_zstd_round_trips_from_many_threads_at_once(c):
    # zstandard releases the GIL while it works: a context shared between
    # threads would mix their data.
    import threading
    failures = []

    def work(seed):
        payload = bytes((seed + i) % 251 for i in range(300_000)) * 3
        for _ in range(10):
            pkt = c.pack_one(payload, MSG_TYPE.RESPONSE, ST.RAW, CM.ZSTD)
            mt, st, cm, length, body = split(pkt, c)
            if c.unpack_one(body, st, cm) != payload:
                failures.append(seed)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview])
def test_arguments_by_keyword_and_bodies_of_any_bytes_like_type(c, wrap):
    packet = c.pack_one(payload=STRUCTURED, msg_type=MSG_TYPE.RESPONSE, serializer=ST.MSGPACK,
                        compression=CM.ZLIB, force_compress=True)
    mt, st, cm, length, body = split(packet, c)
    assert tuple(c.unpack_header(wrap(packet[:HEADER_LENGTH]))) == (mt, st, cm, length)
    assert c.unpack_one(wrap(body), st=st, cm=cm, limit=10 ** 6) == STRUCTURED
    raw = c.unpack_one(wrap(b"raw"), ST.RAW, CM.NONE)
    assert raw == b"raw" and type(raw) is bytes
    for bad in (lambda: c.pack_one(1, 2, 3), lambda: c.unpack_one(b"", 0, 0, 1, 2),
                lambda: c.unpack_one(b"", 0, 0, level=1)):
        with pytest.raises(TypeError):
            bad()
