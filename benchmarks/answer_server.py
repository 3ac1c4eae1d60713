"""A server that answers every request with pre-encoded packets: the scripted peer of the tests.

Run as a program (``python3 answer_server.py``), it listens on a free loopback
port, prints one JSON line ``{"port": PORT, "info": {...}}`` on stdout and
serves until its standard input closes, so it never outlives the benchmark
that started it.  Each connection gets a thread: the handshake is answered by
an empty HANDSHAKE packet, and a REQUEST for method NAME by the packets of the
scenario NAME, written with one ``sendall``.  Nothing is encoded while serving.
"""

from __future__ import annotations

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(HERE, os.pardir, "tests"))  # the scripted peer

from payloads import build_all  # noqa: E402
from peer import Peer, Received, answer_each, handshake_reply, recv, send  # noqa: E402

IDLE = 24 * 3600.0  # a client may stay idle between its scenarios for as long as it likes


def main() -> None:
    answers, info = build_all()

    def answer(request: Received) -> bytes:
        return answers[request.body[0]]

    script = [recv(record=False), send(handshake_reply()), answer_each(answer)]
    peer = Peer(script, timeout=IDLE, clients=None, concurrent=True)
    print(json.dumps({"port": peer.address[1], "info": info}), flush=True)
    sys.stdin.buffer.read()
    os._exit(0)


if __name__ == "__main__":
    main()
