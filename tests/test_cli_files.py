"""``vantrel call``: the text of table answers in CSV and JSON lines (with and
without pyarrow), the kinds of ``--output``, and signals in the middle of an
answer.  The command runs as a subprocess against a server in this process or
a scripted peer."""

from __future__ import annotations

import csv
import gzip
import io
import json
import math
import os
import random
import signal
import struct
import subprocess
import sys
import threading
from typing import Any, Dict, Iterator, List

import pytest

import vantrel
from peer import Peer, impl_name, packet, python_env, recv, send, wait
from peer import signal as signalled
from vantrel._outtable import SMALL_PACKET
from vantrel.server import ServerThread, Table, demo_server
from vantrel.share._codecbase import Timestamp
from vantrel.share.protocol import MSG_TYPE

TIMEOUT = 60.0
PACKET = SMALL_PACKET + 100
COLUMNS = ["i", "f", "s", "b", "raw", "t", "opt"]


def _float(rng: random.Random) -> float:
    pick = rng.randrange(4)
    if pick == 0:  # any bit pattern: tiny, huge, NaN and infinities too
        return float(struct.unpack("d", struct.pack("Q", rng.getrandbits(64)))[0])
    if pick == 1:
        return rng.choice([0.0, -0.0, 1e16, 1e15, 9e15, 1e-5, 1e-4, 2.0 ** 53, 100.0, 0.1, 1e10,
                           9999999999.999998, 0.00009999999999999999, -3.0, 12345.0])
    return round(rng.uniform(-1e12, 1e12), rng.randrange(0, 9))


def mixed_rows(seed: int, n: int, timestamps: bool) -> List[List[Any]]:
    """Rows of every kind of value; a few packets hold what an Arrow column cannot."""
    rng = random.Random(seed)
    chars = ["a", ",", '"', "\n", "\r", "é", " ", "\\", "\t", "\x01", "%s", "x"]
    rows = [[i, _float(rng), "".join(rng.choice(chars) for _ in range(rng.randrange(6))),
             rng.choice([True, False, None]), bytes(rng.getrandbits(8) for _ in range(rng.randrange(4))),
             Timestamp(rng.randrange(2 ** 33), rng.randrange(10 ** 9)) if timestamps else rng.random(),
             None if rng.random() < 0.3 else rng.randrange(-10 ** 6, 10 ** 6)] for i in range(n)]
    rows[n // 3][0] = 2 ** 64 - 1           # beyond int64
    rows[n // 2][6] = "text"                # a str among ints
    rows[n - 5][1] = [1, {"a": None}]       # nested
    return rows


@pytest.fixture(scope="module")
def served() -> Iterator[str]:
    server = demo_server(notice=None)
    # packets large enough to go through Arrow when pyarrow is there
    server.register("mixed", lambda seed=0, n=5 * PACKET, timestamps=False:
                    Table(COLUMNS, mixed_rows(seed, n, timestamps), batch=PACKET))
    with ServerThread(server) as (host, port):
        yield "%s:%d" % (host, port)


def env(without_pyarrow: bool = False, tmp: Any = None) -> Dict[str, str]:
    e = python_env()
    for name in ("VANTREL_PASSWORD", "VANTREL_USER", "VANTREL_URL"):
        e.pop(name, None)
    if without_pyarrow:
        (tmp / "pyarrow.py").write_text("raise ImportError('hidden for this test')\n")
        e["PYTHONPATH"] = os.pathsep.join([str(tmp), e["PYTHONPATH"]])
    return e


def call(*args: str, **options: Any) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "vantrel", "call", *args], capture_output=True,
                          timeout=TIMEOUT, env=env(**options), stdin=subprocess.DEVNULL)


# -- the text of table answers ------------------------------------------------------------


def expected_field(value: Any) -> str:
    """What a CSV reader must give back for a value."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, bytes):
        return value.decode("utf-8", "surrogateescape")
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, list):
        return json.dumps(value)
    if isinstance(value, Timestamp):
        return "%s.%09dZ" % (value.to_datetime().strftime("%Y-%m-%d %H:%M:%S"), value.nanoseconds)
    return str(value)


def expected_json(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, Timestamp):
        return expected_field(value).replace(" ", "T")
    return value


@pytest.mark.parametrize("timestamps", [False, True], ids=["plain", "timestamps"])
def test_table_text_is_the_same_with_and_without_pyarrow(served, tmp_path, timestamps):
    """Each packet is written from Arrow batches with pyarrow and from its row
    lists without; the packets Arrow refuses go as lists.  Every way gives the
    same bytes, and CSV and JSON readers give back every value."""
    pytest.importorskip("pyarrow")
    rows = mixed_rows(7, 5 * PACKET, timestamps)
    args = [served, "mixed", "--kw", "seed=7", "--kw", "timestamps=%s" % str(timestamps).lower()]
    out = {}
    for fmt in ("csv", "jsonl"):
        for without in (False, True):
            proc = call(*args, "--format", fmt, without_pyarrow=without, tmp=tmp_path)
            assert (proc.returncode, proc.stderr) == (0, b""), proc.stderr
            out[fmt, without] = proc.stdout
        assert out[fmt, False] == out[fmt, True], fmt
    for fmt in ("csv", "jsonl"):  # (the rows of big_table go through pyarrow's CSV writer)
        plain = [call(served, "big_table", "3000", "--kw", "batch=1500", "--format", fmt,
                      without_pyarrow=without, tmp=tmp_path).stdout for without in (False, True)]
        assert plain[0] == plain[1] and plain[0].count(b"\n") == 3000 + (fmt == "csv")
    text = out["csv", False].decode("utf-8", "surrogateescape")
    # (csv before 3.11 refuses a NUL: it is read as a stand-in and put back)
    stand_in = "\ufffe"
    fields = [[f.replace(stand_in, "\0") for f in row]
              for row in csv.reader(io.StringIO(text.replace("\0", stand_in), newline=""))]
    assert fields == [COLUMNS] + [[expected_field(v) for v in row] for row in rows]
    lines = out["jsonl", False].decode().splitlines()
    assert [json.loads(line) for line in lines] == [
        {k: expected_json(v) for k, v in zip(COLUMNS, row)} for row in rows]


def test_header_only_table_and_short_rows(tmp_path):
    """A table of a header and no rows gives its header line; short rows have
    nulls in their last columns, a name given twice is one column."""
    cases = [([["a", "b"]], ("a,b\n", "")),
             ([["a"], [None], [""], ["x,y"]], ('a\n""\n""\n"x,y"\n', '{"a": null}\n{"a": ""}\n{"a": "x,y"}\n')),
             ([["k", "k", "x"], [1, 2, 3], [4]], ("k,x\n2,3\n4,\n", '{"k": 2, "x": 3}\n{"k": 4, "x": null}\n'))]
    for body, expected in cases:
        answer = packet(MSG_TYPE.STREAM_START) + packet(MSG_TYPE.TABLE, body) + packet(MSG_TYPE.STREAM_END)
        peer = Peer([recv(), send(answer)], handshake=True, clients=None)
        try:
            for without in (False, True):
                got = tuple(call("%s:%d" % peer.address, "m", "--format", fmt, without_pyarrow=without,
                                 tmp=tmp_path).stdout.decode() for fmt in ("csv", "jsonl"))
                assert got == expected, (body, without)
        finally:
            peer.finish()


# -- signals ---------------------------------------------------------------------------------


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("sig,name", [(signal.SIGTERM, "answer.csv"), (signal.SIGHUP, "answer.parquet"),
                                      (signal.SIGINT, "answer.jsonl.gz")])
def test_a_signal_mid_answer_leaves_no_file(impl, tmp_path, sig, name):
    """The peer sends the first packet of a table, then holds the rest: the
    command, stopped there, removes its temporary file and exits 128 + the
    signal's number."""
    if name.endswith(".parquet"):
        pytest.importorskip("pyarrow")
    sent, release = threading.Event(), threading.Event()
    first = packet(MSG_TYPE.STREAM_START) + packet(MSG_TYPE.TABLE, [["a", "b"], [1, "x"], [2, "y"]])
    peer = Peer([recv(), send(first), signalled(sent), wait(release)], handshake=True)
    folder = tmp_path / "out"
    folder.mkdir()
    proc = subprocess.Popen([sys.executable, "-m", "vantrel", "call", "%s:%d" % peer.address, "m",
                             "-o", str(folder / name), "--impl", impl_name(impl)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                            env=env())
    try:
        assert sent.wait(TIMEOUT)
        assert [p.name.endswith(".part") for p in folder.iterdir()] == [True]  # (made before the call)
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=TIMEOUT)
    finally:
        release.set()
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
        peer.finish()
    assert proc.returncode == 128 + sig
    assert err.decode().strip() in ("vantrel: interrupted", "vantrel: stopped by %s" % sig.name)
    assert list(folder.iterdir()) == []


# -- the kinds of --output ------------------------------------------------------------------


def test_output_kinds(served, tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.feather
    import pyarrow.parquet as pq

    args = [served, "big_table", "2500", "--kw", "batch=700"]
    with vantrel.connect(served) as conn:
        rows = conn.execute("big_table", 2500, batch=700)
        items = conn.execute("feed", 1000)
        scalars = conn.execute("broken_feed", 50, after=100)
    names = ["t.csv", "t.csv.gz", "t.jsonl", "t.jsonl.zst", "t.json.gz", "t.feather", "t.arrow", "t.parquet",
             "f.parquet", "s.arrow"]
    if not _imports("zstandard"):
        names.remove("t.jsonl.zst")
    for name in names:
        method = {"f": ["feed", "1000"], "s": ["broken_feed", "50", "--kw", "after=100"]}.get(name[0], args[1:])
        extra = ["--parquet-compression", "zstd", "--row-group-rows", "1000"] if name == "t.parquet" else []
        proc = call(served, *method, "-o", str(tmp_path / name), *extra)
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"", b""), name
    streamed = call(*args, "-o", "-")
    assert streamed.returncode == 0
    table = pa.ipc.open_stream(streamed.stdout).read_all()
    assert table.to_pylist() == rows
    assert pyarrow.feather.read_table(tmp_path / "t.feather").equals(table)
    assert pa.ipc.open_file(tmp_path / "t.arrow").read_all().equals(table)
    parquet = pq.ParquetFile(tmp_path / "t.parquet")
    assert [parquet.metadata.row_group(i).num_rows for i in range(parquet.num_row_groups)] == [1000, 1000, 500]
    assert parquet.metadata.row_group(0).column(0).compression == "ZSTD"
    assert parquet.read().equals(table)
    assert pq.read_table(tmp_path / "f.parquet").to_pylist() == items
    assert pa.ipc.open_file(tmp_path / "s.arrow").read_all().column("value").to_pylist() == scalars
    csv_text = call(*args, "--format", "csv").stdout
    assert gzip.decompress((tmp_path / "t.csv.gz").read_bytes()) == csv_text == (tmp_path / "t.csv").read_bytes()
    jsonl = call(*args, "--format", "jsonl").stdout
    assert (tmp_path / "t.jsonl").read_bytes() == jsonl
    if "t.jsonl.zst" in names:
        import zstandard

        assert zstandard.ZstdDecompressor().stream_reader(io.BytesIO((tmp_path / "t.jsonl.zst").read_bytes())) \
            .read() == jsonl
    assert json.loads(gzip.decompress((tmp_path / "t.json.gz").read_bytes())) == rows
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(names)


def _imports(name: str) -> bool:
    try:
        __import__(name)
    except ImportError:
        return False
    return True


def test_arrow_stream_is_not_for_a_terminal(served):
    pytest.importorskip("pyarrow")
    import pty

    master, slave = pty.openpty()
    try:
        proc = subprocess.run([sys.executable, "-m", "vantrel", "call", served, "table", "-o", "-"],
                              stdout=slave, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=env(),
                              timeout=TIMEOUT)
    finally:
        os.close(slave)
        os.close(master)
    assert proc.returncode == 2
    assert b"not for a terminal" in proc.stderr
