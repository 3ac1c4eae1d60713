"""The reference server under load, in a process of its own (load_server.py).

* 200 clients connected at once, each with its own thread and connection,
  make their calls (500 each under ``VANTREL_LONG=1``); every answer is
  checked, and the server's allocated blocks, tracked objects and open
  descriptors are the same after the run as after the warm-up.
* A flood of malformed clients (noise, bad headers, huge announced bodies,
  cut packets, clients that connect and say nothing, clients that leave in the
  middle of an answer) runs beside well-behaved clients, whose every answer
  must still be right; afterwards the server holds no descriptor more.
"""

from __future__ import annotations

import os
import random
import socket
import subprocess
import sys
import threading
import time
from types import ModuleType
from typing import Any, Callable, Iterator, List, Tuple

import pytest

from peer import close_quietly, connect_to, packet, python_env, raw_packet, run_threads
from vantrel.share.protocol import MSG_TYPE

from .sizes import scale

CLIENTS = 200
CALLS = scale(25, 500)
WARM_UP_CALLS = scale(5, 50)
FLOODERS = 6
FLOOD_EACH = scale(40, 400)
WELL_BEHAVED = 12
WELL_CALLS = scale(60, 600)
JOIN = 600.0
SLACK_BLOCKS = 3_000  # the server's caches; a leak of one block per call is 5,000 and more
Address = Tuple[str, int]


@pytest.fixture(scope="module")
def server() -> Iterator[Address]:
    script = os.path.join(os.path.dirname(__file__), "load_server.py")
    proc = subprocess.Popen([sys.executable, script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=python_env(), text=True)
    try:
        line = _read_line(proc, 30.0)
        if not line.strip().isdigit():
            assert proc.stderr is not None
            err = proc.stderr.read() if proc.poll() is not None else ""
            pytest.fail("load server did not start: %r %s" % (line, err))
        yield ("127.0.0.1", int(line))
    finally:
        proc.terminate()
        try:
            _, err = proc.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            proc.kill()
            _, err = proc.communicate()
    assert "Traceback" not in err, err[-3000:]


def _read_line(proc: subprocess.Popen[str], timeout: float) -> str:
    out: List[str] = []
    assert proc.stdout is not None
    stdout = proc.stdout
    reader = threading.Thread(target=lambda: out.append(stdout.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    return out[0] if out else ""


def server_stats(impl: ModuleType, address: Address) -> List[int]:
    conn = connect_to(impl, address)
    try:
        stats: List[int] = conn.execute("stats")
        return stats
    finally:
        close_quietly(conn)


def checked_calls(conn: Any, tid: int, calls: int) -> None:
    for i in range(calls):
        if i % 10 == 9:
            assert conn.execute("table", 3)[2] == {"id": 2, "name": "cyd", "score": 3.0}
        else:
            assert conn.execute("echo", tid, i) == [tid, i]


def test_two_hundred_clients(impl: ModuleType, server: Address) -> None:
    conns = [connect_to(impl, server, timeout=60.0) for _ in range(CLIENTS)]
    try:
        assert not run_threads(CLIENTS, lambda t: checked_calls(conns[t], t, WARM_UP_CALLS), JOIN)
        before = server_stats(impl, server)
        errors = run_threads(CLIENTS, lambda t: checked_calls(conns[t], t, CALLS), JOIN)
        assert not errors, errors[:3]
        assert all(c.is_normal() for c in conns)
        after = server_stats(impl, server)
    finally:
        for c in conns:
            close_quietly(c)
    blocks, objects, fds = (a - b for a, b in zip(after, before))
    print("\nload %s: %d clients x %d calls; server blocks %+d, gc objects %+d, fds %+d"
          % (impl.__name__, CLIENTS, CALLS, blocks, objects, fds))
    assert fds <= 0
    assert blocks <= SLACK_BLOCKS
    assert objects <= SLACK_BLOCKS


# -- the flood ----------------------------------------------------------------------


def _handshake() -> bytes:
    return packet(MSG_TYPE.HANDSHAKE, {"user": "flood"})


def _request(method: str, *args: Any) -> bytes:
    return packet(MSG_TYPE.REQUEST, (method, list(args), {}))


# name, bytes to send, what the client does next: "eof" reads until the server
# closes on it, "some" reads a little of an answer and leaves, "leave" goes at once.
MALFORMED: List[Tuple[str, Callable[[random.Random], bytes], str]] = [
    ("noise", lambda rng: bytes([rng.randrange(10, 256)] + [rng.randrange(256) for _ in range(rng.randrange(20, 200))]),
     "leave"),
    ("bad-type", lambda rng: raw_packet(99, 2, 0, 3, b"abc"), "eof"),
    ("bad-serializer", lambda rng: _handshake() + raw_packet(MSG_TYPE.REQUEST, 9, 0, 1, b"\x01"), "eof"),
    ("huge-length", lambda rng: raw_packet(MSG_TYPE.HANDSHAKE, 2, 0, 1 << 40), "eof"),
    ("cut-header", lambda rng: _handshake()[:7], "leave"),
    ("cut-body", lambda rng: _handshake() + _request("echo", "x" * 100)[:40], "leave"),
    ("undecodable", lambda rng: _handshake() + raw_packet(MSG_TYPE.REQUEST, 2, 1, 4, b"\x78\x9c\x00\x01"), "eof"),
    ("request-first", lambda rng: _request("echo", 1), "eof"),
    ("wrong-type-after", lambda rng: _handshake() + packet(MSG_TYPE.RESPONSE, 1), "eof"),
    ("bad-request-shape", lambda rng: _handshake() + packet(MSG_TYPE.REQUEST, {"not": "a triple"}), "some"),
    ("leave-mid-answer", lambda rng: _handshake() + _request("big_table", 20000, 500), "some"),
    ("nothing", lambda rng: b"", "leave"),
]
IDLERS = 20  # connections that send nothing or half a header and stay for the whole run


def flood_one(address: Address, data: bytes, then: str) -> None:
    """One malformed client."""
    with socket.create_connection(address, timeout=5.0) as s:
        try:
            if data:
                s.sendall(data)
            if then == "eof":
                while s.recv(65536):
                    pass
            elif then == "some":
                s.recv(100)
        except OSError:  # the server may cut a noisy client off at any point
            pass


def test_flood_of_malformed_clients(impl: ModuleType, server: Address) -> None:
    control = connect_to(impl, server)  # stays open: its descriptor is in both counts
    try:
        baseline = control.execute("stats")
        tried = [0] * FLOODERS

        def flooder(f: int) -> None:
            rng = random.Random(f)
            for n in range(FLOOD_EACH):
                _, make, then = MALFORMED[(f + n) % len(MALFORMED)]
                flood_one(server, make(rng), then)
                tried[f] += 1

        flood_done = threading.Event()
        good_calls = [0] * WELL_BEHAVED

        def well_behaved(t: int) -> None:
            # Calls in rounds for as long as the flood lasts (bounded).
            conn = connect_to(impl, server, timeout=60.0)
            try:
                for _ in range(1000):
                    checked_calls(conn, t, WELL_CALLS // 10)
                    good_calls[t] += WELL_CALLS // 10
                    if flood_done.is_set() and good_calls[t] >= WELL_CALLS:
                        break
            finally:
                close_quietly(conn)

        idlers = [socket.create_connection(server, timeout=5.0) for _ in range(IDLERS)]
        for idler in idlers[::2]:
            idler.sendall(_handshake()[:5])
        flood_errors: List[BaseException] = []

        def flood() -> None:
            try:
                flood_errors.extend(run_threads(FLOODERS, flooder, JOIN))
            finally:
                flood_done.set()

        flood_thread = threading.Thread(target=flood, daemon=True)
        flood_thread.start()
        good_errors = run_threads(WELL_BEHAVED, well_behaved, JOIN)
        flood_thread.join(JOIN)
        for idler in idlers:
            idler.close()
        assert not good_errors, good_errors[:3]
        assert not flood_errors, flood_errors[:3]
        assert control.execute("echo", "still here") == "still here"
        # The server closes what the flood left; wait for that, bounded.
        deadline = time.monotonic() + 30.0
        stats = control.execute("stats")
        while stats[2] > baseline[2] and time.monotonic() < deadline:
            time.sleep(0.1)
            stats = control.execute("stats")
    finally:
        close_quietly(control)
    print("\nflood %s: %d malformed clients and %d idle ones beside %d clients, %d calls; server fds %+d"
          % (impl.__name__, sum(tried), IDLERS, WELL_BEHAVED, sum(good_calls), stats[2] - baseline[2]))
    assert stats[2] <= baseline[2]
