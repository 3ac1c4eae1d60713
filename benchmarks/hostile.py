"""Hostile clients against the reference server: its memory, and a good client's calls.

    PYTHONPATH=src python3 benchmarks/hostile.py [--seconds 10] [--attack NAME ...]
                                                 [--server-src DIR]

Each attack runs against a fresh server process (the demo methods, one user,
``handshake_timeout`` 3 s, ``idle_timeout`` 5 s, RLIMIT_NOFILE 1024, the other
limits at their defaults, unless the attack says otherwise), while a good
client connects, authenticates and calls ``add`` over and over, and another
calls ``add`` on one connection (over TLS against a TLS server).  Printed per
attack: the server's resident memory before, its growth at the peak and after
the attackers left, the good clients' calls, failures and longest call
(connect + handshake + call, and a call on an open connection), and the lines
the server logged at its default level (INFO).  Every attack is bounded in
count and time, and stays on the loopback interface.

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
* ``unauth-budget``: 2,100 connections each send a HANDSHAKE header that
  announces 64 KiB and nothing more (the server's RLIMIT_NOFILE is 4096 here);
* ``stalled-bodies``: 2 authenticated clients each announce a 64 MiB REQUEST
  and send 1 MiB of it (no ``idle_timeout`` here: the default settings);
* ``tls-abandon``: 1,000 connections to a TLS server, one after the other,
  that close during the TLS handshake (a third at once, a third after half a
  ClientHello, a third after a whole one);
* ``silent-3000``: as ``silent``, with 3,000 connections (evictions);
* ``guess``: 4 clients from 127.0.0.3 try wrong passwords as fast as they can;
* ``tls-to-plain``: 4 clients open TLS connections to the plain server.
"""

from __future__ import annotations

import argparse
import json
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
import json, logging, resource, ssl, sys
options = json.loads(sys.argv[1])
files = options.pop("files")
resource.setrlimit(resource.RLIMIT_NOFILE, (files, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
logging.basicConfig(level=logging.INFO, stream=sys.stderr)
from vantrel.server import Credentials, Server, demo_handlers, run
tls = None
if len(sys.argv) > 3:
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(sys.argv[2], sys.argv[3])
server = Server(demo_handlers(), authenticator=Credentials({%r: %r}), tls=tls, **options)
run(server, "127.0.0.1", 0, on_ready=lambda a: print(a[1], flush=True))
""" % (USER, PASSWORD)

#: The server's options: these, unless an attack says otherwise (OPTIONS).
DEFAULT_OPTIONS = {"handshake_timeout": 3.0, "idle_timeout": 5.0, "files": 1024}


class ServerProcess:
    def __init__(self, src: Optional[str], tls_files: Optional[Tuple[str, str]],
                 options: Dict[str, Any], log: Any) -> None:
        env = bootstrap.child_env()
        if src is not None:
            env["PYTHONPATH"] = src
        args = [sys.executable, "-c", SERVER, json.dumps(options)] + (list(tls_files) if tls_files else [])
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=log,
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
    """The server's resident memory, sampled every 20 ms, and its open descriptors,
    every 100 ms."""

    def __init__(self, server: ServerProcess) -> None:
        super().__init__(daemon=True)
        self.server = server
        self.peak = 0
        self.fds = 0
        self.stopping = threading.Event()

    def run(self) -> None:
        turn = 0
        while not self.stopping.is_set():
            self.peak = max(self.peak, self.server.rss())
            if turn % 5 == 0:
                try:
                    self.fds = max(self.fds, len(os.listdir("/proc/%d/fd" % self.server.proc.pid)))
                except OSError:
                    pass
            turn += 1
            time.sleep(0.02)


class GoodClient(threading.Thread):
    """Calls ``add`` in a loop: on a new connection each time, or on one kept open."""

    def __init__(self, address: Address, fresh: bool, tls: Any = None) -> None:
        super().__init__(daemon=True)
        self.address = address
        self.fresh = fresh
        self.tls = tls
        self.calls = 0
        self.failures = 0
        self.longest = 0.0
        self.recording = False
        self.stopping = threading.Event()
        self.since: Optional[float] = None  # the start of the call in progress

    def longest_so_far(self) -> float:
        """The longest call, counting the one in progress (a call that never ends)."""
        since = self.since
        return max(self.longest, time.perf_counter() - since if since is not None else 0.0)

    def run(self) -> None:
        import vantrel

        conn: Any = None
        while not self.stopping.is_set():
            t0 = self.since = time.perf_counter()
            try:
                if conn is None:
                    conn = vantrel.connect(self.address, {"user": USER, "password": PASSWORD},
                                           timeout=30, connect_timeout=30, tls=self.tls)
                assert conn.execute("add", 1, 2) == 3
                ok = True
            except Exception:
                ok = False
                if conn is not None:
                    conn.close()
                conn = None
            elapsed = time.perf_counter() - t0
            self.since = None
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


def raise_files(count: int) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, count + 200)), hard))


def unauth_budget(address: Address, stop: threading.Event, count: int = 2100) -> str:
    raise_files(count)
    header = pack_header(MSG_TYPE.HANDSHAKE, MSGPACK, 0, 64 * 1024)
    socks, closed = [], 0
    for _ in range(count):
        if stop.is_set():
            break
        try:
            sock = socket.create_connection(address, timeout=5)
            sock.sendall(header)
            socks.append(sock)
        except OSError:
            closed += 1
    stop.wait()
    for sock in socks:
        sock.close()
    return "%d connections announced a 64 KiB handshake (%d failed)" % (len(socks), closed)


def stalled_bodies(address: Address, stop: threading.Event, count: int = 2) -> str:
    socks = []
    for _ in range(count):
        sock = socket.create_connection(address, timeout=10)
        handshake(sock)
        sock.sendall(pack_header(MSG_TYPE.REQUEST, MSGPACK, 0, 64 * MIB) + b"\x93" + b"\0" * (MIB - 1))
        socks.append(sock)
    stop.wait()
    alive = 0
    for sock in socks:
        sock.setblocking(False)
        try:
            alive += sock.recv(1) != b""
        except BlockingIOError:
            alive += 1
        except OSError:
            pass
        sock.close()
    return "%d clients sent 1 MiB of a 64 MiB body; %d still connected" % (count, alive)


def client_hello() -> bytes:
    import ssl

    out = ssl.MemoryBIO()
    tls = ssl.create_default_context().wrap_bio(ssl.MemoryBIO(), out, server_hostname="127.0.0.1")
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return out.read()


def tls_abandon(address: Address, stop: threading.Event, count: int = 1000) -> str:
    hello = client_hello()
    done = 0
    for i in range(count):
        if stop.is_set():
            break
        try:
            with socket.create_connection(address, timeout=5) as sock:
                if i % 3 == 1:
                    sock.sendall(hello[:len(hello) // 2])
                elif i % 3 == 2:
                    sock.sendall(hello)
                    sock.recv(1)  # the server's first answer
            done += 1
        except OSError:
            pass
    stop.wait()
    return "%d TLS handshakes abandoned" % done


def silent_3000(address: Address, stop: threading.Event) -> str:
    return silent(address, stop, 3000)


def guess(address: Address, stop: threading.Event) -> str:
    from vantrel.share.codec import unpack_one

    tried, throttled = [0], [0]
    packet = pack_one({"user": USER, "password": "wrong"}, MSG_TYPE.HANDSHAKE, MSGPACK,
                      COMPRESSION_METHOD.NONE)

    def attacker() -> None:
        while not stop.is_set():
            try:
                with socket.create_connection(address, timeout=30, source_address=("127.0.0.3", 0)) as sock:
                    sock.sendall(packet)
                    header = recv_exact(sock, 12)
                    body = recv_exact(sock, int.from_bytes(header[4:], "big", signed=True))
                    if "too many" in unpack_one(body, header[1], header[2])[1]:
                        throttled[0] += 1
                    else:
                        tried[0] += 1
            except OSError:
                time.sleep(0.01)

    run_threads(4, attacker, stop)
    return ("%d wrong passwords tried from 127.0.0.3, %d attempts refused untried"
            % (tried[0], throttled[0]))


def tls_to_plain(address: Address, stop: threading.Event) -> str:
    import ssl

    context = ssl.create_default_context()
    tried = [0]

    def attacker() -> None:
        while not stop.is_set():
            try:
                with socket.create_connection(address, timeout=30) as sock:
                    context.wrap_socket(sock, server_hostname="127.0.0.1")
            except (OSError, ssl.SSLError):
                tried[0] += 1

    run_threads(4, attacker, stop)
    return "%d TLS clients against the plain server" % tried[0]


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
    "unauth-budget": unauth_budget,
    "stalled-bodies": stalled_bodies,
    "tls-abandon": tls_abandon,
    "silent-3000": silent_3000,
    "guess": guess,
    "tls-to-plain": tls_to_plain,
}

#: Server options of the attacks that do not use DEFAULT_OPTIONS as they are.
OPTIONS: Dict[str, Dict[str, Any]] = {
    "unauth-budget": {"files": 4096},
    "stalled-bodies": {"idle_timeout": None},
}
TLS_ATTACKS = ("tls-silent", "tls-abandon")


def run_attack(name: str, address: Address, seconds: float, notes: Any) -> None:
    stop = threading.Event()
    if name != "tls-silent":
        threading.Timer(seconds, stop.set).start()
    notes.put(ATTACKS[name](address, stop))


def certificate(directory: str) -> Tuple[str, str]:
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def measure(name: str, seconds: float, src: Optional[str]) -> Dict[str, Any]:
    import ssl

    tls_files = certificate(tempfile.mkdtemp()) if name in TLS_ATTACKS else None
    context = None
    if tls_files is not None:
        context = ssl.create_default_context(cafile=tls_files[0])
    log = tempfile.TemporaryFile("w+")  # noqa: SIM115 - closed once its lines are counted
    server = ServerProcess(src, tls_files, dict(DEFAULT_OPTIONS, **OPTIONS.get(name, {})), log)
    sampler = Sampler(server)
    good = [] if name == "tls-silent" else [GoodClient(server.address, True, context),
                                            GoodClient(server.address, False, context)]
    try:
        for g in good:
            g.start()
        time.sleep(1.0)  # warm-up
        before = server.rss()
        log.seek(0, os.SEEK_END)
        logged = log.tell()
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
        longest = [g.longest_so_far() for g in good]
        after = server.rss()
        sampler.stopping.set()
        sampler.join()
    finally:
        for g in good:
            g.stopping.set()
        server.stop()
    log.seek(logged)
    lines = log.read().splitlines()
    log.close()
    if os.environ.get("HOSTILE_SHOW_LOG"):
        sys.stderr.write("\n".join(lines[:20]) + "\n")
    return {
        "attack": name, "before_mib": before / MIB, "peak_mib": (sampler.peak - before) / MIB,
        "after_mib": (after - before) / MIB,
        "calls": sum(g.calls for g in good), "failures": sum(g.failures for g in good),
        "longest_fresh_s": longest[0] if good else float("nan"),
        "longest_call_s": longest[1] if good else float("nan"),
        "fds": sampler.fds,
        "log_lines": len(lines),
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
    print("load: %s" % os.getloadavg().__repr__(), flush=True)
    print("%-14s %9s %10s %10s %7s %5s %12s %12s %6s %5s  %s" % (
        "attack", "rss MiB", "peak +MiB", "after +MiB", "calls", "fail", "longest new",
        "longest call", "log", "fds", "note"), flush=True)
    for name in args.attack or list(ATTACKS):
        r = measure(name, args.seconds, args.server_src)
        print("%-14s %9.1f %10.1f %10.1f %7d %5d %11.3fs %11.3fs %6d %5d  %s" % (
            r["attack"], r["before_mib"], r["peak_mib"], r["after_mib"], r["calls"], r["failures"],
            r["longest_fresh_s"], r["longest_call_s"], r["log_lines"], r["fds"], r["note"]),
            flush=True)


if __name__ == "__main__":
    main()
