#!/usr/bin/env python3
"""The asyncio client beside the blocking client, and the event loop's longest stall.

    python3 benchmarks/aio_bench.py [--quick] [--json PATH]

Figures (the answer server of run.py, in a process of its own):

- ``small_call``: 20,000 calls answered by a small RESPONSE, one after the
  other on one connection: blocking ``vantrel.connection`` (ext), then
  ``vantrel.aio`` on one connection;
- ``table_200k`` and ``table_200k_zstd``: one call answered by 200,000 rows in
  20 TABLE packets, the same two clients;
- ``pool_small``: 200 tasks x 20 small calls through a ``vantrel.aio.Pool`` of 8;
- the stall: while the asyncio client receives a 200,000-row table, a task
  sleeps 5 ms in a loop; the figure is the longest time between two of its
  wake-ups (5 ms when the loop never stalls), and the CPU time the process
  spent in that gap (which leaves out the waits for a core on a busy machine).

Blocking and asyncio runs alternate; each figure is the median of the runs
(wall time; the machine is shared).
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import statistics
import sys
import time
from functools import partial
from typing import Any, Callable, Coroutine, Dict, List, Optional, Tuple

import bootstrap  # noqa: F401
import impls
import vantrel.aio
from payloads import SMALL_REQUEST
from server_process import AnswerServer

SMALL_CALLS = 20_000
TICK = 0.005
TABLES = ("table_200k", "table_200k_zstd")


def timed(run: Callable[[], Any]) -> float:
    gc.collect()
    t0 = time.perf_counter()
    result = run()
    elapsed = time.perf_counter() - t0
    del result
    return elapsed


async def atimed(run: Callable[[], Coroutine[Any, Any, Any]]) -> float:
    gc.collect()
    t0 = time.perf_counter()
    result = await run()
    elapsed = time.perf_counter() - t0
    del result
    return elapsed


async def small_calls(conn: vantrel.aio.AsyncConnection, count: int) -> Any:
    method, (a, b), kwargs = SMALL_REQUEST
    flag = kwargs["flag"]
    execute = conn.execute
    result = None
    for _ in range(count):
        result = await execute(method, a, b, flag=flag)
    return result


async def pool_small(pool: vantrel.aio.Pool, tasks: int, calls: int) -> None:
    method, (a, b), kwargs = SMALL_REQUEST

    async def worker() -> None:
        for _ in range(calls):
            async with pool.connection() as conn:
                await conn.execute(method, a, b, **kwargs)

    await asyncio.gather(*(worker() for _ in range(tasks)))


async def stall_during(run: Callable[[], Coroutine[Any, Any, Any]]) -> Tuple[float, float]:
    """The longest gap between two wake-ups of a 5 ms ticker while ``run`` runs:
    its wall time, and the CPU time this thread spent in it (the wall time
    less the time the process waited for a core on a busy machine)."""
    gaps: List[Tuple[float, float]] = []
    done = False

    async def ticker() -> None:
        last, last_cpu = time.perf_counter(), time.thread_time()
        while not done:
            await asyncio.sleep(TICK)
            now, now_cpu = time.perf_counter(), time.thread_time()
            gaps.append((now - last, now_cpu - last_cpu))
            last, last_cpu = now, now_cpu

    tick = asyncio.ensure_future(ticker())
    await asyncio.sleep(3 * TICK)
    await run()
    done = True
    await tick
    return max(gaps)


async def figures(address: Tuple[str, int], repeats: int) -> Dict[str, Any]:
    """Blocking and asyncio runs interleaved, so that both see the same machine."""
    impl = impls.ConnectionImpl("ext", address)
    blocking = impl.open()
    conn = await vantrel.aio.connect(address, impls.AUTH)
    runs: Dict[str, Dict[str, List[float]]] = {"blocking": {}, "aio": {}}
    out: Dict[str, Any] = {"blocking": {}, "aio": {}}
    try:
        impl.calls(blocking, 200)
        await small_calls(conn, 200)
        for name in ("small_call",) + TABLES:
            if name == "small_call":
                block_run: Callable[[], Any] = partial(impl.calls, blocking, SMALL_CALLS)
                aio_run: Callable[[], Coroutine[Any, Any, Any]] = partial(small_calls, conn, SMALL_CALLS)
            else:
                block_run, aio_run = partial(impl.stream, blocking, name), partial(conn.execute, name)
                block_run()
                await aio_run()
            for _ in range(repeats):
                runs["blocking"].setdefault(name, []).append(timed(block_run))
                runs["aio"].setdefault(name, []).append(await atimed(aio_run))
        for name in TABLES:
            stalls = [await stall_during(partial(conn.execute, name)) for _ in range(repeats)]
            out["aio"]["stall_" + name] = {
                "max_gap_ms": 1000 * max(s[0] for s in stalls),
                "median_max_gap_ms": 1000 * statistics.median(s[0] for s in stalls),
                "max_gap_cpu_ms": 1000 * max(s[1] for s in stalls)}
    finally:
        impl.close(blocking)
        await conn.close()
    for side, by_name in runs.items():
        for name, times in by_name.items():
            out[side][name] = statistics.median(times)
    async with vantrel.aio.Pool(address, impls.AUTH, max_size=8) as pool:
        await pool_small(pool, 8, 10)
        out["aio"]["pool_small"] = statistics.median(
            [await atimed(partial(pool_small, pool, 200, 20)) for _ in range(repeats)])
        out["aio"]["pool_stats"] = pool.stats()
    return out


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--json", metavar="PATH", help="write the figures to PATH")
    args = parser.parse_args(argv)
    repeats = 3 if args.quick else 7
    with AnswerServer() as server:
        both = asyncio.run(figures(server.address, repeats))
    blocking, aio = both["blocking"], both["aio"]
    print("%-16s %12s %12s %8s" % ("scenario", "blocking_s", "aio_s", "ratio"))
    for name in ("small_call",) + TABLES:
        print("%-16s %12.4f %12.4f %8.2f" % (name, blocking[name], aio[name], aio[name] / blocking[name]))
    print("%-16s %12s %12.4f   (200 tasks x 20 calls, pool of 8)" % ("pool_small", "-", aio["pool_small"]))
    print("per small call: blocking %.1f us, aio %.1f us, aio pool %.1f us"
          % (1e6 * blocking["small_call"] / SMALL_CALLS, 1e6 * aio["small_call"] / SMALL_CALLS,
             1e6 * aio["pool_small"] / 4000))
    for name in TABLES:
        s = aio["stall_" + name]
        print("loop stall during %s: longest gap between 5 ms ticks %.1f ms (median over the runs"
              " %.1f ms); CPU time in the longest gap %.1f ms" % (name, s["max_gap_ms"], s["median_max_gap_ms"],
                                                                s["max_gap_cpu_ms"]))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"blocking": blocking, "aio": aio, "python": sys.version.split()[0]}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
