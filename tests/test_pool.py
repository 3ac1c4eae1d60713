"""vantrel.Pool: many threads, a server restart, exhaustion, keep or discard."""

from __future__ import annotations

import socket
import threading
import time
from typing import Any, Iterator, List, Tuple

import pytest

import vantrel
from peer import impl_name, run_threads
from vantrel.pool import PoolClosed, PoolTimeout
from vantrel.server import ServerThread, demo_server
from vantrel.share.errors import RemoteExecutionError

Address = Tuple[str, int]
THREADS = 16


@pytest.fixture
def server() -> Iterator[ServerThread]:
    thread = ServerThread(demo_server(notice=None))
    thread.start()
    yield thread
    thread.stop()


def wait_until(condition: Any) -> None:
    deadline = time.monotonic() + 30
    while not condition():
        assert time.monotonic() < deadline, "condition never met"
        time.sleep(0.01)


def test_sixteen_threads_share_four_connections(impl, server):
    with vantrel.Pool(server.address, max_size=4, impl=impl_name(impl)) as pool:
        def work(i: int) -> None:
            for j in range(40):
                if j % 2:
                    assert pool.execute("add", i, j) == i + j
                else:
                    with pool.connection() as conn:
                        assert conn.execute("echo", i, j) == [i, j]
                        assert len(conn.execute("table", rows=3)) == 3

        assert run_threads(THREADS, work) == []
        stats = pool.stats()
    assert stats["connects"] == stats["size"] <= 4
    assert stats["idle"] == stats["size"] and stats["in_use"] == stats["waiting"] == 0
    assert stats["discarded"] == stats["timeouts"] == 0
    assert stats["handed_out"] == THREADS * 40


def test_keeps_after_server_error_discards_after_broken_call(impl, server):
    with vantrel.Pool(server.address, call_timeout=0.2, impl=impl_name(impl)) as pool:
        with pytest.raises(RemoteExecutionError):
            pool.execute("fail", "on purpose")
        assert pool.execute("add", 1, 1) == 2
        assert pool.stats()["connects"] == 1 and pool.stats()["discarded"] == 0
        with pytest.raises(socket.timeout):
            pool.execute("sleep", 1)  # broken in the middle of an answer
        with pytest.raises(ValueError), pool.connection() as conn:
            conn.execute("add", 1, 1)
            raise ValueError("the application's own failure")
        with pool.connection() as conn:
            conn.close()  # given back closed
        assert pool.execute("add", 2, 2) == 4
        assert pool.stats()["discarded"] == 3 and pool.stats()["connects"] == 4


def test_across_a_server_restart(impl, server):
    address = server.address
    with vantrel.Pool(address, min_size=2, check_after=0, impl=impl_name(impl)) as pool:
        assert pool.execute("add", 1, 2) == 3
        server.stop()
        with pytest.raises(PoolTimeout, match="last attempt failed") as caught, \
                pool.connection(timeout=0.5):  # both idle connections found dead, no server
            pass
        cause = caught.value.__cause__
        assert isinstance(cause, vantrel.ConnectError)
        assert isinstance(cause.attempts[0][1], ConnectionRefusedError)
        assert pool.stats()["discarded"] == 2 and pool.stats()["size"] == 0

        again = ServerThread(demo_server(notice=None), port=address[1])
        again.start()
        try:
            # reconnects after its back-off; threads wait for it instead of failing
            assert run_threads(THREADS, lambda i: pool.execute("add", i, 1)) == []
        finally:
            again.stop()
        assert pool.stats()["connect_errors"] >= 1


def test_exhausted_pool_waits_then_times_out(impl, server):
    pool = vantrel.Pool(server.address, max_size=2, timeout=0.2, impl=impl_name(impl))
    with pool.connection(), pool.connection():
        with pytest.raises(PoolTimeout, match="all 2 in use"):
            pool.execute("add", 1, 1)
        got: List[Any] = []
        waiter = threading.Thread(target=lambda: got.append(pool.execute("add", 2, 2)))
        pool.timeout = 30.0
        waiter.start()
        wait_until(lambda: pool.stats()["waiting"] == 1)
    waiter.join(30)
    assert got == [4]
    assert pool.stats()["timeouts"] == 1

    with pool.connection(), pool.connection():
        closed: List[BaseException] = []
        late = threading.Thread(target=lambda: closed.extend(
            run_threads(1, lambda i: pool.execute("add", 1, 1))))
        late.start()
        wait_until(lambda: pool.stats()["waiting"] == 1)
        pool.close()
        late.join(30)
    assert [type(e) for e in closed] == [PoolClosed]
    assert pool.stats()["size"] == 0


def test_idle_connections_beyond_min_size_are_closed_after_max_idle(impl, server):
    with vantrel.Pool(server.address, min_size=1, max_idle=0.05, impl=impl_name(impl)) as pool:
        with pool.connection() as a, pool.connection() as b:
            assert a.execute("add", 1, 1) == 2 and b.execute("add", 2, 2) == 4
        assert pool.stats()["size"] == 2
        time.sleep(0.2)
        assert pool.execute("add", 3, 4) == 7  # taking one prunes the rest, down to min_size
        stats = pool.stats()
    assert stats["size"] == 1 and stats["discarded"] == 1
