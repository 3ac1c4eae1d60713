"""The ``vantrel`` command line: ``serve``, ``call`` and ``demo``.

Exit codes of ``call``: 0 success, 1 an error reported by the server, 2 bad
usage, 3 a connection or protocol error.  Every failure is one message on
stderr, never a traceback.
"""

from __future__ import annotations

import argparse
import importlib
import json
import logging
import ssl
import sys
from types import ModuleType
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

from vantrel._connect import open_connection

EXIT_OK = 0
EXIT_SERVER_ERROR = 1
EXIT_USAGE = 2
EXIT_CONNECTION = 3

IMPLS = {
    "ext": ("vantrel.connection", "vantrel.connection (compiled)"),
    "twin": ("vantrel._pyconnection", "vantrel._pyconnection (pure Python)"),
}
COMPRESSIONS = ("none", "zlib", "snappy", "brotli", "zstd")


class UsageError(Exception):
    """Bad arguments that argparse itself cannot detect."""


def _err(message: str) -> None:
    print("vantrel: %s" % message, file=sys.stderr, flush=True)


# -- argument parsing ------------------------------------------------------------


def parse_address(text: str) -> Tuple[str, int]:
    """``HOST:PORT`` (``[v6]:PORT`` for an IPv6 address) into a pair."""
    host, sep, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise UsageError("bad address %r: expected HOST:PORT" % (text,))
    return host, int(port)


def parse_value(text: str) -> Any:
    """JSON where the text parses as JSON, else the text itself."""
    try:
        return json.loads(text)
    except ValueError:
        return text


def parse_keywords(items: Sequence[str]) -> Dict[str, Any]:
    kwargs: Dict[str, Any] = {}
    for item in items:
        name, sep, value = item.partition("=")
        if not sep or not name:
            raise UsageError("bad --kw %r: expected NAME=VALUE" % (item,))
        kwargs[name] = parse_value(value)
    return kwargs


def load_impl(name: str) -> Tuple[ModuleType, str]:
    modname, label = IMPLS[name]
    return importlib.import_module(modname), label


# -- output ------------------------------------------------------------------------


def _json_default(obj: Any) -> Any:
    if isinstance(obj, (bytes, bytearray, memoryview)):
        return bytes(obj).hex()
    if isinstance(obj, (set, frozenset, tuple)):
        return list(obj)
    return repr(obj)


def to_json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, default=_json_default)


def _cell(value: Any) -> str:
    return value if isinstance(value, str) else to_json(value)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def aligned(header: Sequence[Any], rows: Sequence[Sequence[Any]]) -> List[str]:
    """Rows as aligned columns under a header line; numbers right-aligned."""
    ncols = max([len(header)] + [len(r) for r in rows])
    texts = [[_cell(v) for v in r] + [""] * (ncols - len(r)) for r in rows]
    head = [_cell(h) for h in header] + [""] * (ncols - len(header))
    widths = [max([len(head[i])] + [len(t[i]) for t in texts]) for i in range(ncols)]
    numeric = [bool(rows) and all(_is_number(r[i]) for r in rows if i < len(r))
               for i in range(ncols)]
    lines = ["  ".join(h.rjust(w) if n else h.ljust(w)
                       for h, w, n in zip(head, widths, numeric)).rstrip(),
             "  ".join("-" * w for w in widths)]
    for t in texts:
        lines.append("  ".join(c.rjust(w) if n else c.ljust(w)
                               for c, w, n in zip(t, widths, numeric)).rstrip())
    return lines


def _dict_rows(result: List[dict]) -> List[str]:
    columns: List[Any] = []
    seen = set()
    for row in result:
        for key in row:
            if key not in seen:
                seen.add(key)
                columns.append(key)
    return aligned(columns, [[row.get(c) for c in columns] for row in result])


def _is_table2(result: Any) -> bool:
    # execute returns a tuple only for a table2 stream; other answers decode to lists.
    return isinstance(result, tuple) and len(result) == 2 and isinstance(result[1], list)


def render(result: Any, fmt: str) -> List[str]:
    """The lines that ``call`` prints for ``result`` in format ``fmt`` (auto, table, json)."""
    if fmt == "json":
        if _is_table2(result):
            return [to_json(result[0])] + [to_json(e) for e in result[1]]
        if isinstance(result, list):
            return [to_json(item) for item in result]
        return [to_json(result)]
    if _is_table2(result):
        head, data = result
        if data and all(isinstance(e, (list, tuple)) for e in data) and isinstance(head, list):
            return aligned(head, data)
        return ["head: " + to_json(head)] + [to_json(e) for e in data]
    if isinstance(result, list) and result and all(isinstance(r, dict) for r in result):
        return _dict_rows(result)
    if fmt == "table" and isinstance(result, list):
        return [to_json(item) for item in result] if result else ["(empty)"]
    return [to_json(result)]


# -- commands --------------------------------------------------------------------------


def cmd_serve(args: argparse.Namespace) -> int:
    from vantrel.server import Credentials, Server, demo_handlers, parse_credential, run

    logging.basicConfig(level=getattr(logging, args.log_level.upper()),
                        format="%(asctime)s %(name)s %(levelname)s %(message)s", stream=sys.stderr)
    if (args.tls_cert is None) != (args.tls_key is None):
        _err("--tls-cert and --tls-key go together")
        return EXIT_USAGE
    try:
        pairs = [parse_credential(a) for a in args.auth]
        tls = None
        if args.tls_cert is not None:
            tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            tls.load_cert_chain(args.tls_cert, args.tls_key)
        server = Server(demo_handlers(), notice=args.notice, compression=args.compression,
                        authenticator=Credentials(pairs) if pairs else None, tls=tls,
                        idle_timeout=args.idle_timeout)
    except (ValueError, OSError) as e:
        _err(str(e))
        return EXIT_USAGE

    def ready(address: Tuple[str, int]) -> None:
        print("vantrel: serving on %s:%d (methods: %s)"
              % (address[0], address[1], ", ".join(server.methods)), flush=True)

    try:
        run(server, args.host, args.port, on_ready=ready)
    except OSError as e:
        _err("cannot serve on %s:%d: %s" % (args.host, args.port, e))
        return EXIT_CONNECTION
    return EXIT_OK


def cmd_call(args: argparse.Namespace, stdout: TextIO) -> int:
    from vantrel.share.errors import ServerError
    from vantrel.utils import connection_error

    address = parse_address(args.address)
    kwargs = parse_keywords(args.kw)
    values = [parse_value(a) for a in args.args]
    auth: Dict[str, Any] = {}
    if args.user is not None:
        auth["user"] = args.user
    if args.password is not None:
        auth["password"] = args.password
    try:
        module, _ = load_impl(args.impl)
    except ImportError as e:
        _err("cannot load the connection module (%s); try --impl twin" % e)
        return EXIT_CONNECTION
    where = "%s:%d" % address
    try:
        tls = None
        if args.tls or args.tls_ca is not None:
            tls = ssl.create_default_context(cafile=args.tls_ca)
        conn, notices = open_connection(module, address, auth, args.timeout, tls)
        try:
            for notice in notices:
                _err("notice from %s: %s" % (where, notice))
            result = conn.execute(args.method, *values, **kwargs)
        finally:
            conn.close()
    except ServerError as e:
        _err("server error %s (code %s): %s" % (type(e).__name__, e.code, e))
        return EXIT_SERVER_ERROR
    except (connection_error, OSError) as e:
        _err("connection to %s failed: %s: %s" % (where, type(e).__name__, e))
        return EXIT_CONNECTION
    except Exception as e:  # anything else on the way (an undecodable answer, ...)
        _err("call to %s failed: %s: %s" % (where, type(e).__name__, e))
        return EXIT_CONNECTION
    for line in render(result, args.format):
        stdout.write(line + "\n")
    stdout.flush()
    return EXIT_OK


def cmd_demo(args: argparse.Namespace, stdout: TextIO) -> int:
    from vantrel.server.showcase import run_demo

    try:
        module, label = load_impl(args.impl)
    except ImportError as e:
        _err("cannot load the connection module (%s); try --impl twin" % e)
        return EXIT_CONNECTION
    try:
        run_demo(module, label, rows=args.rows,
                 out=lambda line: print(line, file=stdout, flush=True))
    except Exception as e:
        _err("demo failed: %s: %s" % (type(e).__name__, e))
        return 1
    return EXIT_OK


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vantrel", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    p = sub.add_parser("serve", help="run the reference server with the demo methods")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=7878, help="0 picks a free port (default 7878)")
    p.add_argument("--auth", action="append", default=[], metavar="USER:SECRET",
                   help="accept only these credentials (repeatable); default: accept everyone")
    p.add_argument("--compression", default="none", choices=COMPRESSIONS)
    p.add_argument("--notice", default=None, help="text sent with every handshake reply")
    p.add_argument("--tls-cert", metavar="FILE", help="serve TLS with this certificate (PEM)")
    p.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    p.add_argument("--idle-timeout", type=float, default=None, metavar="S",
                   help="disconnect clients that send no request for S seconds")
    p.add_argument("--log-level", default="info", choices=("debug", "info", "warning", "error"))

    p = sub.add_parser("call", help="run one remote call and print its result")
    p.add_argument("address", metavar="HOST:PORT")
    p.add_argument("method", metavar="METHOD")
    p.add_argument("args", nargs="*", metavar="ARG", help="JSON where it parses, else text")
    p.add_argument("--kw", action="append", default=[], metavar="NAME=VALUE",
                   help="a named argument (repeatable)")
    p.add_argument("--user")
    p.add_argument("--password")
    p.add_argument("--timeout", type=float, default=10.0, metavar="S")
    p.add_argument("--tls", action="store_true", help="connect with TLS (system certificates)")
    p.add_argument("--tls-ca", metavar="FILE", help="connect with TLS, trusting this CA file")
    p.add_argument("--format", default="auto", choices=("auto", "table", "json"))
    p.add_argument("--impl", default="ext", choices=sorted(IMPLS),
                   help="connection module: ext (compiled, default) or twin (pure Python)")

    p = sub.add_parser("demo", help="server and client on this machine, the whole path shown")
    p.add_argument("--rows", type=int, default=200_000, help="rows of the big table")
    p.add_argument("--impl", default="ext", choices=sorted(IMPLS),
                   help="connection module: ext (compiled, default) or twin (pure Python)")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # argparse: 2 for bad usage, 0 for --help
        return e.code if isinstance(e.code, int) else EXIT_USAGE
    try:
        if args.command == "serve":
            return cmd_serve(args)
        if args.command == "call":
            return cmd_call(args, sys.stdout)
        if args.command == "demo":
            return cmd_demo(args, sys.stdout)
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    except UsageError as e:
        _err(str(e))
        return EXIT_USAGE
    except KeyboardInterrupt:
        _err("interrupted")
        return 130
    except BrokenPipeError:
        return EXIT_OK
