"""Malformed handshakes that carry a password, sent to the reference server; everything said back.

    python malformed_handshakes.py PASSWORD

Runs a server in a thread with its log at DEBUG on stderr (tracebacks
included), sends each handshake on a connection of its own and prints, on
stdout, the text of each reply, then the text, repr, arguments, chained
exceptions and traceback of what the codec raises for each body.  The codec is
the one ``VANTREL_PURE_PYTHON`` selects.  The caller looks for the password in
all of it.
"""

from __future__ import annotations

import json
import logging
import socket
import sys
import traceback
import zlib
from typing import Any, Dict, Iterator, List, Tuple

from vantrel.server import Credentials, ServerThread, demo_server
from vantrel.share.codec import pack_header, unpack_one
from vantrel.share.protocol import COMPRESSION_METHOD, MSG_TYPE, SERIALIZATION_TYPE

MSGPACK, JSON = int(SERIALIZATION_TYPE.MSGPACK), int(SERIALIZATION_TYPE.JSON)
NONE, ZLIB = int(COMPRESSION_METHOD.NONE), int(COMPRESSION_METHOD.ZLIB)


def _str(text: bytes) -> bytes:
    """A MSGPACK str header for ``text`` (under 256 bytes) and the bytes themselves."""
    return (bytes([0xA0 | len(text)]) if len(text) < 32 else b"\xd9" + bytes([len(text)])) + text


def bodies(password: str) -> List[Tuple[str, int, int, bytes]]:
    """(name, serializer, compression, body) of each malformed handshake."""
    secret = password.encode()
    record = b"\x82" + _str(b"user") + _str(b"ann") + _str(b"password") + _str(secret)
    text = json.dumps({"user": "ann", "password": password}).encode()
    return [
        ("extra-bytes", MSGPACK, NONE, record + b"\xc0\xc0\xc0"),
        ("one-extra-byte", MSGPACK, NONE, record + b"\x01"),
        ("bad-utf8", MSGPACK, NONE,
         b"\x82" + _str(b"user") + _str(b"ann") + _str(b"password") + _str(secret + b"\xff")),
        ("cut", MSGPACK, NONE, record[:-1]),
        ("unused-byte", MSGPACK, NONE, record[:-3] + b"\xc1" + record[-2:]),
        ("unhashable-key", MSGPACK, NONE, b"\x82" + _str(b"password") + _str(secret) + b"\x91\x01\x01"),
        ("json-extra", JSON, NONE, text + b" x"),
        ("json-bad-utf8", JSON, NONE, text[:-2] + b"\xff\"}"),
        ("json-cut", JSON, NONE, text[:-1]),
        ("zlib-extra", MSGPACK, ZLIB, zlib.compress(record + b"\xc0")),
        ("zlib-cut", MSGPACK, ZLIB, zlib.compress(record)[:-3]),
        ("too-many-objects", MSGPACK, NONE,
         b"\x82" + _str(b"password") + _str(secret) + _str(b"pad") + b"\xdc\x07\xd0" + b"\x90" * 2000),
        ("too-large", MSGPACK, NONE, record + b"\xc4\xff" + b"\0" * 255 + b"\0" * 70_000),
    ]


def exception_texts(exc: BaseException) -> Iterator[str]:
    """Every text a caller or a log can get from ``exc`` and the exceptions chained to it."""
    seen: List[BaseException] = []
    e: Any = exc
    while e is not None and e not in seen:
        seen.append(e)
        yield str(e)
        yield repr(e)
        yield repr(e.args)
        e = e.__cause__ or e.__context__
    yield "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))


def reply_to(address: Tuple[str, int], packet: bytes) -> str:
    with socket.create_connection(address, timeout=10) as sock:
        try:
            sock.sendall(packet)
        except OSError as e:
            return "send failed: %r" % e
        data = b""
        try:
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                data += chunk
        except OSError as e:
            data += ("(%r)" % e).encode()
        return data.decode("utf-8", "backslashreplace")


def main() -> None:
    password = sys.argv[1]
    logging.basicConfig(level=logging.DEBUG, stream=sys.stderr,
                        format="%(levelname)s %(name)s %(message)s")
    out: Dict[str, List[str]] = {}
    server = demo_server(authenticator=Credentials({"ann": password}), handshake_timeout=2.0)
    with ServerThread(server) as address:
        for name, st, cm, body in bodies(password):
            for mt in (MSG_TYPE.HANDSHAKE, MSG_TYPE.REQUEST):
                packet = pack_header(mt, st, cm, len(body)) + body
                out.setdefault(name, []).append(reply_to(address, packet))
    for name, st, cm, body in bodies(password):
        try:
            unpack_one(body, st, cm, 65536)
        except Exception as e:
            out[name].extend(exception_texts(e))
        else:
            out[name].append("decoded")
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
