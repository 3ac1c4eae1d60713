"""``vantrel call`` on a large answer: wall time, CPU and peak resident memory per output.

Runs the reference server (``vantrel serve --port 0``) in a process of its
own, then ``vantrel call ADDRESS big_table ROWS --kw batch=10000`` once per
output (each ``--format`` to /dev/null, each ``--output`` kind to a
temporary file, ``-`` to /dev/null), each in a fresh process, and prints the
wall time, the CPU time and the peak resident set size of that process
(``wait4``'s ``ru_utime + ru_stime`` and ``ru_maxrss``).  ``script-csv`` and
``script-jsonl`` are what the command is measured against: a script that
reads the same answer with ``fetch_arrow`` and writes it with
``pyarrow.csv.CSVWriter``, or batch by batch with polars' ``write_ndjson``::

    python3 benchmarks/cli_call.py [--rows 1000000] [--outputs json,jsonl,...] [--rounds N] [--json PATH]

With ``--rounds N`` every output runs N times, the outputs taking turns, and
the medians are printed.  An output the command refuses (an older
``vantrel`` without it, or pyarrow missing for .parquet / .arrow) is printed
as "refused" with its message.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Tuple

import bootstrap  # noqa: F401  (the package, installed or from the tree)
from bootstrap import child_env

FORMATS = ["auto", "table", "json", "jsonl", "csv"]
FILES = [".parquet", ".arrow", ".feather", "-", ".csv", ".csv.gz", ".jsonl", ".jsonl.zst", ".json"]
SCRIPTS = ["script-csv", "script-jsonl"]

# fetch_arrow and a writer of pyarrow's (or polars'), as a script would do it
SCRIPT = """
import sys
import pyarrow as pa
import vantrel
from vantrel.results import fetch_arrow

address, rows, out, kind = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
with vantrel.connect(address, timeout=120) as conn:
    reader = pa.RecordBatchReader.from_stream(fetch_arrow(conn, "big_table", rows, batch=10000))
    if kind == "csv":
        import pyarrow.csv
        with pyarrow.csv.CSVWriter(out, reader.schema) as writer:
            for batch in reader:
                writer.write_batch(batch)
    else:
        import polars
        with open(out, "wb") as f:
            for batch in reader:
                polars.from_arrow(batch).write_ndjson(f)
"""


def start_server() -> Tuple[subprocess.Popen[str], str]:
    proc = subprocess.Popen([sys.executable, "-m", "vantrel", "serve", "--port", "0",
                             "--log-level", "warning"],
                            stdout=subprocess.PIPE, text=True, env=child_env())
    assert proc.stdout is not None
    line = proc.stdout.readline()  # "vantrel: serving on HOST:PORT (methods: ...)"
    if "serving on" not in line:
        proc.kill()
        raise SystemExit("the server did not start: %r" % line)
    return proc, line.split("serving on ")[1].split()[0]


def run_once(argv: List[str], stdout: Any, script: bool = False) -> Dict[str, Any]:
    """One ``vantrel`` process (or, with ``script``, one of SCRIPT): its exit
    code, wall time, CPU time, peak RSS and stderr."""
    command = [sys.executable, "-c", SCRIPT] if script else [sys.executable, "-m", "vantrel"]
    with tempfile.TemporaryFile("w+") as err:
        started = time.perf_counter()
        proc = subprocess.Popen([*command, *argv], stdout=stdout,
                                stderr=err, stdin=subprocess.DEVNULL, env=child_env())
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - started
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        message = err.read().strip()
    return {"exit": proc.returncode, "wall_s": round(wall, 2),
            "peak_mb": round(usage.ru_maxrss / 1024.0, 1),  # KiB on Linux
            "cpu_s": round(usage.ru_utime + usage.ru_stime, 2), "stderr": message}


def run_output(output: str, base: List[str], address: str, rows: int, tmp: str) -> Dict[str, Any]:
    """One run of one output: a --format, an --output kind or a script."""
    if output in SCRIPTS:
        path = os.path.join(tmp, "script." + output.split("-")[1])
        fig = run_once([address, str(rows), path, output.split("-")[1]], subprocess.DEVNULL, script=True)
    elif output.startswith(".") or output == "-":
        path = os.devnull if output == "-" else os.path.join(tmp, "answer" + output)
        fig = run_once(base + ["--output", "-" if output == "-" else path], subprocess.DEVNULL)
        if fig["exit"] == 2 and "--quiet" in fig["stderr"]:  # an older command
            fig = run_once(base[:-1] + ["--output", path], subprocess.DEVNULL)
    else:
        with open(os.devnull, "w") as null:
            fig = run_once(base + ["--format", output], null)
            if fig["exit"] == 2 and "--quiet" in fig["stderr"]:
                fig = run_once(base[:-1] + ["--format", output], null)
        path = os.devnull
    size = os.path.getsize(path) / 1e6 if path != os.devnull and os.path.exists(path) else 0.0
    fig["file_mb"] = round(size, 1)
    return fig


def median(values: List[float]) -> float:
    ordered = sorted(values)
    return ordered[len(ordered) // 2]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--outputs", default=",".join(FORMATS + FILES + SCRIPTS),
                        help="formats, --output kinds and scripts, comma-separated")
    parser.add_argument("--rounds", type=int, default=1, help="runs of each output, taking turns")
    parser.add_argument("--json", metavar="PATH", help="also write the figures here")
    args = parser.parse_args()
    server, address = start_server()
    figures: Dict[str, Dict[str, Any]] = {}
    base = ["call", address, "big_table", str(args.rows), "--kw", "batch=10000",
            "--timeout", "120", "--quiet"]
    outputs = args.outputs.split(",")
    runs: Dict[str, List[Dict[str, Any]]] = {output: [] for output in outputs}
    try:
        baseline = run_once(["call", address, "add", "1", "2"], subprocess.DEVNULL)
        print("vantrel call, %s rows x 8 columns (big_table, 10,000 rows a packet); "
              "a small call: %.2f s, %.1f MB" % (format(args.rows, ","), baseline["wall_s"],
                                                 baseline["peak_mb"]))
        with tempfile.TemporaryDirectory() as tmp:
            for _ in range(args.rounds):
                for output in outputs:
                    runs[output].append(run_output(output, base, address, args.rows, tmp))
        print("%-20s %8s %9s %8s  %s" % ("output", "wall s", "peak MB", "cpu s", "file MB"))
        for output in outputs:
            label = output if output in SCRIPTS else \
                ("--output " if output.startswith(".") or output == "-" else "--format ") + output
            failed = [f for f in runs[output] if f["exit"] != 0]
            if failed:
                print("%-20s refused (exit %d): %s" % (label, failed[0]["exit"],
                                                       failed[0]["stderr"].splitlines()[-1:]))
                figures[label] = failed[0]
                continue
            fig = {key: median([f[key] for f in runs[output]])
                   for key in ("wall_s", "peak_mb", "cpu_s", "file_mb")}
            fig["exit"] = 0
            figures[label] = fig
            print("%-20s %8.2f %9.1f %8.2f  %s" % (label, fig["wall_s"], fig["peak_mb"], fig["cpu_s"],
                                                   fig["file_mb"] or ""))
    finally:
        server.terminate()
        server.wait(30)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": args.rows, "rounds": args.rounds, "figures": figures}, f, indent=1)


if __name__ == "__main__":
    main()
