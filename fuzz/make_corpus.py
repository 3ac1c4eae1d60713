#!/usr/bin/env python3
"""Write the seed inputs of fuzz_packet.py into fuzz/corpus/ (one file per seed).

Each seed is an entry-point byte (0 handshake, 1 execute, 2 packet reader, see
fuzz_packet.py) followed by what the server sends: whole answers of every
shape, with compressed bodies, ERROR packets, and the classic damaged forms.
Rerunning the script rewrites the same files; inputs that the fuzzer found
worth keeping can be added beside them under other names.
"""

from __future__ import annotations

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
try:  # the installed package (the sanitizer build, say), else the source tree
    import vantrel  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.join(HERE, os.pardir, "src"))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from peer import packet as p  # noqa: E402
from vantrel.share.codec import pack_header  # noqa: E402
from vantrel.share.protocol import COMPRESSION_METHOD as CM  # noqa: E402
from vantrel.share.protocol import MSG_TYPE as T  # noqa: E402
from vantrel.share.protocol import SERIALIZATION_TYPE as ST  # noqa: E402

HANDSHAKE, EXECUTE, READER = b"\x00", b"\x01", b"\x02"


def stream(kind: int, first: object, *more: object) -> bytes:
    return p(T.STREAM_START) + p(kind, first) + b"".join(p(kind, m) for m in more) + p(T.STREAM_END)


SEEDS = {
    "handshake-plain": HANDSHAKE + p(T.HANDSHAKE),
    "handshake-notice": HANDSHAKE + p(T.HANDSHAKE, "welcome"),
    "handshake-refused": HANDSHAKE + p(T.ERROR, [2, "authentication failed"]),
    "handshake-error-nobody": HANDSHAKE + p(T.ERROR),
    "handshake-response": HANDSHAKE + p(T.RESPONSE, 1),
    "exec-response": EXECUTE + p(T.RESPONSE, {"a": [1, 2.5, None, True], "b": b"\x00\xff"}),
    "exec-response-json": EXECUTE + p(T.RESPONSE, ["x", 1], st=ST.JSON),
    "exec-response-raw": EXECUTE + p(T.RESPONSE, b"raw bytes", st=ST.RAW),
    "exec-response-zlib": EXECUTE + p(T.RESPONSE, "z" * 300, cm=CM.ZLIB),
    "exec-response-zstd": EXECUTE + p(T.RESPONSE, "z" * 300, cm=CM.ZSTD),
    "exec-response-brotli": EXECUTE + p(T.RESPONSE, "z" * 300, cm=CM.BROTLI),
    "exec-response-snappy": EXECUTE + p(T.RESPONSE, "z" * 300, cm=CM.SNAPPY),
    "exec-response-nobody": EXECUTE + p(T.RESPONSE),
    "exec-empty-stream": EXECUTE + p(T.STREAM_START) + p(T.STREAM_END),
    "exec-table": EXECUTE + stream(T.TABLE, [["id", "name"], [1, "a"], [2, "b"]], [[3, "c"]], []),
    "exec-table-zstd": EXECUTE + p(T.STREAM_START) + p(T.TABLE, [["k"]] + [[i] for i in range(50)], cm=CM.ZSTD)
    + p(T.STREAM_END),
    "exec-table2": EXECUTE + stream(T.TABLE2, [["t", "v"], [0, 0], [1, 1]], [[2, 4]]),
    "exec-feed": EXECUTE + stream(T.FEED, [{"seq": 0}, {"seq": 1}], [], [{"seq": 2}]),
    "exec-error": EXECUTE + p(T.ERROR, [5, "RuntimeError: boom"]) + p(T.RESPONSE, 2),
    "exec-error-unknown-code": EXECUTE + p(T.ERROR, [99, "odd"]),
    "exec-error-bad-body": EXECUTE + p(T.ERROR, [1, 2, 3]),
    "exec-error-mid-feed": EXECUTE + p(T.STREAM_START) + p(T.FEED, [1]) + p(T.ERROR, [5, "broken"])
    + p(T.RESPONSE, "stale"),
    "exec-wrong-kind-mid-table": EXECUTE + p(T.STREAM_START) + p(T.TABLE, [["a"], [1]]) + p(T.FEED, [2])
    + p(T.STREAM_END),
    "exec-table-nobody": EXECUTE + p(T.STREAM_START) + p(T.TABLE) + p(T.STREAM_END),
    "exec-table-unhashable-key": EXECUTE + stream(T.TABLE, [[[1], "b"], [1, 2]]),
    "exec-first-not-stream": EXECUTE + p(T.STREAM_END),
    "exec-short-header": EXECUTE + p(T.RESPONSE, 1)[:7],
    "exec-short-body": EXECUTE + p(T.RESPONSE, "abcdefgh")[:15],
    "exec-bad-type": EXECUTE + pack_header(200, 2, 0, 1) + b"\x01",
    "exec-bad-serializer": EXECUTE + pack_header(T.RESPONSE, 3, 0, 1) + b"\x01",
    "exec-bad-compression": EXECUTE + pack_header(T.RESPONSE, 2, 5, 1) + b"\x01",
    "exec-negative-length": EXECUTE + pack_header(T.RESPONSE, 2, 0, -1),
    "exec-huge-length": EXECUTE + pack_header(T.RESPONSE, 2, 0, (1 << 63) - 1) + b"\x01",
    "exec-corrupt-zlib": EXECUTE + pack_header(T.RESPONSE, 2, 1, 4) + b"\x78\x9c\x00\x01",
    "exec-corrupt-msgpack": EXECUTE + pack_header(T.RESPONSE, 2, 0, 3) + b"\xc1\xc1\xc1",
    "exec-deep-json": EXECUTE + pack_header(T.RESPONSE, 1, 0, 4000) + b"[" * 4000,
    "reader-sequence": READER + p(T.RESPONSE, 1) + p(T.STREAM_START) + p(T.FEED, [1]) + p(T.ERROR)
    + p(T.STREAM_END, "ignored"),
    "reader-garbage": READER + bytes(range(64)),
}


def main() -> None:
    out = os.path.join(HERE, "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print("%d seeds written to %s" % (len(SEEDS), out))


if __name__ == "__main__":
    main()
