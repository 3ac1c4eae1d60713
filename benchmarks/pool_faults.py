"""Figures of the pools under the conditions that used to hurt them.

    python benchmarks/pool_faults.py [--seconds 5]

- ``spread``: 16 threads call ``add`` back to back through a ``vantrel.Pool``
  of 8 for ``--seconds``; the fewest and most calls of one thread, their
  ratio, and the number of ``PoolTimeout`` (pool time-out 10 s).
- ``trickle``: a peer that answers the handshake one byte every 0.5 s;
  how long ``Pool(timeout=2).connection()`` (and the asyncio pool's
  ``execute``) take to give up.
- ``recovery``: 16 threads (tasks) keep calling through a pool while the
  server is down for 2, 3.5 and 5 s; the time from the server listening again
  to the first answer, for both pools.
- ``overhead``: microseconds of one ``pool.execute("add", 1, 2)``, and of one
  hand-out and give-back with no call.

Only loopback addresses are used.  The figures are printed, nothing is asserted.
"""

from __future__ import annotations

import argparse
import asyncio
import socket
import threading
import time
from typing import Any, Callable, List

import vantrel
import vantrel.aio
import vantrel.errors
from vantrel.server import ServerThread, demo_server
from vantrel.share.codec import pack_one
from vantrel.share.protocol import COMPRESSION_METHOD, HEADER_LENGTH, MSG_TYPE, SERIALIZATION_TYPE


def spread(seconds: float) -> None:
    with ServerThread(demo_server(notice=None)) as address:
        pool = vantrel.Pool(address, max_size=8, timeout=10.0)
        counts = [0] * 16
        timeouts = [0]
        stop = time.monotonic() + seconds

        def work(i: int) -> None:
            while time.monotonic() < stop:
                try:
                    pool.execute("add", i, 1)
                    counts[i] += 1
                except vantrel.errors.PoolTimeout:
                    timeouts[0] += 1

        threads = [threading.Thread(target=work, args=(i,)) for i in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        pool.close()
    print("spread: 16 threads, max_size=8, %g s: calls per thread min %d max %d (x%.2f), "
          "%d PoolTimeout" % (seconds, min(counts), max(counts),
                              max(counts) / max(min(counts), 1), timeouts[0]))


def trickling_peer(stop: threading.Event) -> Any:
    listener = socket.create_server(("127.0.0.1", 0))
    reply = pack_one(None, MSG_TYPE.HANDSHAKE,
                     SERIALIZATION_TYPE.MSGPACK, COMPRESSION_METHOD.NONE)

    def serve(conn: socket.socket) -> None:
        with conn:
            try:
                conn.recv(HEADER_LENGTH + 4096)
                for byte in reply:
                    if stop.wait(0.5):
                        return
                    conn.sendall(bytes([byte]))
            except OSError:
                pass

    def accept() -> None:
        listener.settimeout(0.2)
        while not stop.is_set():
            try:
                conn = listener.accept()[0]
            except socket.timeout:
                continue
            threading.Thread(target=serve, args=(conn,), daemon=True).start()
        listener.close()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[:2]


def trickle() -> None:
    stop = threading.Event()
    address = trickling_peer(stop)
    try:
        start = time.monotonic()
        pool = vantrel.Pool(address, timeout=2.0, connect_timeout=2.0, call_timeout=2.0)
        outcome = _outcome(lambda: pool.connection().__enter__())
        print("trickle: thread Pool(timeout=2).connection(): %.2f s (%s)"
              % (time.monotonic() - start, outcome))

        async def aio_side() -> str:
            apool = vantrel.aio.Pool(address, timeout=2.0, connect_timeout=2.0)
            try:
                await apool.execute("add", 1, 2)
                return "ok"
            except Exception as e:
                return type(e).__name__
            finally:
                await apool.close()

        start = time.monotonic()
        outcome = asyncio.run(aio_side())
        print("trickle: asyncio Pool(timeout=2).execute(): %.2f s (%s)"
              % (time.monotonic() - start, outcome))
    finally:
        stop.set()


def _outcome(call: Callable[[], Any]) -> str:
    try:
        call()
        return "ok"
    except Exception as e:
        return type(e).__name__


DOWN = (2.0, 3.5, 5.0)


def recovery_threads(down: float) -> None:
    server = ServerThread(demo_server(notice=None))
    address = server.start()
    pool = vantrel.Pool(address, min_size=2, max_size=8, timeout=30.0)
    pool.execute("add", 1, 2)
    server.stop()
    back: List[float] = []
    errors = [0]
    up = threading.Event()
    done = threading.Event()

    def work() -> None:
        while not done.is_set():
            try:
                pool.execute("add", 1, 2)
            except Exception:
                errors[0] += 1
                time.sleep(0.01)
                continue
            if up.is_set():
                back.append(time.monotonic())
                return

    threads = [threading.Thread(target=work) for _ in range(16)]
    for t in threads:
        t.start()
    time.sleep(down)
    again = ServerThread(demo_server(notice=None), port=address[1])
    again.start()
    listening = time.monotonic()
    up.set()
    for t in threads:
        t.join(30)
    done.set()
    pool.close()
    again.stop()
    print("recovery: thread pool, down %.1f s: first answer %.3f s after the server listens "
          "again (%d failed calls)" % (down, min(back) - listening, errors[0]))


def recovery_aio(down: float) -> None:
    async def main() -> None:
        server = ServerThread(demo_server(notice=None))
        address = server.start()
        pool = vantrel.aio.Pool(address, min_size=2, max_size=8, timeout=30.0)
        await pool.open()
        await pool.execute("add", 1, 2)
        server.stop()
        back: List[float] = []
        errors = [0]
        up = asyncio.Event()

        async def work() -> None:
            while True:
                try:
                    await pool.execute("add", 1, 2)
                except Exception:
                    errors[0] += 1
                    await asyncio.sleep(0.01)
                    continue
                if up.is_set():
                    back.append(time.monotonic())
                    return

        tasks = [asyncio.ensure_future(work()) for _ in range(16)]
        await asyncio.sleep(down)
        again = ServerThread(demo_server(notice=None), port=address[1])
        await asyncio.get_running_loop().run_in_executor(None, again.start)
        listening = time.monotonic()
        up.set()
        await asyncio.wait_for(asyncio.gather(*tasks), 30)
        await pool.close()
        again.stop()
        print("recovery: asyncio pool, down %.1f s: first answer %.3f s after the server "
              "listens again (%d failed calls)" % (down, min(back) - listening, errors[0]))

    asyncio.run(main())


def overhead() -> None:
    with ServerThread(demo_server(notice=None)) as address:
        pool = vantrel.Pool(address, max_size=1)
        n = 20000
        for label, job in (("execute", lambda: pool.execute("add", 1, 2)),
                           ("hand-out only", lambda: pool.connection().__enter__().__class__)):
            if label == "hand-out only":
                def job() -> None:
                    with pool.connection():
                        pass
            job()
            best = float("inf")
            for _ in range(3):
                start = time.perf_counter()
                for _ in range(n):
                    job()
                best = min(best, time.perf_counter() - start)
            print("overhead: thread pool %s: %.2f us" % (label, 1e6 * best / n))
        pool.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("what", nargs="*", default=["spread", "trickle", "recovery", "overhead"])
    args = parser.parse_args()
    if "spread" in args.what:
        spread(args.seconds)
    if "trickle" in args.what:
        trickle()
    if "recovery" in args.what:
        for down in DOWN:
            recovery_threads(down)
            recovery_aio(down)
    if "overhead" in args.what:
        overhead()


if __name__ == "__main__":
    main()
