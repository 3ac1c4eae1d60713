"""Parallel reads: N table calls into one pyarrow Table, one after another on
one connection against ``fetch_arrow_many`` on a pool.

    python benchmarks/parallel_read.py [--calls 4] [--repeat 5]

The answer server (a process of its own) sends each call's pre-encoded
500,000-row answer, so the figures are the client's: socket reads and the
decoding into Arrow, which releases the GIL.  Prints the median wall time of
each way and their ratio; on a machine with 2 cores the parallel read can use
both.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from typing import Any, List

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bootstrap  # noqa: F401
from server_process import AnswerServer

AUTH = {"user": "bench", "password": "bench"}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=4)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    import pyarrow as pa

    import vantrel
    from vantrel.results import fetch_arrow, fetch_arrow_many

    calls: List[Any] = [("table_500k", (), {})] * args.calls
    with AnswerServer() as server:
        rows = server.info["table_500k"]["packets"]  # warms the server's pages too
        conn = vantrel.connect(server.address, AUTH)
        pool = vantrel.Pool(server.address, AUTH, min_size=args.calls, max_size=args.calls)
        one, many = [], []
        try:
            for _ in range(args.repeat):
                t = time.perf_counter()
                tables = [fetch_arrow(conn, m, *a, **k).read_all() for m, a, k in calls]
                serial = pa.concat_tables(tables)
                one.append(time.perf_counter() - t)
                t = time.perf_counter()
                parallel = fetch_arrow_many(pool, calls).read_all()
                many.append(time.perf_counter() - t)
                assert parallel.num_rows == serial.num_rows
        finally:
            conn.close()
            pool.close()
    rows = serial.num_rows
    a, b = statistics.median(one), statistics.median(many)
    print("%d calls, %d rows in all, %d cores" % (args.calls, rows, os.cpu_count() or 0))
    print("one after another  %8.3f s  (%6.1f ns/row)" % (a, a / rows * 1e9))
    print("fetch_arrow_many   %8.3f s  (%6.1f ns/row)" % (b, b / rows * 1e9))
    print("ratio many/serial  %8.2f" % (b / a))


if __name__ == "__main__":
    main()
