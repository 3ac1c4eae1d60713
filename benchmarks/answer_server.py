"""A minimal server that answers every request with pre-encoded packets.

Run as a program (``python3 answer_server.py``), it listens on a free loopback
port, prints one JSON line ``{"port": PORT, "info": {...}}`` on stdout and
serves until its standard input closes, so it never outlives the benchmark
that started it.  Each connection gets a thread: the HANDSHAKE is answered by
an empty HANDSHAKE packet, and a REQUEST for method NAME by the packets of the
scenario NAME, written with one ``sendall``.  Nothing is encoded while serving.
"""

from __future__ import annotations

import json
import os
import socket
import sys
import threading
from typing import Dict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from payloads import build_all  # noqa: E402

from vantrel.share.codec import pack_header, unpack_header, unpack_one  # noqa: E402
from vantrel.share.protocol import HEADER_LENGTH, MSG_TYPE, SERIALIZATION_TYPE  # noqa: E402

_HANDSHAKE_REPLY = pack_header(MSG_TYPE.HANDSHAKE, SERIALIZATION_TYPE.MSGPACK, 0, 0)


def _serve(conn: socket.socket, answers: Dict[str, bytes]) -> None:
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    reader = conn.makefile("rb", 65536)
    try:
        while True:
            header = reader.read(HEADER_LENGTH)
            if len(header) != HEADER_LENGTH:
                return
            mt, st, cm, length = unpack_header(header)
            body = reader.read(length) if length > 0 else b""
            if len(body) != max(length, 0):
                return
            if mt == MSG_TYPE.HANDSHAKE:
                conn.sendall(_HANDSHAKE_REPLY)
            elif mt == MSG_TYPE.REQUEST:
                method = unpack_one(body, st, cm)[0]
                conn.sendall(answers[method])
            else:
                return
    except (OSError, KeyError):
        return
    finally:
        reader.close()
        conn.close()


def _watch_stdin(listener: socket.socket) -> None:
    sys.stdin.buffer.read()
    os._exit(0)


def main() -> None:
    answers, info = build_all()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)
    threading.Thread(target=_watch_stdin, args=(listener,), daemon=True).start()
    print(json.dumps({"port": listener.getsockname()[1], "info": info}), flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=_serve, args=(conn, answers), daemon=True).start()


if __name__ == "__main__":
    main()
