"""close() from another thread (another task) while a call reads its answer.

Every reader of an answer, the compiled connection, its twin, the readers of
``vantrel.results`` and the asyncio client, either finishes its answer whole
(the close came after the last packet had arrived) or fails with the
connection module's ``ProtocolError("the connection was closed during the
call")``: never with the buffered reader's own errors ("read of closed file",
"PyMemoryView_FromBuffer(): info->buf must not be NULL"), never with a short
answer, and with the connection's descriptor given back.  Many rounds,
bounded in time, at varied moments of the answer.
"""

from __future__ import annotations

import asyncio
import errno
import gc
import random
import sys
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Tuple

import pytest

import vantrel.aio as aio
from peer import connect_to
from vantrel._header import CLOSED_DURING_CALL
from vantrel.results import fetch_arrow, iter_rows
from vantrel.server import Feed, Server, ServerThread, Table

Address = Tuple[str, int]
ROUNDS = 80
SECONDS = 6.0
ITEMS = 20_000


@pytest.fixture(scope="module")
def server() -> Iterator[Address]:
    handlers = {"feed": lambda n: Feed(list(range(n)), batch=200),
                "table": lambda n: Table(["a", "b"], [[i, str(i)] for i in range(n)], batch=200)}
    with ServerThread(Server(handlers)) as address:
        yield address


@pytest.fixture
def fast_switching() -> Iterator[None]:
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # threads change hands often: the races show
    yield
    sys.setswitchinterval(before)


def still_open(sockets: List[Any]) -> List[Any]:
    """Those of the connections' own sockets whose descriptor is still open
    (only theirs: the in-process server closes its ends on its own time)."""
    gc.collect()  # (the errors' tracebacks hold the last connections)
    return [s for s in sockets if s.fileno() != -1]


def _read_execute(conn: Any) -> Any:
    return conn.execute("feed", ITEMS)


def _read_rows(conn: Any) -> Any:
    return list(iter_rows(conn, "feed", ITEMS))


def _read_arrow(conn: Any) -> Any:
    return fetch_arrow(conn, "table", ITEMS).read_all().column("a").to_pylist()


READERS: Dict[str, Callable[[Any], Any]] = {
    "execute": _read_execute, "iter_rows": _read_rows, "fetch_arrow": _read_arrow}


@pytest.mark.parametrize("begun", [True, False], ids=["begun", "any_moment"])
@pytest.mark.parametrize("path", sorted(READERS))
def test_close_under_a_reading_thread(impl: Any, server: Address, path: str, begun: bool,
                                      fast_switching: None) -> None:
    """``begun``: close() once the call has begun; else at any moment, also
    before the call or as it begins (it then fails at once: the call that
    begins while close() closes is refused, one that begins after it meets
    the closed socket)."""
    pytest.importorskip("pyarrow")
    read, whole = READERS[path], list(range(ITEMS))
    sockets: List[Any] = []
    ends = {"whole": 0, "closed": 0, "before": 0}
    stop = time.monotonic() + SECONDS
    for _ in range(ROUNDS):
        if time.monotonic() > stop:
            break
        conn = connect_to(impl, server)
        sockets.append(conn._socket)
        got: Dict[str, Any] = {}

        def reader(conn: Any = conn, got: Dict[str, Any] = got) -> None:
            try:
                got["value"] = read(conn)
            except BaseException as e:  # every outcome is checked below
                got["error"] = e

        thread = threading.Thread(target=reader)
        thread.start()
        while begun and conn.is_normal() and thread.is_alive():
            pass  # until the call has begun (its mark stands)
        time.sleep(random.random() * (0.01 if begun else 0.0005))
        conn.close()
        thread.join(30)
        assert not thread.is_alive()
        if "value" in got:
            assert got["value"] == whole
            ends["whole"] += 1
        else:
            error = got["error"]
            if type(error) is impl.ProtocolError and str(error) == CLOSED_DURING_CALL:
                ends["closed"] += 1
            else:
                assert not begun, repr(error)
                assert ((type(error) is RuntimeError and "another call is in progress" in str(error))
                        or (type(error) is OSError and error.errno == errno.EBADF)), repr(error)
                ends["before"] += 1
        conn.close()  # again: nothing left to close, no error
    assert ends["closed"] > 0 or not begun, ends
    assert still_open(sockets) == []


@pytest.mark.parametrize("another_call", [False, True])
def test_close_meets_the_end_of_the_call_between_their_steps(
        server: Address, monkeypatch: pytest.MonkeyPatch, another_call: bool) -> None:
    """The twin's close() shuts the call's socket down; the call removes its
    mark before close() looks again, and close() is done before the call looks
    what was asked.  The call still fails as closed during the call, and
    nothing is left open or marked.  A call begun in between is asked too."""
    import vantrel._pyconnection as twin

    conn = connect_to(twin, server)
    popped, closed, errors = threading.Event(), threading.Event(), []

    class Stepped(Dict[int, Any]):  # the two threads take turns where they meet
        def pop(self, *args: Any) -> Any:
            value = super().pop(*args)
            if threading.current_thread() is reader and not popped.is_set():
                if another_call:
                    twin._begin_call(conn)
                popped.set()
                closed.wait(10)
            return value

        def get(self, *args: Any) -> Any:
            if threading.current_thread() is closer:
                popped.wait(10)
            return super().get(*args)

        def __contains__(self, key: object) -> bool:  # the other way close() may look
            return self.get(key) is not None

    def read() -> None:
        try:
            conn.execute("feed", 200_000)
        except Exception as e:  # checked below
            errors.append(e)

    monkeypatch.setattr(twin, "_calls_in_progress", Stepped())
    reader = threading.Thread(target=read)
    closer = threading.Thread(target=lambda: (conn.close(), closed.set()))
    reader.start()
    while conn.is_normal():
        pass
    closer.start()
    for thread in (reader, closer):
        thread.join(30)
    assert [repr(e) for e in errors] == [repr(twin.ProtocolError(CLOSED_DURING_CALL))]
    assert conn._socket.fileno() == -1 and conn._sf.closed
    assert twin._end_call(conn) is another_call  # the call begun in between was asked
    assert not twin._calls_in_progress


def test_close_under_a_reading_task(server: Address) -> None:
    sockets: List[Any] = []

    async def one(how: str) -> str:
        conn = await aio.connect(server, {"user": "t"})
        sockets.append(conn._transport.get_extra_info("socket"))
        if how == "execute":
            call: Any = asyncio.ensure_future(conn.execute("feed", ITEMS))
        else:
            async def rows() -> Any:
                return [row async for row in aio.iter_rows(conn, "feed", ITEMS)]
            call = asyncio.ensure_future(rows())
        while not conn.busy:
            await asyncio.sleep(0)
        await asyncio.sleep(random.random() * 0.005)
        await conn.close()
        try:
            value = await call
        except aio.ProtocolError as e:
            assert str(e) == CLOSED_DURING_CALL
            return "closed"
        assert value == list(range(ITEMS))
        return "whole"

    async def main() -> Dict[str, int]:
        ends = {"whole": 0, "closed": 0}
        stop = time.monotonic() + SECONDS
        for i in range(ROUNDS):
            if time.monotonic() > stop:
                break
            ends[await one("execute" if i % 2 else "iter_rows")] += 1
        return ends

    ends = asyncio.run(main())
    assert ends["closed"] > 0, ends
    assert still_open(sockets) == []
