#!/usr/bin/env python3
"""Client-side benchmark of vantrel's connection: pure, ext, twin and floor.

    python3 benchmarks/run.py [--quick] [--impl pure,ext,twin,floor]
                              [--scenario NAME,...] [--json PATH]
    python3 benchmarks/run.py --instructions [--scenario NAME] [--json PATH]

The answer server runs in a process of its own and answers from pre-encoded
packets.  The implementations run interleaved (pure, ext, twin, floor, pure,
...) in this one process; each figure is the median of the repeated runs, and
every ratio is taken against ``pure``.  Peak memory is measured in a separate,
untimed pass under tracemalloc.  ``--instructions`` counts user-space
instructions per call under callgrind instead (small_call, connect, and per
row for table_200k, table2_200k, feed_1m, arrow_200k and arrow_10k).  See
README.md beside this file.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from typing import Any, Callable, Dict, List

import bootstrap  # noqa: F401
import impls
import instructions
import results_scenarios
import targets
from measure import timed, traced
from payloads import LARGE
from server_process import AnswerServer

SMALL_CALLS = 20_000
CONNECTIONS = 1_000
SCENARIOS = ("small_call", "table_200k", "table_200k_zstd", "table2_200k", "feed_1m", "connect",
             *results_scenarios.SCENARIOS)

#: Timed runs per implementation: (full, --quick).
REPEATS = {"small_call": (7, 3), "connect": (5, 3)}
STREAM_REPEATS = (9, 5)


def machine() -> Dict[str, Any]:
    model = platform.processor() or platform.machine()
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return {"cpu": model, "cores": os.cpu_count(), "python": platform.python_version(),
            "implementation": platform.python_implementation(), "system": platform.platform()}


def runner(impl: Any, conn: Any, scenario: str, scale: int = 1) -> Callable[[], Any]:
    if scenario == "small_call":
        count = SMALL_CALLS // scale
        return lambda: impl.calls(conn, count)
    if scenario == "connect":
        count = CONNECTIONS // scale
        return lambda: impl.connect(count)
    return lambda: impl.stream(conn, scenario)


def memory_pass(names: List[str], chosen: Dict[str, Any], conns: Dict[str, Any],
                scenario: str) -> Dict[str, Dict[str, float]]:
    """Peak and result size of one traced run each; ext's result must equal twin's."""
    figures: Dict[str, Dict[str, float]] = {}
    kept: Dict[str, Any] = {}
    for name in names:
        peak, size, result = traced(runner(chosen[name], conns[name], scenario))
        figures[name] = {"peak_mb": peak, "result_mb": size}
        if name in ("pure", "ext", "twin"):
            kept[name] = result
        del result
    for name, result in kept.items():
        if result != next(iter(kept.values())):
            raise SystemExit("%s: %s returned a different result" % (scenario, name))
    return figures


def run_scenario(scenario: str, names: List[str], chosen: Dict[str, Any],
                 conns: Dict[str, Any], quick: bool) -> Dict[str, Dict[str, Any]]:
    large = scenario in LARGE
    if large:
        mem = memory_pass(names, chosen, conns, scenario)  # also warms up
    else:
        mem = {}
        for name in names:
            runner(chosen[name], conns[name], scenario, scale=10)()
    repeats = (REPEATS.get(scenario, STREAM_REPEATS))[1 if quick else 0]
    cpu: Dict[str, List[float]] = {n: [] for n in names}
    wall: Dict[str, List[float]] = {n: [] for n in names}
    system: Dict[str, List[float]] = {n: [] for n in names}
    for _ in range(repeats):
        for name in names:
            c, w, s = timed(runner(chosen[name], conns[name], scenario))
            cpu[name].append(c)
            wall[name].append(w)
            system[name].append(s)
    out: Dict[str, Dict[str, Any]] = {}
    for name in names:
        out[name] = {
            "cpu_s": round(statistics.median(cpu[name]), 4),
            "wall_s": round(statistics.median(wall[name]), 4),
            "sys_s": round(statistics.median(system[name]), 4),
            "peak_mb": round(mem[name]["peak_mb"], 2) if large else None,
            "result_mb": round(mem[name]["result_mb"], 2) if large else None,
            "cpu_runs": [round(c, 4) for c in cpu[name]],
        }
    return out


def print_table(results: Dict[str, Dict[str, Dict[str, Any]]], checks: List[Dict[str, Any]]) -> None:
    def fmt(v: Any, spec: str) -> str:
        return "-" if v is None else format(v, spec)

    print("%-16s %-6s %8s %8s %8s %9s %10s" % ("scenario", "impl", "cpu_s", "sys_s", "wall_s",
                                                "peak_mb", "result_mb"))
    for scenario, figures in results.items():
        for name, f in figures.items():
            print("%-16s %-6s %8s %8s %8s %9s %10s" % (
                scenario, name, fmt(f["cpu_s"], ".4f"), fmt(f["sys_s"], ".4f"),
                fmt(f["wall_s"], ".4f"), fmt(f["peak_mb"], ".2f"), fmt(f["result_mb"], ".2f")))
        ratios = []
        for name in ("ext", "twin", "floor"):
            if name in figures and "pure" in figures:
                ratios.append("%s/pure %.3f" % (name, figures[name]["cpu_s"]
                                                / figures["pure"]["cpu_s"]))
        if ratios:
            print("%-16s cpu ratios: %s" % ("", ", ".join(ratios)))
    if checks:
        print()
        print("targets:")
        for c in checks:
            print("  %-4s %-16s %-44s %7.4f <= %.3f" % (
                "ok" if c["ok"] else "MISS", c["scenario"], c["what"], c["value"], c["limit"]))


def count_instructions(names: List[str], scenarios: List[str], path: Any) -> int:
    with AnswerServer() as server:
        results = instructions.measure(names, scenarios, server.address)
    checks = targets.check_instructions(results)
    print("%-12s %-20s %14s %10s %8s" % ("scenario", "impl", "instr/call", "instr/row", "x pure"))
    for scenario, figures in results.items():
        for name, f in figures.items():
            base = figures.get("pure", {}).get("instr_per_call")
            print("%-12s %-20s %14d %10s %8s" % (
                scenario, name, f["instr_per_call"], f.get("instr_per_row", "-"),
                "%.3f" % (f["instr_per_call"] / base) if base else "-"))
    for c in checks:
        print("%-4s %-16s %-30s %7.4f <= %.3f" % ("ok" if c["ok"] else "MISS", c["scenario"], c["what"],
                                                  c["value"], c["limit"]))
    if path:
        with open(path, "w") as out:
            json.dump({"scenarios": results, "targets": checks, "machine": machine()}, out, indent=2)
            out.write("\n")
    return 0


def main(argv: Any = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions (within 60 s)")
    parser.add_argument("--impl", default=",".join(impls.ALL),
                        help="comma-separated implementations (default: pure,ext,twin,floor)")
    parser.add_argument("--scenario", default="",
                        help="comma-separated scenarios (default: all)")
    parser.add_argument("--instructions", action="store_true",
                        help="instructions per call (and per row) under callgrind: small_call, "
                             "connect, table_200k, table2_200k, feed_1m, arrow_200k, arrow_10k")
    parser.add_argument("--json", metavar="PATH", help="also write the figures to PATH")
    args = parser.parse_args(argv)
    names = [n for n in args.impl.split(",") if n]
    known = tuple(instructions.COUNTS) if args.instructions else SCENARIOS
    scenarios = [s for s in args.scenario.split(",") if s] or list(known)
    for n in names:
        if n not in impls.ALL + impls.EXTRA:
            parser.error("unknown implementation %r" % n)
    for s in scenarios:
        if s not in known:
            parser.error("unknown scenario %r" % s)
    if args.instructions:
        return count_instructions(names, scenarios, args.json)

    started = time.perf_counter()
    results: Dict[str, Dict[str, Dict[str, Any]]] = {}
    with AnswerServer() as server:
        chosen = {n: impls.make(n, server.address) for n in names}
        conns = {n: chosen[n].open() for n in names}
        try:
            for scenario in scenarios:
                if scenario in results_scenarios.SCENARIOS:
                    results[scenario] = results_scenarios.run(scenario, server.address, args.quick)
                else:
                    results[scenario] = run_scenario(scenario, names, chosen, conns, args.quick)
                print("  %s done (%.1f s)" % (scenario, time.perf_counter() - started),
                      file=sys.stderr, flush=True)
        finally:
            for n in names:
                chosen[n].close(conns[n])
        info = server.info
    checks = targets.check(results, info) + results_scenarios.check(results, info)
    print_table(results, checks)
    print("\n%s, %s cores, %s %s; %.1f s" % (
        machine()["cpu"], os.cpu_count(), platform.python_implementation(),
        platform.python_version(), time.perf_counter() - started))
    if args.json:
        doc = {"scenarios": results, "targets": checks, "packets": info, "machine": machine(),
               "quick": args.quick}
        with open(args.json, "w") as f:
            json.dump(doc, f, indent=2)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
