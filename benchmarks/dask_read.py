"""A Dask read: 8 partitions of 250,000 rows from 2 reference servers on a
LocalCluster of 2 worker processes, with a groupby computed on the cluster.

    python benchmarks/dask_read.py [--partitions 8] [--rows 250000]

The servers are ``vantrel serve`` processes on loopback (their ``big_table``
method encodes its rows in Python, so on a 2-core machine they compete with
the workers for the cores: the wall time is the whole system's).  Prints the
wall time of the read and of the groupby, and each worker's peak resident
memory against the size of the frame.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import time
from typing import Dict, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bootstrap


def _serve() -> Tuple[subprocess.Popen, int]:  # type: ignore[type-arg]
    proc = subprocess.Popen([sys.executable, "-m", "vantrel", "serve", "--port", "0"],
                            stdout=subprocess.PIPE, text=True, env=bootstrap.child_env())
    assert proc.stdout is not None
    line = proc.stdout.readline()
    match = re.search(r":(\d+) ", line)
    if match is None:
        proc.kill()
        raise RuntimeError("the server did not start: %r" % line)
    return proc, int(match.group(1))


def _peak_rss_mib() -> float:
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--rows", type=int, default=250_000)
    args = parser.parse_args()

    import distributed

    import vantrel.dask

    servers = [_serve() for _ in range(2)]
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      host="127.0.0.1", dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            ports = [port for _, port in servers]
            call: Tuple[str, Tuple[int], Dict[str, int]] = ("big_table", (args.rows,), {"batch": 10000})
            calls = [call] * args.partitions
            # Each server gets half of the partitions: one frame per server, joined.
            frames = [vantrel.dask.read_calls(("127.0.0.1", ports[i % 2]), calls[i::2])
                      for i in range(2)]
            import dask.dataframe as dd

            frame = dd.concat(frames)
            t = time.perf_counter()
            whole = frame.compute()
            read = time.perf_counter() - t
            t = time.perf_counter()
            sums = frame.groupby("label")["count"].sum().compute()
            grouped = time.perf_counter() - t
            peaks = client.run(_peak_rss_mib)
    finally:
        for proc, _ in servers:
            proc.terminate()
            proc.wait(10)
    size = whole.memory_usage(deep=True).sum() / 2**20
    print("%d partitions x %d rows from 2 servers, 2 worker processes" % (args.partitions, args.rows))
    print("read into one pandas frame  %7.2f s  (%d rows, %.1f MiB in pandas)" % (read, len(whole), size))
    print("groupby on the cluster      %7.2f s  (%d groups)" % (grouped, len(sums)))
    for worker, peak in sorted(peaks.items()):
        print("worker %-24s peak RSS %7.1f MiB" % (worker, peak))


if __name__ == "__main__":
    main()
