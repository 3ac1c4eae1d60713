"""vantrel beside the clients of other data servers: client CPU per row or per call.

    apt-get install -y postgresql redis-server        # the peers' servers (Debian)
    EXTRAS=fast,peers bash -c 'source scripts/_venv.sh && "$PY" benchmarks/peers.py --write-readme'

The script starts everything it measures on loopback and stops it again: a
PostgreSQL cluster in a temporary folder (as the ``postgres`` user when run
as root), a Redis server without persistence, and vantrel's answer server.
The clients (asyncpg, psycopg 3 with its binary extension,
adbc-driver-postgresql, redis-py with hiredis) come from the ``peers`` extra.

Every job reads the same data: the 8 columns of ``payloads.py`` (3 ints, 2
floats, 2 short strings, 1 bool) for the tables, and 1,000,000 small items for
the feed.  The figure is the client process's CPU time (user + system,
``time.process_time``), the best of ``--repeat`` runs, so that the servers'
own work is not counted.  ``--write-readme`` puts the table into
benchmarks/README.md between its ``peers`` markers.  Not part of CI.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import glob
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bootstrap  # noqa: E402,F401
from payloads import FEED_ITEMS, SMALL_RESPONSE, TABLE_ROWS  # noqa: E402
from server_process import AnswerServer  # noqa: E402

README = os.path.join(HERE, "README.md")
BEGIN, END = "<!-- peers:begin -->", "<!-- peers:end -->"

_TABLE_SQL = """
create table t as
select i::int8 as id, ((i * 7) %% 5000)::int8 as qty, (1700000000 + i * 13)::int8 as ts,
       (100.0 + (i %% 9973) * 0.01)::float8 as price, ((i %% 1000) / 8.0)::float8 as weight,
       (array['AAPL','MSFT','GOOG','AMZN','NVDA','META','TSLA','ORCL','IBM','INTC'])[i %% 10 + 1]
           || (i %% 97)::text as symbol,
       (array['XNAS','XNYS','ARCX','BATS','IEXG'])[i %% 5 + 1] as venue,
       (i %% 3 = 0) as active
from generate_series(0, %d - 1) as s(i)
"""


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def _best(run: Callable[[], Any], repeat: int) -> float:
    """The least client CPU time of ``repeat`` runs, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        t = time.process_time()
        run()
        best = min(best, time.process_time() - t)
    return best


# -- the peers' servers ----------------------------------------------------------------


@contextlib.contextmanager
def postgres(rows: int) -> Iterator[str]:
    """A PostgreSQL cluster on a free loopback port holding table ``t``; yields its URI."""
    bins = sorted(glob.glob("/usr/lib/postgresql/*/bin"))
    if not bins:
        raise SystemExit("PostgreSQL is not installed: apt-get install -y postgresql")
    bindir = bins[-1]
    folder = tempfile.mkdtemp(prefix="vantrel-peers-pg-")
    as_user: List[str] = []
    if os.geteuid() == 0:
        shutil.chown(folder, "postgres", "postgres")
        as_user = ["runuser", "-u", "postgres", "--"]
    data = os.path.join(folder, "data")
    port = _free_port()
    subprocess.run(as_user + [os.path.join(bindir, "initdb"), "-D", data, "-A", "trust", "-U", "bench"],
                   check=True, stdout=subprocess.DEVNULL)
    options = "-c listen_addresses=127.0.0.1 -c port=%d -c unix_socket_directories=%s -c fsync=off" \
        % (port, folder)
    subprocess.run(as_user + [os.path.join(bindir, "pg_ctl"), "-D", data, "-o", options, "-w",
                              "-l", os.path.join(folder, "log"), "start"],
                   check=True, stdout=subprocess.DEVNULL)
    uri = "postgresql://bench@127.0.0.1:%d/postgres" % port
    try:
        import psycopg

        with psycopg.connect(uri, autocommit=True) as conn:
            conn.execute(_TABLE_SQL % rows)
            conn.execute("vacuum analyze t")
        yield uri
    finally:
        subprocess.run(as_user + [os.path.join(bindir, "pg_ctl"), "-D", data, "-m", "immediate", "stop"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(folder, ignore_errors=True)


@contextlib.contextmanager
def redis_server(items: int) -> Iterator[int]:
    """A Redis server on a free loopback port with the feed list and the small key."""
    exe = shutil.which("redis-server")
    if exe is None:
        raise SystemExit("Redis is not installed: apt-get install -y redis-server")
    port = _free_port()
    proc = subprocess.Popen([exe, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                             "--appendonly", "no"], stdout=subprocess.DEVNULL)
    try:
        import redis

        client = redis.Redis(host="127.0.0.1", port=port)
        for _ in range(100):
            try:
                client.ping()
                break
            except redis.ConnectionError:
                time.sleep(0.05)
        from payloads import feed_item

        pipe = client.pipeline(transaction=False)
        for start in range(0, items, 10_000):
            pipe.rpush("feed", *[str(feed_item(i)) for i in range(start, min(items, start + 10_000))])
        pipe.set("small", repr(SMALL_RESPONSE))
        pipe.execute()
        client.close()
        yield port
    finally:
        proc.terminate()
        proc.wait(10)


# -- the measurements ------------------------------------------------------------------


def measure(repeat: int) -> List[Tuple[str, str, float, str]]:
    """(job, client, figure, unit) for every job and client."""
    import vantrel
    from vantrel.results import fetch_arrow

    out: List[Tuple[str, str, float, str]] = []
    with AnswerServer() as server:
        conn = vantrel.connect(server.address, {})
        out.append(("200,000 rows into dicts", "vantrel", _best(lambda: conn.execute("table_200k"), repeat)
                    / TABLE_ROWS * 1e9, "ns/row"))
        out.append(("200,000 rows into Arrow", "vantrel",
                    _best(lambda: fetch_arrow(conn, "table_200k").read_all(), repeat) / TABLE_ROWS * 1e9,
                    "ns/row"))
        calls = 2000
        out.append(("small round trip", "vantrel",
                    _best(lambda: [conn.execute("small_call", 1, "abc", flag=True) for _ in range(calls)],
                          repeat) / calls * 1e6, "us/call"))
        out.append(("1,000,000 feed items", "vantrel",
                    _best(lambda: conn.execute("feed_1m"), repeat) / FEED_ITEMS * 1e9, "ns/item"))
        conn.close()

    with postgres(TABLE_ROWS) as uri:
        import asyncpg
        import psycopg
        from adbc_driver_postgresql import dbapi as adbc
        from psycopg.rows import dict_row

        async def asyncpg_rows() -> float:
            c = await asyncpg.connect(uri)
            best = float("inf")
            for _ in range(repeat):
                t = time.process_time()
                [dict(r) for r in await c.fetch("select * from t")]
                best = min(best, time.process_time() - t)
            await c.close()
            return best

        out.append(("200,000 rows into dicts", "asyncpg dict(r)",
                    asyncio.run(asyncpg_rows()) / TABLE_ROWS * 1e9, "ns/row"))
        with psycopg.connect(uri) as pconn:
            def psycopg_rows() -> None:
                with pconn.cursor(row_factory=dict_row, binary=True) as cur:
                    cur.execute("select * from t")
                    cur.fetchall()
            out.append(("200,000 rows into dicts", "psycopg 3 binary dict_row",
                        _best(psycopg_rows, repeat) / TABLE_ROWS * 1e9, "ns/row"))
        with adbc.connect(uri) as aconn:
            def adbc_table() -> None:
                with aconn.cursor() as cur:
                    cur.execute("select * from t")
                    cur.fetch_arrow_table()
            out.append(("200,000 rows into Arrow", "adbc-driver-postgresql",
                        _best(adbc_table, repeat) / TABLE_ROWS * 1e9, "ns/row"))

    with redis_server(FEED_ITEMS) as port:
        import redis

        raw = redis.Redis(host="127.0.0.1", port=port)
        text = redis.Redis(host="127.0.0.1", port=port, decode_responses=True)
        calls = 2000
        out.append(("small round trip", "redis-py + hiredis GET",
                    _best(lambda: [raw.get("small") for _ in range(calls)], repeat) / calls * 1e6, "us/call"))
        out.append(("1,000,000 feed items", "redis-py LRANGE bytes",
                    _best(lambda: raw.lrange("feed", 0, -1), repeat) / FEED_ITEMS * 1e9, "ns/item"))
        out.append(("1,000,000 feed items", "redis-py LRANGE str",
                    _best(lambda: text.lrange("feed", 0, -1), repeat) / FEED_ITEMS * 1e9, "ns/item"))
    return out


def table(results: List[Tuple[str, str, float, str]]) -> str:
    ours: Dict[str, float] = {job: v for job, client, v, _ in results if client == "vantrel"}
    lines = ["| job | client | client CPU | vantrel / client |", "|---|---|---|---|"]
    for job, client, value, unit in results:
        ratio = "" if client == "vantrel" else "%.2f" % (ours[job] / value)
        lines.append("| %s | %s | %.1f %s | %s |" % (job, client, value, unit, ratio))
    return "\n".join(lines)


def write_readme(text: str) -> None:
    with open(README, encoding="utf-8") as f:
        readme = f.read()
    block = "%s\n%s\n%s" % (BEGIN, text, END)
    if BEGIN in readme and END in readme:
        head, rest = readme.split(BEGIN, 1)
        readme = head + block + rest.split(END, 1)[1]
    else:
        readme = readme.rstrip("\n") + "\n\n## Beside the peers (benchmarks/peers.py)\n\n" + block + "\n"
    with open(README, "w", encoding="utf-8") as f:
        f.write(readme)


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--write-readme", action="store_true")
    args = parser.parse_args(argv)
    text = table(measure(args.repeat))
    print(text)
    if args.write_readme:
        write_readme(text + "\n\n(%s, %d cores, %s)" % (time.strftime("%Y-%m-%d"), os.cpu_count() or 0,
                                                       sys.version.split()[0]))


if __name__ == "__main__":
    main()
