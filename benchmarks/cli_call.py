"""``vantrel call`` on a large answer: wall time and peak resident memory per output.

Runs the reference server (``vantrel serve --port 0``) in a process of its
own, then ``vantrel call ADDRESS big_table ROWS --kw batch=10000`` once per
output (each ``--format`` to /dev/null, each ``--output`` extension to a
temporary file), each in a fresh process, and prints the wall time and the
peak resident set size of that process (``wait4``'s ``ru_maxrss``)::

    python3 benchmarks/cli_call.py [--rows 1000000] [--outputs json,jsonl,...] [--json PATH]

An output the command refuses (an older ``vantrel`` without it, or pyarrow
missing for .parquet / .arrow) is printed as "refused" with its message.
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
FILES = [".parquet", ".arrow", ".csv", ".jsonl"]


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


def run_once(argv: List[str], stdout: Any) -> Dict[str, Any]:
    """One ``vantrel`` process: its exit code, wall time, peak RSS and stderr."""
    with tempfile.TemporaryFile("w+") as err:
        started = time.perf_counter()
        proc = subprocess.Popen([sys.executable, "-m", "vantrel", *argv], stdout=stdout,
                                stderr=err, stdin=subprocess.DEVNULL, env=child_env())
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - started
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        message = err.read().strip()
    return {"exit": proc.returncode, "wall_s": round(wall, 2),
            "peak_mb": round(usage.ru_maxrss / 1024.0, 1),  # KiB on Linux
            "cpu_s": round(usage.ru_utime + usage.ru_stime, 2), "stderr": message}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--outputs", default=",".join(FORMATS + FILES),
                        help="formats and file extensions, comma-separated")
    parser.add_argument("--json", metavar="PATH", help="also write the figures here")
    args = parser.parse_args()
    server, address = start_server()
    figures: Dict[str, Dict[str, Any]] = {}
    base = ["call", address, "big_table", str(args.rows), "--kw", "batch=10000",
            "--timeout", "120", "--quiet"]
    try:
        baseline = run_once(["call", address, "add", "1", "2"], subprocess.DEVNULL)
        print("vantrel call, %s rows x 8 columns (big_table, 10,000 rows a packet); "
              "a small call: %.2f s, %.1f MB" % (format(args.rows, ","), baseline["wall_s"],
                                                 baseline["peak_mb"]))
        print("%-16s %8s %9s %8s  %s" % ("output", "wall s", "peak MB", "cpu s", "file MB"))
        with tempfile.TemporaryDirectory() as tmp:
            for output in args.outputs.split(","):
                if output.startswith("."):
                    path = os.path.join(tmp, "answer" + output)
                    fig = run_once(base + ["--output", path], subprocess.DEVNULL)
                    if fig["exit"] == 2 and "--quiet" in fig["stderr"]:  # an older command
                        fig = run_once(base[:-1] + ["--output", path], subprocess.DEVNULL)
                    size = os.path.getsize(path) / 1e6 if os.path.exists(path) else 0.0
                    fig["file_mb"] = round(size, 1)
                    label = "--output " + output
                else:
                    with open(os.devnull, "w") as null:
                        fig = run_once(base + ["--format", output], null)
                        if fig["exit"] == 2 and "--quiet" in fig["stderr"]:
                            fig = run_once(base[:-1] + ["--format", output], null)
                    label = "--format " + output
                figures[label] = fig
                if fig["exit"] != 0:
                    print("%-16s refused (exit %d): %s" % (label, fig["exit"],
                                                           fig["stderr"].splitlines()[-1:]))
                    continue
                print("%-16s %8.2f %9.1f %8.2f  %s" % (label, fig["wall_s"], fig["peak_mb"],
                                                       fig["cpu_s"], fig.get("file_mb", "")))
    finally:
        server.terminate()
        server.wait(30)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": args.rows, "figures": figures}, f, indent=1)


if __name__ == "__main__":
    main()
