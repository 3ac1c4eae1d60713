#!/usr/bin/env python3
"""Before and after of one codec setting, interleaved in one process.

    python3 benchmarks/codec_ab.py GC_PAUSE_MIN 1e18 65536 [--repeat N] [--scenario A,B]
    python3 benchmarks/codec_ab.py ZSTD_ONE_SHOT_MAX -1 67108864 --scenario table_200k_zstd

Sets the module attribute ATTR of the codec modules (``vantrel.share``'s
``_codecbase``, ``_compression`` or ``_pycodec``, whichever has it) to BEFORE,
then to AFTER, in turn, and runs the implementations on each scenario in
between (``pure`` decodes with the pure-Python codec; the others share its
JSON and compressors); prints the median
client CPU time of each side.  ``GC_PAUSE_MIN 1e18`` turns
the collector pause off, ``ZSTD_ONE_SHOT_MAX -1`` the one-shot decompression.
"""

from __future__ import annotations

import argparse
import functools
import importlib.util
import statistics
import sys
from typing import Dict, List, Tuple

import bootstrap  # noqa: F401
import impls
import vantrel.share._codecbase
import vantrel.share._compression
import vantrel.share._pycodec
from measure import timed
from payloads import LARGE
from server_process import AnswerServer
from vantrel._impls import CONNECTION_MODULES


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("attr")
    parser.add_argument("before", type=float)
    parser.add_argument("after", type=float)
    parser.add_argument("--repeat", type=int, default=11)
    parser.add_argument("--scenario", default=",".join(LARGE))
    args = parser.parse_args()
    homes = [m for m in (vantrel.share._codecbase, vantrel.share._compression, vantrel.share._pycodec)
             if args.attr in vars(m)]
    if not homes:
        parser.error("no codec module has an attribute %r" % args.attr)
    codec = homes[0]
    original = getattr(codec, args.attr)
    names = ["pure"] + (["ext"] if importlib.util.find_spec(CONNECTION_MODULES["ext"]) else []) + ["twin", "floor"]
    with AnswerServer() as server:
        chosen = {n: impls.make(n, server.address) for n in names}
        conns = {n: chosen[n].open() for n in names}
        try:
            for scenario in args.scenario.split(","):
                cpu: Dict[Tuple[str, str], List[float]] = {}
                for _ in range(args.repeat):
                    for side, value in (("before", args.before), ("after", args.after)):
                        setattr(codec, args.attr, value)
                        for n in names:
                            impl, conn = chosen[n], conns[n]
                            c, _, _ = timed(functools.partial(impl.stream, conn, scenario))
                            cpu.setdefault((n, side), []).append(c)
                setattr(codec, args.attr, original)
                parts = []
                for n in names:
                    b = statistics.median(cpu[(n, "before")])
                    a = statistics.median(cpu[(n, "after")])
                    parts.append("%s %.4f -> %.4f (%.2fx)" % (n, b, a, b / a))
                print("%-16s %s" % (scenario, " | ".join(parts)), flush=True)
        finally:
            for n in names:
                chosen[n].close(conns[n])
    return 0


if __name__ == "__main__":
    sys.exit(main())
