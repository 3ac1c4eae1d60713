"""Connections used from many threads at once, one connection per thread.

Sixteen threads each run their own connection against the reference server
(2,000 calls each under ``VANTREL_LONG=1``) and check every answer.  A thread
blocked in a call that the server holds back must not stop the others: the
connection gives the interpreter up while it waits on its socket.
"""

from __future__ import annotations

import threading
from types import ModuleType
from typing import Any, Dict, Iterator, List, Optional, Tuple

import pytest

from peer import Peer, close_quietly, connect, connect_to, packet, recv, send, signal, wait
from vantrel.share.protocol import MSG_TYPE

from .servers import start_server
from .sizes import scale

THREADS = 16
CALLS = scale(150, 2_000)
JOIN = 300.0  # far beyond any run; a thread still alive then is a hang


@pytest.fixture(scope="module")
def server() -> Iterator[Tuple[str, int]]:
    thread = start_server()
    assert thread.address is not None
    yield thread.address
    thread.stop()


def expected_table(rows: int) -> List[Dict[str, Any]]:
    names = ["ada", "bob", "cyd", "dee", "eve", "fay", "gus", "hal", "ivy", "jon"]
    return [{"id": i, "name": names[i % 10], "score": round(i * 1.5, 2)} for i in range(rows)]


def run_calls(impl: ModuleType, address: Tuple[str, int], tid: int, calls: int) -> int:
    """``calls`` checked calls on a connection of this thread's own; returns the count."""
    conn = connect_to(impl, address)
    done = 0
    try:
        for i in range(calls):
            kind = i % 8
            if kind == 0:
                assert conn.execute("table", tid % 5) == expected_table(tid % 5)
            elif kind == 1:
                assert conn.execute("feed", 3) == [{"seq": s, "text": "event %d" % s} for s in range(3)]
            elif kind == 2:
                assert conn.execute("add", tid, i) == tid + i
            elif kind == 3:
                assert conn.execute("table2", 2) == (["t", "value"], [[0, 0], [1, 1]])
            else:
                assert conn.execute("echo", tid, i, "x" * (i % 50)) == [tid, i, "x" * (i % 50)]
            done += 1
        assert conn.is_normal() is True
    finally:
        close_quietly(conn)
    return done


def run_threads(targets: List[threading.Thread]) -> None:
    for t in targets:
        t.start()
    for t in targets:
        t.join(JOIN)
    assert not any(t.is_alive() for t in targets), "a thread hung"


def test_sixteen_threads_each_with_its_connection(impl: ModuleType, server: Tuple[str, int]) -> None:
    results: List[Optional[int]] = [None] * THREADS
    errors: List[BaseException] = []
    start = threading.Barrier(THREADS)

    def worker(tid: int) -> None:
        try:
            start.wait(JOIN)
            results[tid] = run_calls(impl, server, tid, CALLS)
        except BaseException as e:  # reported below, with the thread's number
            errors.append(e)

    run_threads([threading.Thread(target=worker, args=(t,), daemon=True) for t in range(THREADS)])
    assert not errors, errors[:3]
    assert results == [CALLS] * THREADS
    print("\nthreads %s: %d threads x %d calls, all answers correct" % (impl.__name__, THREADS, CALLS))


def test_a_blocked_call_does_not_stop_other_threads(impl: ModuleType, server: Tuple[str, int]) -> None:
    """One call waits on a peer that answers only when told; meanwhile the others run to the end."""
    got_request = threading.Event()
    release = threading.Event()
    peer = Peer([recv(), signal(got_request), wait(release), send(packet(MSG_TYPE.RESPONSE, "late"))],
                handshake=True, timeout=60.0)
    blocked = connect(impl, peer)
    blocked.set_timeout(60.0)
    outcome: List[object] = []

    def slow() -> None:
        try:
            outcome.append(blocked.execute("hold"))
        except BaseException as e:  # reported below
            outcome.append(e)

    slow_thread = threading.Thread(target=slow, daemon=True)
    slow_thread.start()
    try:
        assert got_request.wait(30.0), "the slow call never reached its peer"
        # The slow thread is now blocked reading its answer.  Other threads,
        # each with its own connection, must be able to run their calls.
        counts: List[int] = []
        errors: List[BaseException] = []

        def other(tid: int) -> None:
            try:
                counts.append(run_calls(impl, server, tid, scale(40, 400)))
            except BaseException as e:  # reported below
                errors.append(e)

        run_threads([threading.Thread(target=other, args=(t,), daemon=True) for t in range(4)])
        assert not errors, errors[:3]
        assert counts == [scale(40, 400)] * 4
        assert not outcome and slow_thread.is_alive(), "the slow call ended before it was released"
    finally:
        release.set()
        slow_thread.join(30.0)
        close_quietly(blocked)
        peer.finish()
    assert outcome == ["late"]
