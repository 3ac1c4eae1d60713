#!/usr/bin/env python3
"""Where the client's time goes in one stream answer (default: table_200k).

    python3 benchmarks/profile_table.py [--scenario NAME] [--repeat N] [--cprofile]

Splits the cost of the twin's call into its parts, each measured alone on the
same packets and reported as the median client CPU time of ``--repeat`` runs:

  socket     send the request, read every header and body, decode nothing
             (back to back: the system time of a whole call is higher, since
             there the reads wait on the sender between decodes)
  decode     ``unpack_one`` on the bodies read above (held in a list)
  collect    the twin's collector (rows to dictionaries) on decoded bodies
  twin, floor, ext   the whole call, for comparison

``decode`` and ``collect`` are also shown with the garbage collector paused,
which tells how much of them is the collector's pass over new containers.
With ``--cprofile`` the twin's whole call is also profiled function by function.
"""

from __future__ import annotations

import argparse
import cProfile
import functools
import gc
import pstats
import statistics
import sys
import time
from typing import Any, Callable, List, Tuple

import bootstrap  # noqa: F401
import impls
from measure import system_time
from server_process import AnswerServer
from vantrel import _pyconnection
from vantrel._impls import connection_module
from vantrel.share.codec import pack_one, unpack_header, unpack_one
from vantrel.share.protocol import HEADER_LENGTH, MSG_TYPE

COLLECTORS = {
    int(MSG_TYPE.TABLE): "table_unpack",
    int(MSG_TYPE.TABLE2): "table2_unpack",
    int(MSG_TYPE.FEED): "feed_unpack",
}


def cpu_median(run: Callable[[], Any], repeat: int, gc_paused: bool = False) -> Tuple[float, float]:
    """Median client CPU time of ``repeat`` runs, and the median of its system part."""
    times, system = [], []
    for _ in range(repeat):
        gc.collect()
        if gc_paused:
            gc.disable()
        try:
            s0 = system_time()
            t0 = time.process_time()
            result = run()
            t1 = time.process_time()
            s1 = system_time()
        finally:
            gc.enable()
        del result
        times.append(t1 - t0)
        system.append(s1 - s0)
    return statistics.median(times), statistics.median(system)


def read_raw(conn: Any, method: str) -> List[Tuple[int, int, int, bytes]]:
    """Send the request and return the raw packets of the answer, undecoded."""
    read = conn.reader.read
    conn.sock.sendall(pack_one((method, (), {}), MSG_TYPE.REQUEST,
                               conn.serializer, conn.compression))
    packets = []
    while True:
        mt, st, cm, n = unpack_header(read(HEADER_LENGTH))
        packets.append((mt, st, cm, read(n) if n > 0 else b""))
        if mt == MSG_TYPE.STREAM_END:
            return packets


class _Replay:
    """Feeds decoded packets to the twin's collectors, as its reader would."""

    def __init__(self, decoded: List[Tuple[int, Any]]) -> None:
        self._packets = iter(decoded)

    def _read_one_packet(self) -> Tuple[int, Any]:
        return next(self._packets)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scenario", default="table_200k")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--cprofile", action="store_true")
    args = parser.parse_args()
    name, repeat = args.scenario, args.repeat

    with AnswerServer() as server:
        names = ["twin", "floor"]
        try:
            connection_module("ext")
            names.insert(0, "ext")
        except ImportError:
            pass
        chosen = {n: impls.make(n, server.address) for n in names}
        conns = {n: chosen[n].open() for n in names}
        raw_conn = chosen["floor"].open()
        try:
            # Whole calls first, while the heap holds nothing of this run.
            parts = []
            for n in names:
                impl, conn = chosen[n], conns[n]
                parts.append((n + " (whole call)",
                              cpu_median(functools.partial(impl.stream, conn, name), repeat)))
            packets = read_raw(raw_conn, name)
            data = [p for p in packets if p[0] not in (MSG_TYPE.STREAM_START, MSG_TYPE.STREAM_END)]
            collector = getattr(_pyconnection.Connection, COLLECTORS[data[0][0]])

            def decode() -> Any:
                return [unpack_one(body, st, cm) for _, st, cm, body in data]

            parts += [
                ("socket", cpu_median(lambda: read_raw(raw_conn, name), repeat)),
                ("decode", cpu_median(decode, repeat)),
                ("decode, gc paused", cpu_median(decode, repeat, gc_paused=True)),
            ]
            decoded = [(mt, unpack_one(body, st, cm)) for mt, st, cm, body in data]
            decoded.append((int(MSG_TYPE.STREAM_END), None))

            def collect() -> Any:
                replay = _Replay(decoded[1:])
                return collector(replay, decoded[0][1])

            parts += [
                ("collect", cpu_median(collect, repeat)),
                ("collect, gc paused", cpu_median(collect, repeat, gc_paused=True)),
            ]
            body_mb = sum(len(p[3]) for p in data) / 1e6
            print("%s: %d packets, %.2f MB of bodies; median client CPU of %d runs"
                  % (name, len(data), body_mb, repeat))
            print("  %-22s %8s %8s" % ("", "cpu_s", "sys_s"))
            for label, (t, sys_t) in parts:
                print("  %-22s %8.4f %8.4f" % (label, t, sys_t))

            if args.cprofile:
                prof = cProfile.Profile()
                twin, conn = chosen["twin"], conns["twin"]
                prof.runcall(twin.stream, conn, name)
                pstats.Stats(prof).sort_stats("tottime").print_stats(12)
        finally:
            for n in names:
                chosen[n].close(conns[n])
            raw_conn.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
