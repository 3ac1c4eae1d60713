"""``vantrel call`` writing answers: streamed formats, --output files, the progress
line, the address and password sources.  The command runs as a subprocess
against the reference server in this process."""

from __future__ import annotations

import asyncio
import csv
import fcntl
import io
import json
import os
import pty
import re
import select
import struct
import subprocess
import sys
import termios
import threading
from typing import Any, AsyncIterator, Dict, Iterator

import pytest

import vantrel
from peer import impl_name, python_env
from vantrel.server import Credentials, Feed, ServerThread, demo_server

TIMEOUT = 60.0
HELD = 3000  # feed items sent before the held feed waits


@pytest.fixture(scope="module")
def served() -> Iterator[Dict[str, Any]]:
    """The demo server, plus ``held(n)``: a feed that sends HELD items, waits for
    the test's event, then sends ``n`` more; and ``trickle()``: a feed of 100
    items every 10 ms until the event."""
    release = threading.Event()

    async def items(n: int) -> AsyncIterator[Dict[str, Any]]:
        for i in range(HELD):
            yield {"seq": i, "text": "x" * 20}
        await asyncio.get_running_loop().run_in_executor(None, release.wait, TIMEOUT)
        for i in range(HELD, HELD + n):
            yield {"seq": i, "text": "x" * 20}

    async def trickle() -> AsyncIterator[int]:
        i = 0
        while not release.is_set():
            yield i
            i += 1
            if i % 100 == 0:
                await asyncio.sleep(0.01)

    server = demo_server(notice=None)
    server.register("held", lambda n=0: Feed(items(int(n)), batch=HELD))
    server.register("trickle", lambda: Feed(trickle(), batch=100))
    with ServerThread(server) as (host, port):
        yield {"address": "%s:%d" % (host, port), "host": host, "port": port,
               "release": release}
        release.set()


def call(*args: str, stdin: Any = subprocess.DEVNULL, **env: str) -> subprocess.CompletedProcess[str]:
    e = python_env(**env)
    for name in ("VANTREL_PASSWORD", "VANTREL_USER", "VANTREL_URL"):
        if name not in env:
            e.pop(name, None)
    return subprocess.run([sys.executable, "-m", "vantrel", "call", *args], capture_output=True,
                          text=True, timeout=TIMEOUT, env=e, stdin=stdin)


def whole(served: Dict[str, Any], method: str, *args: Any, **kwargs: Any) -> Any:
    with vantrel.connect((served["host"], served["port"])) as conn:
        return conn.execute(method, *args, **kwargs)


def to_json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False)


# -- streamed formats give what the whole answer gives ---------------------------------------


def test_streamed_formats_match_the_whole_answer(impl, served):
    # several packets (700 rows each) and a last short one
    rows = whole(served, "big_table", 2500, batch=700)
    base = [served["address"], "big_table", "2500", "--kw", "batch=700", "--impl", impl_name(impl)]
    out = {fmt: call(*base, "--format", fmt) for fmt in ("json", "jsonl", "csv")}
    assert all((p.returncode, p.stderr) == (0, "") for p in out.values()), out
    assert out["json"].stdout == to_json(rows) + "\n"
    assert out["jsonl"].stdout.splitlines() == [to_json(r) for r in rows]
    table = list(csv.reader(io.StringIO(out["csv"].stdout)))
    assert table[0] == list(rows[0])
    assert table[1:] == [["%s" % str(v).lower() if isinstance(v, bool) else str(v)
                          for v in r.values()] for r in rows]


@pytest.mark.parametrize("args,text", [
    (["table2", "3", "--format", "json"], '[["t", "value"], [[0, 0], [1, 1], [2, 4]]]\n'),
    (["table2", "2", "--format", "jsonl"], '["t", "value"]\n[0, 0]\n[1, 1]\n'),
    (["table2", "2", "--format", "csv"], "t,value\n0,0\n1,1\n"),
    (["feed", "0", "--format", "json"], "[]\n"),
    (["feed", "0", "--format", "jsonl"], ""),
    (["echo", "[1, 2]", "--format", "jsonl"], "1\n2\n"),
    (["echo", '{"a": [1, true, null]}', "--format", "csv"], 'a\n"[1, true, null]"\n'),
    (["echo", '[true, null, 1.5, "x,y"]', "--format", "csv"], 'true\n""\n1.5\n"x,y"\n'),
])
def test_kinds_of_answers_per_format(served, args, text):
    proc = call(served["address"], *args, "--impl", "twin")
    assert (proc.returncode, proc.stderr, proc.stdout) == (0, "", text)


def test_csv_refuses_a_column_the_first_row_lacks(served):
    proc = call(served["address"], "echo", '[{"a": 1}, {"a": 2, "b": 3}]', "--format", "csv")
    assert proc.returncode == 2
    assert proc.stdout == "a\n1\n"
    assert "row 2 has a column 'b' that the first row lacks" in proc.stderr


def test_rows_are_written_before_the_answer_ends(served):
    # The server holds the rest of the feed until the first rows were read on
    # the pipe: a command that buffered the whole answer would never write them.
    served["release"].clear()
    proc = subprocess.Popen([sys.executable, "-m", "vantrel", "call", served["address"], "held",
                             "5", "--format", "jsonl"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                            env=python_env())
    try:
        assert proc.stdout is not None
        # (stdout is a pipe: block-buffered, so the first bytes come in a block)
        first = proc.stdout.readline()
        assert json.loads(first) == {"seq": 0, "text": "x" * 20}
        served["release"].set()
        lines = [first] + proc.stdout.readlines()
        err = proc.communicate(timeout=TIMEOUT)[1]
    finally:
        served["release"].set()
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert (proc.returncode, err) == (0, "")
    assert [json.loads(line)["seq"] for line in lines] == list(range(HELD + 5))


def test_a_closed_pipe_ends_the_command_quietly(served):
    proc = subprocess.Popen([sys.executable, "-m", "vantrel", "call", served["address"],
                             "big_table", "200000", "--format", "jsonl"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, env=python_env())
    assert proc.stdout is not None and proc.stderr is not None
    proc.stdout.readline()
    proc.stdout.close()  # as `| head -1` does
    err = proc.stderr.read()
    assert (proc.wait(TIMEOUT), err) == (0, b"")


# -- --output ------------------------------------------------------------------------------------


def test_output_files_hold_the_answer(impl, served, tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    rows = whole(served, "trades", day="2024-05-02", rows=25_000)
    files = {ext: tmp_path / ("t" + ext) for ext in (".parquet", ".arrow", ".csv", ".jsonl")}
    for ext, path in files.items():
        proc = call(served["address"], "trades", "--kw", "day=2024-05-02", "--kw", "rows=25000",
                    "--output", str(path), "--impl", impl_name(impl))
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", ""), ext
    # the timestamps (MessagePack timestamps) as Arrow gives them, and as text
    arrow_rows = [dict(r, timestamp=r["timestamp"].to_datetime()) for r in rows]
    # as text: ISO 8601 in JSON lines, as pyarrow's CSV writer has it in CSV
    def text(r, sep):
        return "%s.%09dZ" % (r["timestamp"].to_datetime().strftime("%Y-%m-%d" + sep + "%H:%M:%S"),
                             r["timestamp"].nanoseconds)
    text_rows = [dict(r, timestamp=text(r, "T")) for r in rows]
    assert pq.read_table(files[".parquet"]).to_pylist() == arrow_rows
    assert pq.ParquetFile(files[".parquet"]).metadata.num_rows == 25_000
    assert pa.ipc.open_file(files[".arrow"]).read_all().to_pylist() == arrow_rows
    assert [json.loads(line) for line in files[".jsonl"].read_text().splitlines()] == text_rows
    with open(files[".csv"], newline="") as f:
        assert [r["timestamp"] for r in csv.DictReader(f)] == [text(r, " ") for r in rows]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(p.name for p in files.values())
    mask = os.umask(0)
    os.umask(mask)
    assert files[".csv"].stat().st_mode & 0o777 == 0o666 & ~mask  # as open() makes it


@pytest.mark.parametrize("ext,args,code,text", [
    (".jsonl", ["broken_feed", "10", "--kw", "after=4"], 1, "feed broken after 4"),
    (".parquet", ["table2", "3"], 2, "takes a table answer or a feed"),
    (".parquet", ["add", "1", "2"], 2, "takes a table answer or a feed"),
    (".arrow", ["fail", "no"], 1, "RuntimeError: no"),
])
def test_a_failed_call_leaves_no_file(served, tmp_path, ext, args, code, text):
    pytest.importorskip("pyarrow")
    path = tmp_path / ("answer" + ext)
    proc = call(served["address"], *args, "--output", str(path))
    assert proc.returncode == code
    assert text in proc.stderr and "Traceback" not in proc.stderr
    assert list(tmp_path.iterdir()) == []


def test_arrow_files_need_pyarrow(served, tmp_path):
    (tmp_path / "pyarrow.py").write_text("raise ImportError('hidden for this test')\n")
    env = {"PYTHONPATH": os.pathsep.join([str(tmp_path), python_env()["PYTHONPATH"]])}
    proc = call(served["address"], "table", "--output", str(tmp_path / "a.parquet"), **env)
    assert proc.returncode == 2
    assert proc.stderr.strip().endswith("needs pyarrow: pip install 'vantrel[arrow]'")
    assert call(served["address"], "table", "-o", str(tmp_path / "a.csv"), **env).returncode == 0


# -- the progress line ----------------------------------------------------------------------------


def _stderr_on_a_terminal(served: Dict[str, Any], *args: str) -> str:
    """Run ``call ... trickle`` with stderr on a pseudo-terminal and stdout in a
    file; the feed goes on until the terminal showed a line (at once with
    --quiet), then the whole terminal output is returned."""
    pytest.importorskip("tqdm")
    served["release"].clear()
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
    with open(os.devnull, "w") as null:
        proc = subprocess.Popen([sys.executable, "-m", "vantrel", "call", served["address"],
                                 "trickle", "--format", "csv", *args], stdout=null,
                                stderr=slave, stdin=subprocess.DEVNULL, env=python_env())
    os.close(slave)
    seen = b""
    try:
        while b"rows/s" not in seen and "--quiet" not in args:
            assert select.select([master], [], [], TIMEOUT)[0], seen  # (no line at all)
            seen += os.read(master, 4096)
        served["release"].set()
        assert proc.wait(TIMEOUT) == 0
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the terminal's other end is closed
                break
            if not chunk:
                break
            seen += chunk
    finally:
        served["release"].set()
        os.close(master)
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return seen.decode()


def test_progress_line_on_a_terminal(served):
    shown = _stderr_on_a_terminal(served)
    last = shown.replace("\r\n", "\n").split("\r")[-1].strip()
    # "3.01k rows, 0.1 MB, 2.51k rows/s, 00:01": the final state of the line
    assert re.fullmatch(r"[0-9.]+k? rows, [0-9.]+ MB, [0-9.]+k? rows/s, [0-9:]+", last), shown
    assert _stderr_on_a_terminal(served, "--quiet") == ""
# -- where the address and the password come from -----------------------------------------------


def test_address_from_vantrel_url_and_credentials_from_the_url():
    with ServerThread(demo_server(notice=None, authenticator=Credentials({"ann": "p@ss word"}))) \
            as (host, port):
        url = "vantrel://ann:p%%40ss%%20word@%s:%d?timeout=5" % (host, port)
        assert call(url, "add", "1", "2").stdout == "3\n"
        proc = call("add", "1", "2", VANTREL_URL=url)
        assert (proc.returncode, proc.stdout) == (0, "3\n")
        proc = call("echo", "x:y", VANTREL_URL=url)  # the first word has no ':', a method
        assert proc.stdout == '"x:y"\n'
        proc = call("%s:%d" % (host, port), "add", "1", "2", "--user", "ann",
                    VANTREL_PASSWORD="p@ss word")
        assert proc.stdout == "3\n"


def test_a_user_without_a_password_is_refused_before_connecting(served):
    # no --password, no VANTREL_PASSWORD and no terminal to ask on
    for args, env in [(["--user", "ann"], {}), ([], {"VANTREL_USER": "ann"})]:
        proc = call(served["address"], "add", "1", "2", *args, **env)
        assert proc.returncode == 2
        assert proc.stderr == ("vantrel: no password for user 'ann': give --password, set "
                               "VANTREL_PASSWORD, or run on a terminal to be asked\n")
    assert call(served["address"], "add", "1", "2", "--user", "ann", "--password", "").stdout \
        == "3\n"
