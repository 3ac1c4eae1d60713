#!/usr/bin/env python3
"""What the connection of ``vantrel.connect`` costs over the bare compiled one.

    python3 benchmarks/client_cost.py [--repeats N]

Runs small_call and table_200k against the answer server on four connections,
interleaved: ``bare`` (``vantrel.connection.Connection`` on a plain socket),
``bare+timeout`` (the same with a socket time-out of 60 s),
``client`` (``vantrel.connect`` without a call time-out) and ``client+timeout``
(``vantrel.connect(..., timeout=60)``: a deadline on every call).  Prints the
median client CPU time of each and its ratio to ``bare`` (and of
``client+timeout`` to ``bare+timeout``).
"""

from __future__ import annotations

import argparse
import socket
import statistics
from typing import Any, Callable, Dict, List

import bootstrap  # noqa: F401
import vantrel
from impls import AUTH
from measure import timed
from payloads import SMALL_REQUEST
from server_process import AnswerServer
from vantrel._impls import connection_module

SMALL_CALLS = 20_000


def runner(conn: Any, scenario: str) -> Callable[[], Any]:
    if scenario != "small_call":
        return lambda: conn.execute(scenario)
    return small_calls(conn)


def small_calls(conn: Any) -> Callable[[], Any]:
    method, (a, b), kwargs = SMALL_REQUEST
    flag = kwargs["flag"]

    def run() -> Any:
        execute = conn.execute
        result = None
        for _ in range(SMALL_CALLS):
            result = execute(method, a, b, flag=flag)
        return result
    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    with AnswerServer() as server:
        address = server.address
        bare_timed = connection_module("ext").Connection(socket.create_connection(address), AUTH)
        bare_timed.set_timeout(60.0)
        conns = {
            "bare": connection_module("ext").Connection(socket.create_connection(address), AUTH),
            "bare+timeout": bare_timed,
            "client": vantrel.connect(address, AUTH, impl="ext"),
            "client+timeout": vantrel.connect(address, AUTH, timeout=60.0, impl="ext"),
        }
        for scenario in ("small_call", "table_200k"):
            runs: Dict[str, List[float]] = {name: [] for name in conns}
            for conn in conns.values():  # warm-up
                runner(conn, scenario)()
            for _ in range(args.repeats):
                for name, conn in conns.items():
                    runs[name].append(timed(runner(conn, scenario))[0])
            for name, values in runs.items():
                base = statistics.median(runs["bare+timeout" if name == "client+timeout" else "bare"])
                median = statistics.median(values)
                print("%-11s %-15s cpu %.4f s  x%.3f" % (scenario, name, median, median / base))
        for conn in conns.values():
            conn.close()


if __name__ == "__main__":
    main()
