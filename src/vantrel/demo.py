"""``vantrel demo``: the reference server and a client connection on one machine.

Starts the demo server in a thread on 127.0.0.1 and a free port, connects
with :func:`vantrel.connect` on the chosen implementation and shows the whole
path, one line per step.
"""

from __future__ import annotations

import time
import warnings
from typing import Any, Callable, Dict, List, Optional, Tuple

from vantrel.client import Address, Connection, connect
from vantrel.server import DEMO_NOTICE, Credentials, ServerThread, demo_server
from vantrel.share.errors import AuthenticationError, ServerError

__all__ = ["DemoFailure", "run_demo"]

DEMO_USER = "demo"
DEMO_PASSWORD = "vantrel"


class DemoFailure(Exception):
    """A demo step gave another answer than the one the demo methods promise."""


def _short(value: Any, limit: int = 100) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _expect(what: str, got: Any, expected: Any) -> None:
    if got != expected:
        raise DemoFailure("%s: expected %s, got %s" % (what, _short(expected), _short(got)))


def _connect(impl: str, address: Address,
             auth: Dict[str, str]) -> Tuple[Connection, List[str]]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        conn = connect(address, auth, timeout=10.0, impl=impl)
    return conn, [str(w.message) for w in caught]


class _Clocks:
    """Wall time, and the CPU time of the server's thread and of this one, since made."""

    def __init__(self, server_thread: Optional[int]) -> None:
        self._server = None
        if server_thread is not None and hasattr(time, "pthread_getcpuclockid"):
            try:
                self._server = time.pthread_getcpuclockid(server_thread)
            except OSError:
                pass
        self._start = self._now()

    def _now(self) -> Tuple[float, float, float]:
        server = time.clock_gettime(self._server) if self._server is not None else float("nan")
        return time.perf_counter(), server, time.thread_time()

    def read(self) -> Tuple[float, float, float]:
        now = self._now()
        wall, server, client = (b - a for a, b in zip(self._start, now))
        return wall, server, client


def run_demo(impl: str, label: str, rows: int = 200_000,
             out: Callable[[str], None] = print) -> None:
    """Run the demo on implementation ``impl`` ("ext" or "twin"); raises on any failure."""
    started = time.perf_counter()
    server = demo_server(authenticator=Credentials({DEMO_USER: DEMO_PASSWORD}))
    thread = ServerThread(server)
    with thread as address:
        server_thread = thread.ident
        out("vantrel demo: reference server on %s:%d (in-process), client %s"
            % (address[0], address[1], label))

        try:
            accepted, _ = _connect(impl, address, {"user": DEMO_USER, "password": "wrong"})
        except AuthenticationError as e:
            out("  refused      wrong password -> %s (code %s): %s" % (type(e).__name__, e.code, e))
        else:
            accepted.close()
            raise DemoFailure("a wrong password was accepted")

        conn, notices = _connect(impl, address, {"user": DEMO_USER, "password": DEMO_PASSWORD})
        with conn:
            _expect("handshake notice", notices, [DEMO_NOTICE])
            out("  handshake    user %r accepted, notice (a warning): %r" % (DEMO_USER, notices[0]))
            normal_before = conn.is_normal()
            out("  is_normal()  %s" % normal_before)

            got = conn.execute("echo", "hello", 42)
            _expect("echo", got, ["hello", 42])
            out("  echo         execute('echo', 'hello', 42) -> %r" % (got,))
            got = conn.execute("add", 2, 40)
            _expect("add", got, 42)
            out("  add          execute('add', 2, 40) -> %r" % (got,))

            for method, args in (("big_table", (rows,)), ("trades", ("2024-05-02", rows))):
                clocks = _Clocks(server_thread)
                table = conn.execute(method, *args)
                elapsed, server_cpu, client_cpu = clocks.read()
                _expect("%s rows" % method, len(table), rows)
                if method == "big_table" and rows:
                    _expect("big_table last id", table[-1]["id"], rows - 1)
                rate = rows / elapsed if elapsed > 0 else 0.0
                out("  %-12s %s rows x %d columns in %.3f s = %s rows/s (server in this process)"
                    % (method, format(rows, ","), len(table[0]) if rows else 0, elapsed,
                       format(int(rate), ",")))
                out("               CPU: server %.3f s (rows made and encoded), client %.3f s "
                    "(rows read into dictionaries)" % (server_cpu, client_cpu))
                if rows:
                    out("               first row %s" % _short(table[0], 120))
                del table

            head, data = conn.execute("table2", 3)
            _expect("table2", (head, data), (["t", "value"], [[0, 0], [1, 1], [2, 4]]))
            out("  table2       execute('table2', 3) -> head %r, data %r" % (head, data))
            items = conn.execute("feed", 3)
            _expect("feed length", len(items), 3)
            out("  feed         execute('feed', 3) -> %s" % _short(items, 120))

            try:
                conn.execute("fail", "disk on fire")
            except ServerError as e:
                out("  error        execute('fail', 'disk on fire') raised %s (code %s): %s"
                    % (type(e).__name__, e.code, e))
            else:
                raise DemoFailure("fail() returned instead of raising")
            normal_after = conn.is_normal()
            out("  is_normal()  %s before, %s after the error" % (normal_before, normal_after))
            _expect("is_normal after the error", normal_after, True)
            _expect("echo after the error", conn.execute("echo", "still here"), "still here")
    out("done in %.2f s" % (time.perf_counter() - started))

