"""Both pools, one suite: ``vantrel.Pool`` (threads) and ``vantrel.aio.Pool``.

Each test runs against both drivers.  The asyncio pool runs on an event loop
of its own in a thread, behind a blocking facade, so that the same test body
(and the same threads) drive either pool.
"""

from __future__ import annotations

import asyncio
import gc
import os
import socket
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

import vantrel
import vantrel.aio
import vantrel.pool
from peer import Peer, recv, run_threads, wait
from vantrel._lease import unwrap
from vantrel.errors import ConnectionClosed, PoolClosed, PoolTimeout
from vantrel.server import ServerThread, demo_server
from vantrel.server.auth import Credentials
from vantrel.share.errors import AuthenticationError, RemoteExecutionError

Address = Tuple[str, int]
THREADS = 16
AUTH = {"user": "tester"}
STATS = {"size", "idle", "in_use", "waiting", "min_size", "max_size", "connects", "connect_errors",
         "discarded", "failed_checks", "handed_out", "timeouts", "waits", "reclaimed"}


# -- the two drivers ------------------------------------------------------------------


class AioFacade:
    """An asyncio pool (or lease) seen through blocking calls run on the driver's loop."""

    def __init__(self, driver: AioDriver, target: Any) -> None:
        self._driver = driver
        self.target = target

    def __getattr__(self, name: str) -> Any:
        value = getattr(self.target, name)
        if not callable(value):
            return value

        def call(*args: Any, **kwargs: Any) -> Any:
            result = value(*args, **kwargs)
            if asyncio.iscoroutine(result):
                result = self._driver.run(result)
            if isinstance(result, vantrel._lease.AsyncLease):
                return AioFacade(self._driver, result)
            return result
        return call

    def __setattr__(self, name: str, value: Any) -> None:
        if name in ("_driver", "target"):
            object.__setattr__(self, name, value)
        else:
            setattr(self.target, name, value)

    def connection(self, timeout: Optional[float] = None) -> Any:
        driver, handout = self._driver, self.target.connection(timeout)

        class Block:
            def __enter__(self) -> AioFacade:
                return AioFacade(driver, driver.run(handout.__aenter__()))

            def __exit__(self, *exc: Any) -> None:
                driver.run(handout.__aexit__(*exc))
        return Block()

    def release(self, lease: AioFacade, error: Optional[BaseException] = None) -> None:
        self._driver.call(self.target.release, lease.target, error)

    def __enter__(self) -> AioFacade:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


class AioDriver:
    name = "aio"

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def run(self, coro: Any) -> Any:
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(60)

    def call(self, func: Callable[..., Any], *args: Any) -> Any:
        async def inside() -> Any:
            return func(*args)
        return self.run(inside())

    def pool(self, address: Any, auth: Any = AUTH, **options: Any) -> Any:

        async def make() -> Any:
            pool = vantrel.aio.Pool(address, auth, **options)
            try:
                await pool.open()
            except BaseException:
                await pool.close()
                raise
            return pool
        return AioFacade(self, self.run(make()))

    def stop(self) -> None:
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
        self.loop.close()


class ThreadDriver:
    """The thread pool on the compiled connection ("ext") or its twin."""

    def __init__(self, impl: str = "ext") -> None:
        self.name = "threads-" + impl
        self.impl = impl

    def pool(self, address: Any, auth: Any = AUTH, **options: Any) -> vantrel.Pool:
        return vantrel.Pool(address, auth, impl=self.impl, **options)

    def stop(self) -> None:
        pass


@pytest.fixture(params=["threads-ext", "threads-twin", "aio"])
def driver(request: pytest.FixtureRequest) -> Iterator[Any]:
    name = request.param
    d = ThreadDriver(name.split("-")[1]) if name.startswith("threads") else AioDriver()
    yield d
    d.stop()


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


def closed_port() -> socket.socket:
    bound = socket.socket()  # bound, not listening: connections are refused
    bound.bind(("127.0.0.1", 0))
    return bound


# -- sharing ----------------------------------------------------------------------------


def test_sixteen_threads_share_four_connections(driver, server):
    with driver.pool(server.address, max_size=4) as pool:
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
    assert set(stats) == STATS
    assert stats["connects"] == stats["size"] <= 4
    assert stats["idle"] == stats["size"] and stats["in_use"] == stats["waiting"] == 0
    assert stats["discarded"] == stats["timeouts"] == 0
    assert stats["handed_out"] == THREADS * 40


def test_first_come_first_served_under_saturation(driver, server):
    # A released connection goes to the longest waiter: the thread that gave it
    # back cannot take it again ahead of the others.
    counts = [0] * THREADS
    total = [0]
    with driver.pool(server.address, max_size=8, timeout=30.0) as pool:
        def work(i: int) -> None:
            while total[0] < 3200:
                pool.execute("add", i, 1)
                counts[i] += 1
                total[0] += 1

        assert run_threads(THREADS, work) == []
        assert pool.stats()["timeouts"] == 0
    assert max(counts) <= 2 * min(counts), counts


def refused(cause: Any) -> bool:
    """A pool's failure to connect: a refused connection, named by a ConnectError."""
    return isinstance(cause, vantrel.ConnectError) and \
        isinstance(cause.attempts[0][1], ConnectionRefusedError)


def test_keeps_after_server_error_discards_after_broken_call(driver, server):
    with driver.pool(server.address, call_timeout=0.2) as pool:
        with pytest.raises(RemoteExecutionError):
            pool.execute("fail", "on purpose")
        assert pool.execute("add", 1, 1) == 2
        assert pool.stats()["connects"] == 1 and pool.stats()["discarded"] == 0
        with pytest.raises((TimeoutError, socket.timeout)):  # call_timeout, in both pools
            pool.execute("sleep", 1)  # broken in the middle of an answer
        with pytest.raises(ValueError), pool.connection() as conn:
            conn.execute("add", 1, 1)
            raise ValueError("the application's own failure")
        with pool.connection() as conn:
            conn.set_timeout(5.0)  # this holder's own limit, dropped on give-back
            assert conn.execute("sleep", 0.3) == 0.3
        with pytest.raises((TimeoutError, socket.timeout)):
            pool.execute("sleep", 1)
        assert pool.execute("add", 2, 2) == 4
        assert pool.stats()["discarded"] == 3 and pool.stats()["connects"] == 4


def test_a_connection_given_back_cannot_be_used(driver, server):
    with driver.pool(server.address, max_size=1) as pool:
        with pool.connection() as conn:
            assert conn.execute("add", 1, 2) == 3
        with pool.connection() as other:  # the same connection, now another holder's
            with pytest.raises(ConnectionClosed, match="given back"):
                conn.execute("add", 1, 2)
            assert conn.closed and not other.closed
            assert other.execute("add", 2, 2) == 4
        lease = pool.acquire()
        pool.release(lease)
        pool.release(lease)  # twice: harmless
        with pytest.raises(ConnectionClosed):
            lease.execute("add", 1, 1)
        assert pool.stats()["connects"] == 1


def test_a_leaked_connection_is_reclaimed_with_a_warning(driver, server):
    with driver.pool(server.address, max_size=2, timeout=5.0) as pool:
        if isinstance(pool, AioFacade):
            leases = driver.run(_two_leases(pool.target))
        else:
            leases = [pool.acquire(), pool.acquire()]
        with pytest.warns(ResourceWarning, match=r"acquired at .*test_pool.py:\d+ was never given back"):
            del leases
            gc.collect()
            assert pool.execute("add", 1, 1) == 2  # not a PoolTimeout: both came back
        stats = pool.stats()
    assert stats["reclaimed"] == 2 and stats["discarded"] == 2 and stats["timeouts"] == 0


async def _two_leases(pool: Any) -> List[Any]:
    return [await pool.acquire(), await pool.acquire()]


# -- waiting, opening, failing ----------------------------------------------------------


def test_exhausted_pool_waits_then_times_out(driver, server):
    pool = driver.pool(server.address, max_size=2, timeout=0.2)
    with pool.connection(), pool.connection():
        with pytest.raises(PoolTimeout, match=r"no connection free within 0\.2 s: all 2 in use"):
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
    with pytest.raises(PoolClosed):
        pool.execute("add", 1, 1)


def test_idle_connections_beyond_min_size_are_closed_after_max_idle(driver, server):
    with driver.pool(server.address, min_size=1, max_idle=0.05) as pool:
        with pool.connection() as a, pool.connection() as b:
            assert a.execute("add", 1, 1) == 2 and b.execute("add", 2, 2) == 4
        assert pool.stats()["size"] == 2
        time.sleep(0.2)
        assert pool.execute("add", 3, 4) == 7  # taking one prunes the rest, down to min_size
        stats = pool.stats()
    assert stats["size"] == 1 and stats["discarded"] == 1


def test_options_are_checked_when_the_pool_is_built(driver):
    with pytest.raises(TypeError, match="conect_timeout"):
        driver.pool(("127.0.0.1", 1), conect_timeout=2)
    for settings in ({"max_size": 0}, {"min_size": 3, "max_size": 2}, {"timeout": -1.0},
                     {"max_idle": -1.0}):
        with pytest.raises(ValueError):
            driver.pool(("127.0.0.1", 1), **settings)
    with pytest.raises(ValueError, match="bad address"):
        driver.pool("127.0.0.1:99999")


def test_a_url_gives_the_credentials_and_the_call_time_out(driver):
    with ServerThread(demo_server(notice=None, authenticator=Credentials({"ann": "p@ss"}))) as address:
        url = "vantrel://ann:p%%40ss@%s:%d?timeout=0.2&connect_timeout=3" % address
        with driver.pool(url, None) as pool:
            assert pool.execute("add", 1, 1) == 2
            with pytest.raises((TimeoutError, socket.timeout)):
                pool.execute("sleep", 1)


def test_a_refused_handshake_is_not_retried(driver):
    with ServerThread(demo_server(notice=None, authenticator=Credentials({"alice": "secret"}))) as address:
        pool = driver.pool(address, {"user": "alice", "password": "wrong"}, timeout=30.0)
        with pytest.raises(AuthenticationError):
            pool.execute("add", 1, 1)
        assert pool.stats()["connect_errors"] == 1
        pool.close()


def test_the_wait_includes_opening_and_back_off(driver):
    # A peer that takes the connection and does not answer the handshake until
    # the test is done: the pool's time-out, not the connect_timeout of 10 s,
    # ends the wait.
    held = threading.Event()
    with Peer([recv(), wait(held)], clients=None, concurrent=True) as peer:
        pool = driver.pool(peer.address, timeout=0.5, connect_timeout=10.0)
        start = time.monotonic()
        with pytest.raises(PoolTimeout, match="the last attempt failed with"):
            pool.execute("add", 1, 1)
        assert time.monotonic() - start < 5.0
        pool.close()
        held.set()
    # Backing off, callers wait out their own time-out rather than give up at once.
    with closed_port() as bound:
        pool = driver.pool(bound.getsockname(), timeout=0.6)
        start = time.monotonic()
        errors = run_threads(4, lambda i: pool.execute("add", 1, 1))
        assert time.monotonic() - start >= 0.6
        assert [type(e) for e in errors] == [PoolTimeout] * 4
        assert all(refused(e.__cause__) for e in errors)
        assert pool.stats()["size"] == 0 and pool.stats()["connect_errors"] >= 2
        pool.close()


def test_wait_and_callbacks(driver, server):
    seen: Dict[str, int] = {"check": 0, "configure": 0, "reset": 0}

    def count(name: str) -> Callable[[Any], None]:
        def callback(conn: Any) -> None:
            assert not isinstance(conn, vantrel._lease.Lease)  # the connection itself
            seen[name] += 1
            if name == "check" and seen[name] == 2:
                raise RuntimeError("the application refuses this one")
        return callback

    with driver.pool(server.address, min_size=0, max_size=3, check_after=0,
                     check=count("check"), configure=count("configure"),
                     reset=count("reset")) as pool:
        assert pool.execute("add", 1, 1) == 2      # configure
        assert pool.execute("add", 1, 1) == 2      # check, reset
        assert pool.execute("add", 1, 1) == 2      # check refused: opened again
        stats = pool.stats()
    assert seen == {"check": 2, "configure": 2, "reset": 3}
    assert stats["failed_checks"] == 1 and stats["connects"] == 2
    with driver.pool(server.address, min_size=2) as pool:
        pool.wait(5.0)
        assert pool.stats()["idle"] == 2 and pool.stats()["handed_out"] == 0


# -- restarts, several hosts, fork ------------------------------------------------------


def test_across_a_server_restart(driver, server):
    address = server.address
    with driver.pool(address, min_size=4, check_after=60.0) as pool:
        assert pool.execute("add", 1, 2) == 3
        server.stop()
        with pytest.raises(PoolTimeout, match="last attempt failed") as caught:
            _until_timeout(pool)
        assert refused(caught.value.__cause__)
        assert pool.stats()["size"] == 0

        again = ServerThread(demo_server(notice=None), port=address[1])
        again.start()
        try:
            # threads wait for the server instead of failing
            assert run_threads(THREADS, lambda i: pool.execute("add", i, 1)) == []
        finally:
            again.stop()
        assert pool.stats()["connect_errors"] >= 1


def _until_timeout(pool: Any) -> None:
    # The first hand-out finds a dead connection that no check is due for; its
    # failure makes the pool check its siblings, so no second call fails.
    failures = 0
    pool.timeout = 0.5
    while True:
        try:
            pool.execute("add", 1, 2)
        except PoolTimeout:
            raise
        except (vantrel.errors.Error, OSError):
            failures += 1
            assert failures == 1


def peer_of(conn: Any) -> Address:
    inner = unwrap(conn.target if isinstance(conn, AioFacade) else conn)
    if hasattr(inner, "_transport"):
        host, port = inner._transport.get_extra_info("peername")[:2]
    else:
        host, port = inner._socket.getpeername()[:2]
    return str(host), int(port)


def test_connections_spread_over_hosts_and_skip_one_that_is_down(driver):
    one, two = (ServerThread(demo_server(notice=None)) for _ in range(2))
    first, second = one.start(), two.start()
    try:
        with driver.pool([first, "%s:%d" % second], max_size=4, timeout=10.0) as pool:
            leases = [pool.acquire() for _ in range(4)]
            assert sorted(peer_of(c) for c in leases) == sorted([first, first, second, second])
            for lease in leases:
                pool.release(lease)
            one.stop()
            # Each connection to the stopped host fails once; new ones go to the
            # host that answers, the stopped one being skipped while it backs off.
            failures = 0
            for i in range(10):
                leases = [pool.acquire() for _ in range(4)]
                peers = {peer_of(c) for c in leases}
                for lease in leases:
                    try:
                        assert lease.execute("add", i, 1) == i + 1
                        pool.release(lease)
                    except (vantrel.errors.Error, OSError) as e:
                        failures += 1
                        pool.release(lease, e)
            assert failures <= 2 and peers == {second}
            one = ServerThread(demo_server(notice=None), port=first[1])
            one.start()
            # the host is tried again after its back-off: new connections go there
            wait_until(lambda: _opens_on(pool, first))
    finally:
        one.stop()
        two.stop()


def _opens_on(pool: Any, address: Address) -> bool:
    leases = [pool.acquire() for _ in range(4)]
    try:
        return any(peer_of(c) == address for c in leases)
    finally:
        for lease in leases:
            lease.close()  # closed: the next round opens new ones
            pool.release(lease)


CHILD_OK = 0


def _child_calls(pool: Any, lease: Any) -> int:
    # In the forked child: the inherited lease refuses, the pool opens its own.
    if isinstance(pool, AioFacade):  # the parent's loop thread is not in the child
        async def calls() -> int:
            return await _child_async(pool.target, lease.target)
        return asyncio.run(calls())
    try:
        lease.execute("echo", "child")
        return 3
    except ConnectionClosed:
        pass
    wrong = sum(pool.execute("echo", "child-%d" % i) != "child-%d" % i for i in range(300))
    return 4 if wrong else CHILD_OK


async def _child_async(pool: Any, lease: Any) -> int:
    try:
        await lease.execute("echo", "child")
        return 3
    except ConnectionClosed:
        pass
    wrong = 0
    for i in range(300):
        wrong += await pool.execute("echo", "child-%d" % i) != "child-%d" % i
    return 4 if wrong else CHILD_OK


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_after_fork_each_process_uses_its_own_connections(driver, server):
    with driver.pool(server.address, min_size=3, max_size=3) as pool:
        lease = pool.acquire()
        assert lease.execute("echo", 1) == 1
        pid = os.fork()
        if pid == 0:  # the child: never returns into pytest
            code = 5
            try:
                code = _child_calls(pool, lease)
            finally:
                os._exit(code)
        wrong = 0
        for i in range(300):
            token = "parent-%d" % i
            wrong += pool.execute("echo", token) != token
            wrong += lease.execute("echo", i) != i
        _, status = os.waitpid(pid, 0)
        assert os.WEXITSTATUS(status) == CHILD_OK and wrong == 0
        # the child sent nothing on the parent's connections, nor shut them down
        pool.release(lease)
        assert pool.stats()["discarded"] == 0 and pool.stats()["connects"] == 3


# -- the asyncio pool's own: tasks of one loop --------------------------------------------


def arun(coro: Any) -> Any:
    return asyncio.run(asyncio.wait_for(coro, 60))


def test_aio_pool_of_8_serves_200_tasks(server):
    async def main() -> None:
        async with vantrel.aio.Pool(server.address, max_size=8, min_size=2) as pool:
            assert pool.stats()["idle"] == 2

            async def task(t: int) -> None:
                for i in range(20):
                    if i % 7 == 3:
                        assert len(await pool.execute("table", t % 5)) == t % 5
                    else:
                        async with pool.connection() as conn:
                            assert await conn.execute("echo", t, i) == [t, i]

            await asyncio.gather(*(task(t) for t in range(200)))
            stats = pool.stats()
            assert stats["connects"] == stats["size"] == 8 and stats["in_use"] == 0
            assert stats["discarded"] == 0

    arun(main())


def test_aio_pool_drops_what_the_server_closed():
    async def main(address: Address) -> None:
        async with vantrel.aio.Pool(address, max_size=1, timeout=0.2, check_after=0.05) as pool:
            with pytest.raises(RemoteExecutionError):
                await pool.execute("fail", "x")
            async with pool.connection() as held:
                with pytest.raises(vantrel.aio.PoolTimeout):
                    await pool.execute("echo", 1)
            await asyncio.sleep(0.4)  # the server drops the idle connection
            assert await pool.execute("echo", 2) == 2
            assert held.closed
            stats = pool.stats()
            assert (stats["connects"], stats["failed_checks"], stats["timeouts"]) == (2, 1, 1)

    with ServerThread(demo_server(notice=None, idle_timeout=0.3)) as address:
        arun(main(address))


def test_aio_pool_closed_while_opening_hands_out_nothing(server):
    async def main() -> None:
        pool = vantrel.aio.Pool(server.address)
        opening = asyncio.ensure_future(pool.acquire())
        await asyncio.sleep(0)  # the task is now opening a connection
        await pool.close()
        with pytest.raises(PoolClosed):
            await opening
        assert pool.stats()["size"] == 0

    arun(main())


def test_aio_pool_shares_the_error_classes():
    assert (vantrel.aio.PoolError, vantrel.aio.PoolTimeout, vantrel.aio.PoolClosed) == (
        vantrel.pool.PoolError, vantrel.pool.PoolTimeout, vantrel.pool.PoolClosed)
