"""The three stream collectors called directly, on bodies of any iterable kind.

The packets after ``first`` come from a scripted ``_read_one_packet`` in a
subclass, so that continuation bodies can be any Python object, not only what
the codec produces.
"""

import gc
import sys
import weakref
from typing import Any, List

import pytest

from vantrel.share.protocol import MSG_TYPE

HS, END = MSG_TYPE.HANDSHAKE, MSG_TYPE.STREAM_END
TABLE, TABLE2, FEED = MSG_TYPE.TABLE, MSG_TYPE.TABLE2, MSG_TYPE.FEED


@pytest.fixture
def scripted(impl, net):
    """``scripted(*packets)``: a connection whose reads return the given pairs, in order."""

    def make(*packets):
        pending = [(HS, None)] + list(packets)

        base: Any = impl.Connection

        class Scripted(base):
            def _read_one_packet(self):
                return pending.pop(0)

        conn = Scripted(net.socket(net.peer([], handshake=False)), {"user": "u"})
        conn.pending = pending
        return conn

    return make


def gen(*items):
    return (i for i in items)


def fresh(value):
    """Cases holding one-shot iterators give a function that makes them anew."""
    return value() if callable(value) and not isinstance(value, type) else value


TABLE_CASES = [
    ("tuples", (("a", "b"), (1, 2)), [((3, 4),)], [{"a": 1, "b": 2}, {"a": 3, "b": 4}]),
    ("strings as rows", [["a", "b"], "xy", "z"], [["pq"]], [{"a": "x", "b": "y"}, {"a": "z"},
                                                             {"a": "p", "b": "q"}]),
    ("string first", "abc", [], [{"a": "b"}, {"a": "c"}]),
    ("generator rows", lambda: [["a", "b"], gen(1, 2)], lambda: [gen(gen(3, 4), gen(5))],
     [{"a": 1, "b": 2}, {"a": 3, "b": 4}, {"a": 5}]),
    ("mapping rows", [["k1", "k2"], {"x": 1, "y": 2}], [], [{"k1": "x", "k2": "y"}]),
    ("unhashable values", [[1, (2, 3)], [[], {}]], [[[None]]], [{1: [], (2, 3): {}}, {1: None}]),
    ("header only then empties", [["a"]], [[], (), ""], []),
]


@pytest.mark.parametrize("first, bodies, expected", [c[1:] for c in TABLE_CASES],
                         ids=[c[0] for c in TABLE_CASES])
def test_table_unpack_any_iterables(scripted, first, bodies, expected):
    conn = scripted(*[(TABLE, b) for b in fresh(bodies)], (END, "ignored"))
    result = conn.table_unpack(fresh(first))
    assert result == expected and type(result) is list
    assert conn.pending == []


def test_table_header_is_taken_once_and_zipped_like_the_builtins(scripted):
    # a one-shot header is used up by the first row, exactly as dict(zip(keys, row)) does
    header = iter(["a", "b"])
    conn = scripted((TABLE, [[3, 4]]), (END, None))
    assert conn.table_unpack(first=[header, [1, 2], [5, 6]]) == [{"a": 1, "b": 2}, {}, {}]


class Box(List[Any]):
    pass


def test_table_rows_hold_their_values_like_the_builtins(scripted):
    # Rows over the whole header are made from one prepared dict of the keys:
    # each row must still be a dict of its own, tracked by the collector as
    # dict(zip(keys, row)) is, and hold one reference to each of its values.
    keys = ["k%d" % i for i in range(9)]
    shared, box = object(), Box()
    rows: List[List[Any]] = [[shared] * 9, [box, *range(8)], [(1, 2), ("a", []), *[None] * 7]]
    conn = scripted((TABLE, [rows[1], rows[2]]), (END, None))
    before = sys.getrefcount(shared)
    result = conn.table_unpack([keys, rows[0]])
    assert sys.getrefcount(shared) == before + 9
    assert result == [dict(zip(keys, row)) for row in rows]
    assert [gc.is_tracked(r) for r in result] == [gc.is_tracked(dict(zip(keys, row))) for row in rows]
    result[0]["k0"] = 1
    del result[0]["k1"]
    result[0]["new"] = 2
    assert list(result[0]) == keys[:1] + keys[2:] + ["new"] and result[1]["k0"] is box
    box.append(result[1])  # a cycle through a row, which the collector must find
    gone = weakref.ref(box)
    del result, box, rows, conn.pending[:]
    gc.collect()
    assert gone() is None and sys.getrefcount(shared) == before - 9


TABLE2_CASES = [
    ("tuples", ("h", 1, 2), [(3,), ()], ("h", [1, 2, 3])),
    ("string first", "head", ["xy"], ("h", ["e", "a", "d", "x", "y"])),
    ("generator bodies", ["h"], lambda: [gen(1, gen)], ("h", [1, gen])),
    ("head of any kind", [None, [1]], [[[2]]], (None, [[1], [2]])),
]


@pytest.mark.parametrize("first, bodies, expected", [c[1:] for c in TABLE2_CASES],
                         ids=[c[0] for c in TABLE2_CASES])
def test_table2_unpack_any_iterables(scripted, first, bodies, expected):
    conn = scripted(*[(TABLE2, b) for b in fresh(bodies)], (END, "ignored"))
    result = conn.table2_unpack(fresh(first))
    assert result == expected and type(result) is tuple and type(result[1]) is list
    assert conn.pending == []


def test_table2_keeps_elements_by_reference(scripted):
    head, e1, e2 = {"h": 1}, [1], {"e": 2}
    conn = scripted((TABLE2, [e2]), (END, None))
    got_head, data = conn.table2_unpack(first=[head, e1])
    assert got_head is head and data[0] is e1 and data[1] is e2


FEED_CASES = [
    ("tuple", (1, 2), [(3,)], [1, 2, 3]),
    ("generator", lambda: gen(1, 2), lambda: [gen(3), "ab"], [1, 2, 3, "a", "b"]),
    ("string", "ab", [], ["a", "b"]),
    ("mapping", {"k": 1}, [{"j": 2}], ["k", "j"]),
    ("nested items stay whole", [[1, 2]], [[[3], (4,)]], [[1, 2], [3], (4,)]),
]


@pytest.mark.parametrize("first, bodies, expected", [c[1:] for c in FEED_CASES],
                         ids=[c[0] for c in FEED_CASES])
def test_feed_unpack_any_iterables(scripted, first, bodies, expected):
    conn = scripted(*[(FEED, b) for b in fresh(bodies)], (END, "ignored"))
    result = conn.feed_unpack(first=fresh(first))
    assert result == expected and type(result) is list
    assert conn.pending == []


def test_feed_result_is_a_new_list(scripted):
    first = [1, 2]
    conn = scripted((FEED, [3]), (END, None))
    result = conn.feed_unpack(first)
    assert result == [1, 2, 3] and result is not first and first == [1, 2]


@pytest.mark.parametrize("method", ["table_unpack", "table2_unpack"])
@pytest.mark.parametrize("first, exc", [([], IndexError), ((), IndexError), ("", IndexError),
                                        (None, TypeError), (iter([1]), TypeError), ({1, 2}, TypeError),
                                        (5, TypeError)])
def test_unusable_first_fails_before_reading(scripted, method, first, exc):
    conn = scripted((END, None))
    with pytest.raises(exc):
        getattr(conn, method)(first)
    assert conn.pending == [(END, None)]


@pytest.mark.parametrize("first", [None, 5])
def test_feed_first_not_iterable(scripted, first):
    conn = scripted((END, None))
    with pytest.raises(TypeError):
        conn.feed_unpack(first)
    assert conn.pending == [(END, None)]


@pytest.mark.parametrize("method, kind, first", [("table_unpack", TABLE, [["a"]]),
                                                 ("table2_unpack", TABLE2, ["h"]),
                                                 ("feed_unpack", FEED, [])])
@pytest.mark.parametrize("bad, exc", [(None, TypeError), (7, TypeError)])
def test_unusable_later_body_fails(scripted, method, kind, first, bad, exc):
    conn = scripted((kind, bad), (END, None))
    with pytest.raises(exc):
        getattr(conn, method)(first)
    assert conn.pending == [(END, None)]


@pytest.mark.parametrize("first, later", [([["a"], [0]], [[1], 5]), ([["a"], [0]], [None]),
                                          ([[["unhashable"]], [1]], [])])
def test_table_bad_row_or_key(scripted, first, later):
    conn = scripted((TABLE, later), (END, None))
    with pytest.raises(TypeError):
        conn.table_unpack(first)


@pytest.mark.parametrize("method, first", [("table_unpack", [["a"]]), ("table2_unpack", ["h"]),
                                           ("feed_unpack", [])])
@pytest.mark.parametrize("read", [(END,), (END, None, None), "abc", None])
def test_read_result_must_be_a_pair(scripted, method, first, read):
    conn = scripted(read)
    with pytest.raises((ValueError, TypeError)):
        getattr(conn, method)(first)
