"""The typing of the columns while the first body's batch is built.

A MessagePack first body is built into its batch as its values type the
columns: a column of None so far takes its type at its first value, an int64
one becomes double at its first float, and the batch is kept for the stream
unless a later body held back changes the types.  Every case is compared with
``pyarrow.Table.from_pylist``, or with the failure of the inference alone.
"""

from __future__ import annotations

from typing import Any, List

import pytest

pa = pytest.importorskip("pyarrow")
msgpack = pytest.importorskip("msgpack")

from vantrel import _arrow  # noqa: E402


def decode(bodies: List[Any], given_first: Any = None) -> Any:
    """Begin, infer while untyped, then stream every body (the first one
    given to the stream may be another object than the one begun with)."""
    decoder = _arrow.TableDecoder()
    typed = decoder.begin(bodies[0])
    for body in bodies[1:]:
        if typed:
            break
        typed = decoder.infer(body)
    queue = [(given_first if k == 0 and given_first is not None else b, k == 0) for k, b in enumerate(bodies)]
    capsule = decoder.stream(lambda: queue.pop(0) if queue else None, lambda error: None)
    return pa.RecordBatchReader._import_from_c_capsule(capsule).read_all()


def packed(cols: List[str], rows: List[Any], cut: int) -> List[bytes]:
    return [msgpack.packb([cols] + rows[:cut]), msgpack.packb(rows[cut:])]


def expected(cols: List[str], rows: List[Any]) -> Any:
    return pa.Table.from_pylist([dict(zip(cols, r)) for r in rows])


@pytest.mark.parametrize("n", [1, 7, 8, 9, 1000])
def test_types_settled_within_the_first_body(n: int) -> None:
    # after n rows: an int64 column meets a float (nulls among its ints), and
    # columns of None so far meet a value of each type; a short row, a later body
    cols = ["w", "i", "f", "s", "b", "t", "z"]
    rows: List[List[Any]] = [[k, None if k % 3 else k, None, None, None, None, None] for k in range(n)]
    rows += [[2.5, 7, 1, "é" * 20, b"x", True, None], [3, None, 0.5, "a", b"", None],
             [-1, 2, 3, "b", b"y", False, None]]
    for cut in (n, n + 2, len(rows)):
        assert decode(packed(cols, rows, cut)).equals(expected(cols, rows))


def test_held_back_bodies_change_the_first_batch() -> None:
    # "b" has only None in the first body; the body held back types it and
    # makes "a" double: the first batch follows both
    cols = ["a", "b", "c"]
    rows = [[1, None, "x"], [None, None, "y"], [2.5, "s", None], [3, None, "z"]]
    got = decode(packed(cols, rows, 2))
    assert got.equals(expected(cols, rows))
    assert got.schema.types == [pa.float64(), pa.string(), pa.string()]
    # untyped to the end: a null column
    assert decode(packed(["a"], [[None], [None]], 1)).schema.types == [pa.null()]


def test_another_first_body_given_to_the_stream() -> None:
    cols = ["a", "s"]
    begun, other = [[1, "x"], [2, "y"]], [[5, "p"], [6, "q"], [7, None]]
    got = decode([msgpack.packb([cols] + begun)], given_first=msgpack.packb([cols] + other))
    assert got.equals(expected(cols, other))


def test_first_bodies_that_fail() -> None:
    # the inference's failure, even after a widening; a body whose typing
    # passes but whose build fails (invalid UTF-8) fails in the stream
    with pytest.raises(_arrow.ColumnTypeError, match=r"row 3: the str 'x' after double values \(mixed types"):
        decode([msgpack.packb([["a"], [1], [2.5], [None], ["x"]])])
    with pytest.raises(OSError, match="row 1: the int 9223372036854775809 has no exact double value"):
        decode([msgpack.packb([["a"], [1.5], [2**63 + 1]])])  # (typed double; the build refuses it)
    bad = msgpack.packb([["n", "s"], [1, "ok"], [2, "ok"], [3.5, "ok"]]).replace(b"ok\x92\xcb", b"o\xff\x92\xcb")
    decoder = _arrow.TableDecoder()
    assert decoder.begin(bad) is True and decoder.types == ["double", "string"]
    with pytest.raises(OSError, match="column 's', row 1: invalid UTF-8 in a string"):
        decode([bad])


def test_short_strings_of_every_length() -> None:
    # ASCII, or one other character at the start, middle or end: every
    # length that the short-string copies treat apart
    texts = [""] + ["".join(chr(97 + k % 26) for k in range(n)) for n in range(1, 19)]
    texts += [t[:i] + "é" + t[i + 1:] for t in texts[1:] for i in {0, len(t) // 2, len(t) - 1}]
    rows = [[t, t.encode()] for t in texts]
    assert decode(packed(["s", "b"], rows, 5)).equals(expected(["s", "b"], rows))
