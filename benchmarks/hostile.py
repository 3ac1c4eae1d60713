"""Hostile clients against the reference server: its memory, and a good client's calls.

    PYTHONPATH=src python3 benchmarks/hostile.py [--seconds 10] [--attack NAME ...]
                                                 [--server-src DIR]

Each attack runs against a fresh server process (the demo methods, one user,
``handshake_timeout`` 3 s, ``idle_timeout`` 5 s, RLIMIT_NOFILE 1024, the other
limits at their defaults), while a good client connects, authenticates and
calls ``add`` over and over, and another calls ``add`` on one connection.
Printed per attack: the server's resident memory before, its growth at the
peak and after the attackers left, and the good clients' calls, failures and
longest call (connect + handshake + call, and a call on an open connection).

``--server-src DIR`` runs the server from another source tree (its ``src``
folder with the compiled modules in it), to compare with an older version.

Attacks (``none`` first: the same figures without any attacker, as the
machine's load allows them):

* ``bomb``: 4 clients send, over and over, a 500-byte zstd HANDSHAKE that
  expands to a MessagePack array of 16,000,000 empty arrays;
* ``big-handshake``: 8 clients each announce a 64 MiB HANDSHAKE and send 63 MiB;
* ``silent``: 1,100 connections that send nothing, reopened when closed;
* ``non-readers``: 100 clients ask for ``big_table(10,000,000)`` and read nothing;
* ``tls-silent``: 50 connections to a TLS server that send nothing; the
  figure is when the last of them is closed.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import resource
import selectors
import socket
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

import bootstrap
from vantrel.share.codec import pack_header, pack_one
from vantrel.share.protocol import COMPRESSION_METHOD, MSG_TYPE, SERIALIZATION_TYPE

Address = Tuple[str, int]
MSGPACK = int(SERIALIZATION_TYPE.MSGPACK)
USER, PASSWORD = "ann", "good-pw"
MIB = 1024 * 1024

SERVER = r"""
import logging, resource, ssl, sys
resource.setrlimit(resource.RLIMIT_NOFILE, (1024, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
logging.basicConfig(level=logging.ERROR, stream=sys.stderr)
from vantrel.server import Credentials, Server, demo_handlers, run
tls = None
if len(sys.argv) > 2:
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(sys.argv[1], sys.argv[2])
server = Server(demo_handlers(), authenticator=Credentials({%r: %r}), handshake_timeout=3.0,
                idle_timeout=5.0, tls=tls)
run(server, "127.0.0.1", 0, on_ready=lambda a: print(a[1], flush=True))
""" % (USER, PASSWORD)


class ServerProcess:
    def __init__(self, src: Optional[str], tls_files: Optional[Tuple[str, str]]) -> None:
        env = bootstrap.child_env()
        if src is not None:
            env["PYTHONPATH"] = src
        args = [sys.executable, "-c", SERVER] + (list(tls_files) if tls_files else [])
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     env=env, text=True)
        assert self.proc.stdout is not None
        line = self.proc.stdout.readline()
        if not line.strip().isdigit():
            raise RuntimeError("the server did not start: %r" % line)
        self.address: Address = ("127.0.0.1", int(line))

    def rss(self) -> int:
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) * 1024
        except OSError:
            pass
        return 0

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Sampler(threading.Thread):
    """The server's resident memory, sampled every 20 ms."""

    def __init__(self, server: ServerProcess) -> None:
        super().__init__(daemon=True)
        self.server = server
        self.peak = 0
        self.stopping = threading.Event()

    def run(self) -> None:
        while not self.stopping.is_set():
            self.peak = max(self.peak, self.server.rss())
            time.sleep(0.02)


class GoodClient(threading.Thread):
    """Calls ``add`` in a loop: on a new connection each time, or on one kept open."""

    def __init__(self, address: Address, fresh: bool) -> None:
        super().__init__(daemon=True)
        self.address = address
        self.fresh = fresh
        self.calls = 0
        self.failures = 0
        self.longest = 0.0
        self.recording = False
        self.stopping = threading.Event()

    def run(self) -> None:
        import vantrel

        conn: Any = None
        while not self.stopping.is_set():
            t0 = time.perf_counter()
            try:
                if conn is None:
                    conn = vantrel.connect(self.address, {"user": USER, "password": PASSWORD},
                                           timeout=30, connect_timeout=30)
                assert conn.execute("add", 1, 2) == 3
                ok = True
            except Exception:
                ok = False
                if conn is not None:
                    conn.close()
                conn = None
            elapsed = time.perf_counter() - t0
            if self.fresh and conn is not None:
                conn.close()
                conn = None
            if self.recording:
                self.calls += 1
                self.failures += not ok
                self.longest = max(self.longest, elapsed)
            time.sleep(0.02)
        if conn is not None:
            conn.close()


def handshake(sock: socket.socket) -> None:
    sock.sendall(pack_one({"user": USER, "password": PASSWORD}, MSG_TYPE.HANDSHAKE, MSGPACK,
                          COMPRESSION_METHOD.NONE))
    header = recv_exact(sock, 12)
    length = int.from_bytes(header[4:], "big", signed=True)
    if length > 0:
        recv_exact(sock, length)


def recv_exact(sock: socket.socket, n: int) -> bytes:
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def read_to_end(sock: socket.socket) -> None:
    try:
        while sock.recv(65536):
            pass
    except OSError:
        pass


# -- the attacks: each runs until `stop` is set and returns a note --------------------


def bomb(address: Address, stop: threading.Event) -> str:
    import zstandard

    count = 16_000_000
    body = zstandard.ZstdCompressor(level=19).compress(
        b"\xdd" + count.to_bytes(4, "big") + b"\x90" * count)
    packet = pack_header(MSG_TYPE.HANDSHAKE, MSGPACK, COMPRESSION_METHOD.ZSTD, len(body)) + body
    sent = [0]

    def attacker() -> None:
        while not stop.is_set():
            try:
                with socket.create_connection(address, timeout=30) as sock:
                    sock.sendall(packet)
                    read_to_end(sock)
                sent[0] += 1
            except OSError:
                time.sleep(0.01)

    run_threads(4, attacker, stop)
    return "%d bombs of %d bytes" % (sent[0], len(packet))


def big_handshake(address: Address, stop: threading.Event) -> str:
    sent = [0]
    chunk = b"\0" * MIB

    def attacker() -> None:
        while not stop.is_set():
            try:
                with socket.create_connection(address, timeout=30) as sock:
                    sock.sendall(pack_header(MSG_TYPE.HANDSHAKE, MSGPACK, 0, 64 * MIB))
                    for _ in range(63):
                        if stop.is_set():
                            break
                        sock.sendall(chunk)
                        sent[0] += 1
                    stop.wait()  # hold the connection
            except OSError:
                time.sleep(0.01)

    run_threads(8, attacker, stop)
    return "%d MiB sent" % sent[0]


def silent(address: Address, stop: threading.Event, count: int = 1100) -> str:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, count + 200)), hard))
    sel = selectors.DefaultSelector()
    opened = closed = 0
    socks: List[socket.socket] = []

    def open_one() -> None:
        nonlocal opened
        try:
            sock = socket.create_connection(address, timeout=0.5)
        except OSError:
            return
        sock.setblocking(False)
        sel.register(sock, selectors.EVENT_READ)
        socks.append(sock)
        opened += 1

    while not stop.is_set():
        while len(socks) < count and not stop.is_set():
            open_one()
        for key, _ in sel.select(0.1):
            sock = key.fileobj
            assert isinstance(sock, socket.socket)
            try:
                data = sock.recv(1)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                data = b""
            if not data:
                sel.unregister(sock)
                socks.remove(sock)
                sock.close()
                closed += 1
    for sock in socks:
        sock.close()
    return "%d connections opened, %d closed by the server" % (opened, closed)


def non_readers(address: Address, stop: threading.Event, count: int = 100) -> str:
    socks = []
    for _ in range(count):
        sock = socket.create_connection(address, timeout=10)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        handshake(sock)
        sock.sendall(pack_one(("big_table", [10_000_000], {}), MSG_TYPE.REQUEST, MSGPACK,
                              COMPRESSION_METHOD.NONE))
        socks.append(sock)
    stop.wait()
    alive = 0
    for sock in socks:
        # What was received before a reset is read first; then the reset or the
        # end shows, or, on a connection still open, nothing more for now.
        sock.setblocking(False)
        try:
            while sock.recv(1 << 16):
                pass
        except BlockingIOError:
            alive += 1
        except OSError:
            pass
        sock.close()
    return "%d of %d still connected at the end" % (alive, count)


def tls_silent(address: Address, stop: threading.Event, count: int = 50) -> str:
    socks = [socket.create_connection(address, timeout=120) for _ in range(count)]
    t0 = time.monotonic()
    last = 0.0
    for sock in socks:
        read_to_end(sock)
        last = time.monotonic() - t0
        sock.close()
    return "the last silent TLS connection was closed after %.1f s" % last


def run_threads(n: int, target: Callable[[], None], stop: threading.Event) -> None:
    threads = [threading.Thread(target=target, daemon=True) for _ in range(n)]
    for t in threads:
        t.start()
    stop.wait()
    for t in threads:
        t.join(10)


def nothing(address: Address, stop: threading.Event) -> str:
    stop.wait()
    return "no attack: the good clients' figures on this machine as it is"


ATTACKS: Dict[str, Callable[[Address, threading.Event], str]] = {
    "none": nothing,
    "bomb": bomb,
    "big-handshake": big_handshake,
    "silent": silent,
    "non-readers": non_readers,
    "tls-silent": tls_silent,
}


def run_attack(name: str, address: Address, seconds: float, notes: Any) -> None:
    stop = threading.Event()
    if name != "tls-silent":
        threading.Timer(seconds, stop.set).start()
    notes.put(ATTACKS[name](address, stop))


def certificate(directory: str) -> Tuple[str, str]:
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def measure(name: str, seconds: float, src: Optional[str]) -> Dict[str, Any]:
    tls_files = certificate(tempfile.mkdtemp()) if name == "tls-silent" else None
    server = ServerProcess(src, tls_files)
    sampler = Sampler(server)
    good = [] if tls_files else [GoodClient(server.address, True), GoodClient(server.address, False)]
    try:
        for g in good:
            g.start()
        time.sleep(1.0)  # warm-up
        before = server.rss()
        sampler.start()
        for g in good:
            g.recording = True
        # The attack runs in a process of its own, so that it takes no time
        # from the good clients' threads.
        notes: Any = multiprocessing.Queue()
        attack = multiprocessing.Process(target=run_attack, args=(name, server.address, seconds, notes),
                                         daemon=True)
        attack.start()
        attack.join(150)
        note = [notes.get(timeout=5)] if not notes.empty() else []
        time.sleep(2.0)  # the attackers are gone
        for g in good:
            g.recording = False
        after = server.rss()
        sampler.stopping.set()
        sampler.join()
    finally:
        for g in good:
            g.stopping.set()
        server.stop()
    return {
        "attack": name, "before_mib": before / MIB, "peak_mib": (sampler.peak - before) / MIB,
        "after_mib": (after - before) / MIB,
        "calls": sum(g.calls for g in good), "failures": sum(g.failures for g in good),
        "longest_fresh_s": good[0].longest if good else float("nan"),
        "longest_call_s": good[1].longest if good else float("nan"),
        "note": note[0] if note else "(attack did not finish)",
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each attack")
    parser.add_argument("--attack", action="append", choices=sorted(ATTACKS),
                        help="the attacks to run (default all)")
    parser.add_argument("--server-src", default=None,
                        help="PYTHONPATH of the server process (another source tree)")
    args = parser.parse_args()
    multiprocessing.set_start_method("fork")
    print("%-14s %9s %10s %10s %7s %5s %12s %12s  %s" % (
        "attack", "rss MiB", "peak +MiB", "after +MiB", "calls", "fail", "longest new",
        "longest call", "note"), flush=True)
    for name in args.attack or list(ATTACKS):
        r = measure(name, args.seconds, args.server_src)
        print("%-14s %9.1f %10.1f %10.1f %7d %5d %11.3fs %11.3fs  %s" % (
            r["attack"], r["before_mib"], r["peak_mib"], r["after_mib"], r["calls"], r["failures"],
            r["longest_fresh_s"], r["longest_call_s"], r["note"]), flush=True)


if __name__ == "__main__":
    main()
