"""Wire codes: membership of received values, look-up by value, the valid ranges."""

import operator

import pytest

from vantrel.share.protocol import COMPRESSION_METHOD, HEADER_LENGTH, MSG_TYPE, SERIALIZATION_TYPE

MSG_NAMES = ["HANDSHAKE", "REQUEST", "RESPONSE", "ERROR", "STREAM_START", "STREAM_END",
             "FEED", "TABLE", "TABLE2"]


def test_header_length():
    assert HEADER_LENGTH == 12


@pytest.mark.parametrize("name", MSG_NAMES)
def test_member_and_its_raw_value_are_in(name):
    member: int = MSG_TYPE[name]  # (annotated: else mypy reads a type alias)
    assert member in MSG_TYPE
    assert int(member) in MSG_TYPE
    assert MSG_TYPE[int(member)] is member


@pytest.mark.parametrize("value", [0, 10, 255, -1, 2 ** 64, "RESPONSE", 3.5, None, b"\x03",
                                   (3,), SERIALIZATION_TYPE.MSGPACK + 100])
def test_invalid_values_are_not_in(value):
    assert (value in MSG_TYPE) is False


def test_membership_is_by_value():
    # Anything equal to a code is in, as with the standard IntEnum; an
    # unhashable value is refused outright.
    assert 3.0 in MSG_TYPE and True in MSG_TYPE and SERIALIZATION_TYPE.MSGPACK in MSG_TYPE
    with pytest.raises(TypeError):
        operator.contains(MSG_TYPE, [3])


@pytest.mark.parametrize("name", MSG_NAMES)
def test_lookup_by_raw_value_prints_the_name(name):
    member: int = MSG_TYPE[int(MSG_TYPE[name])]
    assert str(member) == name
    assert "{}".format(member) == name
    assert "%s" % member == name
    assert "[{:>14}]".format(member) == "[%14s]" % name
    assert member == int(member)


@pytest.mark.parametrize("key", [0, 42, -1, [1], None])
def test_lookup_of_unknown_value_raises_key_error(key):
    with pytest.raises(KeyError):
        MSG_TYPE[key]


@pytest.mark.parametrize("enum, low, high", [
    (SERIALIZATION_TYPE, SERIALIZATION_TYPE.RAW, SERIALIZATION_TYPE.MSGPACK),
    (COMPRESSION_METHOD, COMPRESSION_METHOD.NONE, COMPRESSION_METHOD.ZSTD),
])
def test_valid_range_is_exactly_the_members(enum, low, high):
    values = {int(m) for m in enum}
    in_range = {v for v in range(-5, 300) if low <= v <= high}
    assert in_range == values
    assert (low, high) == (min(enum), max(enum))


def test_member_names():
    assert [m.name for m in SERIALIZATION_TYPE] == ["RAW", "JSON", "MSGPACK"]
    assert [m.name for m in COMPRESSION_METHOD] == ["NONE", "ZLIB", "SNAPPY", "BROTLI", "ZSTD"]
    assert [m.name for m in MSG_TYPE] == MSG_NAMES
