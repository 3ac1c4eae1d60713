#!/usr/bin/env python3
"""Scenarios of vantrel.results: ``arrow_200k`` and ``iter_1m``.

    python3 benchmarks/results_scenarios.py [--quick] [--json PATH]

(also run by ``run.py --scenario arrow_200k,iter_1m``).  Both use the compiled
connection against the pre-encoded answer server:

- ``arrow_200k``: the 200,000-row x 8-column table (the answer of
  ``table_200k``) into a ``pyarrow.Table``, by ``fetch_arrow(...).read_all()``
  and by ``pyarrow.Table.from_pylist(conn.execute(...))``.  CPU is the median
  of the runs.  Arrow buffers are not allocated through Python's allocator, so
  tracemalloc does not see them: peak memory is the growth of the peak
  resident size (``VmHWM``) of a fresh child process that makes the one
  call, over its resident size just before.  ``result_mb`` is the table's
  ``nbytes``.  The same child times its one call (``cpu_cold_s``, the median
  of three fresh processes): the first call pays for what a process sets up
  once.
- ``iter_1m``: ``iter_rows`` over a 1,000,000-row x 8-column table (100 TABLE
  packets), counting the rows; peak traced memory (tracemalloc), as for the
  other scenarios.
"""

from __future__ import annotations

import argparse
import json
import os
import socket
import statistics
import subprocess
import sys
import time
from typing import Any, Callable, Dict, List, Tuple

from bootstrap import child_env
from impls import AUTH
from measure import MB, timed, traced
from targets import target

SCENARIOS = ("arrow_200k", "iter_1m")
#: The answer-server method that answers each scenario.
ANSWER = {"arrow_200k": "table_200k", "iter_1m": "table_1m"}
REPEATS = {"arrow_200k": (9, 5), "iter_1m": (3, 2)}


# -- the answers (built by the answer server through payloads.BUILDERS) ----------------


def build_table_1m() -> List[bytes]:
    """The ``table_200k`` table five times over: 1,000,000 rows in 100 packets.

    The encoded packets of ``table_200k`` are reused (its first packet once
    more without the header row for the later rounds), so the answer costs
    little to build.
    """
    from payloads import COLUMNS, MSGPACK, NONE, TABLE_PACKETS, TABLE_ROWS, _table, table_row
    from vantrel.share.codec import pack_one
    from vantrel.share.protocol import MSG_TYPE

    packets = _table(MSG_TYPE.TABLE, NONE, COLUMNS)
    start, first, rest, end = packets[0], packets[1], packets[2:-1], packets[-1]
    per_packet = TABLE_ROWS // TABLE_PACKETS
    first_again = pack_one([table_row(i) for i in range(per_packet)], MSG_TYPE.TABLE, MSGPACK, NONE)
    return [start, first] + rest + ([first_again] + rest) * 4 + [end]


def build_table_500k() -> List[bytes]:
    """500,000 rows in 50 packets, from the packets of ``table_200k`` as above."""
    from payloads import COLUMNS, MSGPACK, NONE, TABLE_PACKETS, TABLE_ROWS, _table, table_row
    from vantrel.share.codec import pack_one
    from vantrel.share.protocol import MSG_TYPE

    packets = _table(MSG_TYPE.TABLE, NONE, COLUMNS)
    start, first, rest, end = packets[0], packets[1], packets[2:-1], packets[-1]
    per_packet = TABLE_ROWS // TABLE_PACKETS
    first_again = pack_one([table_row(i) for i in range(per_packet)], MSG_TYPE.TABLE, MSGPACK, NONE)
    return [start, first] + rest + [first_again] + rest + [first_again] + rest[:9] + [end]


# -- the runs ------------------------------------------------------------------------


def _connect(address: Tuple[str, int]) -> Any:
    from vantrel.connection import Connection
    return Connection(socket.create_connection(address), AUTH)


def _fetch_arrow(conn: Any) -> Any:
    from vantrel.results import fetch_arrow
    return fetch_arrow(conn, ANSWER["arrow_200k"]).read_all()


def _execute_from_pylist(conn: Any) -> Any:
    import pyarrow as pa
    return pa.Table.from_pylist(conn.execute(ANSWER["arrow_200k"]))


def _iter_rows(conn: Any) -> int:
    from vantrel.results import iter_rows
    n = 0
    for _ in iter_rows(conn, ANSWER["iter_1m"]):
        n += 1
    return n


RUNS: Dict[str, Dict[str, Callable[[Any], Any]]] = {
    "arrow_200k": {"fetch_arrow": _fetch_arrow, "execute+from_pylist": _execute_from_pylist},
    "iter_1m": {"iter_rows": _iter_rows},
}


def _status_kb(field: str) -> int:
    # VmRSS: resident now; VmHWM: the peak since the process image was
    # loaded (unlike ru_maxrss, which keeps the parent's peak across exec).
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s in /proc/self/status" % field)


def child(mode: str, port: int) -> None:
    """One call in a fresh process; prints its peak resident growth."""
    import pyarrow  # noqa: F401  (its libraries are loaded before the measured span)

    import vantrel.results  # noqa: F401

    scenario = next(s for s, runs in RUNS.items() if mode in runs)
    conn = _connect(("127.0.0.1", port))
    before = _status_kb("VmRSS")
    cpu = time.process_time()
    result = RUNS[scenario][mode](conn)
    cpu = time.process_time() - cpu
    peak = _status_kb("VmHWM")
    size = getattr(result, "nbytes", 0)
    print(json.dumps({"peak_mb": max(peak - before, 0) * 1024 / MB, "result_mb": size / MB,
                      "cpu_cold_s": cpu}))


def _child_figures(mode: str, address: Tuple[str, int]) -> Dict[str, float]:
    # pyarrow loads numpy, whose OpenBLAS threads spin for a while after they
    # start: up to 10 ms of CPU in the first call's span that is no work of
    # the call's.  One thread starts none.
    env = dict(child_env(), OPENBLAS_NUM_THREADS="1")
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", mode, str(address[1])],
                         check=True, capture_output=True, text=True, env=env).stdout
    return json.loads(out)  # type: ignore[no-any-return]


def run(scenario: str, address: Tuple[str, int], quick: bool) -> Dict[str, Dict[str, Any]]:
    """The figures of one scenario, in run.py's form: {mode: {cpu_s, ..., peak_mb, result_mb}}."""
    conn = _connect(address)
    try:
        modes = RUNS[scenario]
        for fn in modes.values():  # warm-up
            fn(conn)
        cpu: Dict[str, List[float]] = {m: [] for m in modes}
        wall: Dict[str, List[float]] = {m: [] for m in modes}
        system: Dict[str, List[float]] = {m: [] for m in modes}
        for _ in range(REPEATS[scenario][1 if quick else 0]):
            for mode, fn in modes.items():
                c, w, s = timed(lambda fn=fn: fn(conn))  # type: ignore[misc]
                cpu[mode].append(c)
                wall[mode].append(w)
                system[mode].append(s)
        out: Dict[str, Dict[str, Any]] = {}
        for mode, fn in modes.items():
            if scenario == "arrow_200k":
                # the first call of a fresh process: the median of three
                cold = [_child_figures(mode, address) for _ in range(1 if quick else 3)]
                mem = dict(cold[0], cpu_cold_s=statistics.median(c["cpu_cold_s"] for c in cold))
            else:
                peak, size, _ = traced(lambda fn=fn: fn(conn))  # type: ignore[misc]
                mem = {"peak_mb": peak, "result_mb": size}
            out[mode] = {
                "cpu_s": round(statistics.median(cpu[mode]), 4),
                "wall_s": round(statistics.median(wall[mode]), 4),
                "sys_s": round(statistics.median(system[mode]), 4),
                "peak_mb": round(mem["peak_mb"], 2),
                "result_mb": round(mem["result_mb"], 2),
                "cpu_runs": [round(c, 4) for c in cpu[mode]],
            }
            if "cpu_cold_s" in mem:
                out[mode]["cpu_cold_s"] = round(mem["cpu_cold_s"], 4)
        return out
    finally:
        conn.close()


def check(results: Dict[str, Dict[str, Dict[str, Any]]],
          info: Dict[str, Dict[str, Any]]) -> List[Dict[str, Any]]:
    """The targets of these scenarios, in the form of targets.check."""
    out: List[Dict[str, Any]] = []

    def add(scenario: str, what: str, value: float, limit: float) -> None:
        out.append(target(scenario, what, value, limit))

    arrow = results.get("arrow_200k")
    if arrow:
        add("arrow_200k", "cpu fetch_arrow / (execute+from_pylist)",
            arrow["fetch_arrow"]["cpu_s"] / arrow["execute+from_pylist"]["cpu_s"], 0.05)
        add("arrow_200k", "cpu in a fresh process fetch_arrow / (execute+from_pylist)",
            arrow["fetch_arrow"]["cpu_cold_s"] / arrow["execute+from_pylist"]["cpu_cold_s"], 0.04)
        packet_mb = info.get(ANSWER["arrow_200k"], {}).get("largest_packet", 0) / MB
        add("arrow_200k", "peak_mb / (table + one packet)",
            arrow["fetch_arrow"]["peak_mb"] / (arrow["fetch_arrow"]["result_mb"] + packet_mb), 1.5)
    rows = results.get("iter_1m")
    if rows:
        add("iter_1m", "peak_mb of iter_rows (MB)", rows["iter_rows"]["peak_mb"], 40.0)
    return out


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--scenario", default=",".join(SCENARIOS))
    parser.add_argument("--json", metavar="PATH")
    parser.add_argument("--child", nargs=2, metavar=("MODE", "PORT"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child(args.child[0], int(args.child[1]))
        return 0
    from server_process import AnswerServer

    results: Dict[str, Dict[str, Dict[str, Any]]] = {}
    with AnswerServer() as server:
        for scenario in args.scenario.split(","):
            results[scenario] = run(scenario, server.address, args.quick)
        info = server.info
    checks = check(results, info)
    for scenario, figures in results.items():
        for mode, f in figures.items():
            cold = "  cold cpu_s %.4f" % f["cpu_cold_s"] if "cpu_cold_s" in f else ""
            print("%-11s %-20s cpu_s %.4f  sys_s %.4f  peak_mb %8.2f  result_mb %7.2f%s"
                  % (scenario, mode, f["cpu_s"], f["sys_s"], f["peak_mb"], f["result_mb"], cold))
    for c in checks:
        print("  %-4s %-11s %-42s %8.4f <= %.3f" % ("ok" if c["ok"] else "MISS", c["scenario"], c["what"],
                                                 c["value"], c["limit"]))
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"scenarios": results, "targets": checks}, out, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
