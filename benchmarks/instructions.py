"""User-space instructions per call, counted by callgrind.

Each implementation runs in a child interpreter under ``valgrind
--tool=callgrind``, twice: once with a short and once with a longer run of the
same operation.  The difference of the two totals divided by the difference
of the counts is what one more call costs, with interpreter start-up, imports
and the connection's opening cancelled out.  The answer server runs outside
valgrind, so only the client is counted.  Unlike CPU times, these figures do
not move with the machine's load.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from typing import Any, Dict, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))

#: Scenarios measured, and the (short, long) counts of calls or connections.
COUNTS: Dict[str, Tuple[int, int]] = {"small_call": (200, 1200), "connect": (20, 120),
                                      "table_200k": (1, 3), "table2_200k": (1, 3), "feed_1m": (1, 3),
                                      "arrow_200k": (1, 3), "arrow_10k": (4, 20),
                                      "arrow_int_200k": (1, 3), "arrow_ts_200k": (1, 3),
                                      "arrow_str_200k": (1, 3), "arrow_iso_200k": (1, 3)}
#: Rows (or feed items) of one answer, for the scenarios that report
#: instructions per row.
ROWS: Dict[str, int] = {"table_200k": 200_000, "table2_200k": 200_000, "feed_1m": 1_000_000,
                        "arrow_200k": 200_000, "arrow_10k": 10_000, "arrow_int_200k": 200_000,
                        "arrow_ts_200k": 200_000, "arrow_str_200k": 200_000, "arrow_iso_200k": 200_000}
#: The streamed scenarios: one answer per call, on one connection.
STREAMS = ("table_200k", "table2_200k", "feed_1m")
#: The answer (a scenario of payloads.py) that each Arrow scenario reads:
#: the 8-column table, or one column of ints, of MessagePack timestamps
#: (timestamp[ns, tz=UTC] inferred: at most the ints' cost + 10%), of ISO
#: texts as strings, and of the same texts as timestamp[us] asked for (at
#: most twice the strings' cost).
ARROW_ANSWERS = {"arrow_200k": "table_200k", "arrow_10k": "table_10k", "arrow_int_200k": "ints_200k",
                 "arrow_ts_200k": "timestamps_200k", "arrow_str_200k": "texts_200k",
                 "arrow_iso_200k": "texts_200k"}
#: The ways an Arrow scenario is read: types inferred, or given.
ARROW_WAYS = ("fetch_arrow", "fetch_arrow_schema")
#: The ways of the scenarios read one way only.
ONE_WAY = {"arrow_int_200k": "fetch_arrow", "arrow_ts_200k": "fetch_arrow", "arrow_str_200k": "fetch_arrow",
           "arrow_iso_200k": "fetch_arrow_schema"}

_TOTAL = re.compile(r"Collected\s*:\s*(\d+)")


def _total(impl: str, scenario: str, count: int, address: Tuple[str, int]) -> int:
    # pyarrow's numpy starts OpenBLAS threads that spin for a varying while:
    # one thread keeps them from adding tens of millions of instructions at
    # random to a run.
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
           sys.executable, os.path.abspath(__file__), "--child", impl, scenario,
           str(count), address[0], str(address[1])]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    match = _TOTAL.search(proc.stderr)
    if proc.returncode != 0 or match is None:
        raise RuntimeError("callgrind run of %s/%s failed:\n%s" % (impl, scenario, proc.stderr[-2000:]))
    return int(match.group(1))


def measure(names: List[str], scenarios: List[str],
            address: Tuple[str, int]) -> Dict[str, Dict[str, Dict[str, Any]]]:
    """``{scenario: {impl: {"instr_per_call": N}}}`` for the scenarios of COUNTS,
    with ``instr_per_row`` too for the table scenarios.  The Arrow scenarios
    run on the compiled connection, once per way of ARROW_WAYS (their "impl")."""
    out: Dict[str, Dict[str, Dict[str, Any]]] = {}
    for scenario in scenarios:
        short, long = COUNTS[scenario]
        out[scenario] = {}
        ways = ARROW_WAYS if scenario in ARROW_ANSWERS else names
        if scenario in ONE_WAY:
            ways = [ONE_WAY[scenario]]
        if scenario in STREAMS:
            ways = [n for n in names if n != "floor"]
        for name in ways:
            diff = _total(name, scenario, long, address) - _total(name, scenario, short, address)
            figures: Dict[str, Any] = {"instr_per_call": round(diff / (long - short))}
            if scenario in ROWS:
                figures["instr_per_row"] = round(diff / (long - short) / ROWS[scenario], 1)
            out[scenario][name] = figures
            print("  %s %s: %s" % (scenario, name, figures), file=sys.stderr, flush=True)
    return out


def _child(impl: str, scenario: str, count: int, host: str, port: int) -> None:
    sys.path.insert(0, HERE)
    try:
        import vantrel  # noqa: F401
    except ImportError:
        sys.path.insert(1, os.path.join(os.path.dirname(HERE), "src"))
    import impls

    if scenario in ARROW_ANSWERS:
        _arrow_child(impl, scenario, count, (host, port))
        return
    chosen = impls.make(impl, (host, port))
    if scenario in STREAMS:
        conn = chosen.open()
        for _ in range(count):
            chosen.stream(conn, scenario)
        chosen.close(conn)
        return
    if scenario == "connect":
        chosen.connect(3)
        chosen.connect(count)
        return
    conn = chosen.open()
    chosen.calls(conn, 20)
    chosen.calls(conn, count)
    chosen.close(conn)


def _arrow_child(way: str, scenario: str, count: int, address: Tuple[str, int]) -> None:
    import pyarrow as pa

    import impls
    from payloads import COLUMNS
    from vantrel.results import fetch_arrow

    answer = ARROW_ANSWERS[scenario]
    types = [pa.int64()] * 3 + [pa.float64()] * 2 + [pa.string()] * 2 + [pa.bool_()]
    schema = pa.schema(list(zip(COLUMNS, types))) if way == "fetch_arrow_schema" else None
    if scenario == "arrow_iso_200k":
        schema = pa.schema([("ts", pa.timestamp("us"))])
    chosen = impls.make("ext", address)
    conn = chosen.open()
    fetch_arrow(conn, answer, arrow_schema=schema).read_all()
    for _ in range(count):
        fetch_arrow(conn, answer, arrow_schema=schema).read_all()
    chosen.close(conn)


if __name__ == "__main__":
    if len(sys.argv) == 7 and sys.argv[1] == "--child":
        _child(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5], int(sys.argv[6]))
    else:
        raise SystemExit("run through run.py --instructions")
