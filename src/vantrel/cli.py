"""The vantrel command line: serve, call and demo.

Every failure is one line on stderr, never a traceback.  Exit codes are the
``EXIT_*`` constants below.
"""

from __future__ import annotations

import argparse
import getpass
import io
import json
import logging
import math
import os
import signal
import socket
import ssl
import sys
import threading
import warnings
from contextlib import contextmanager
from typing import Any, BinaryIO, Dict, Iterator, List, NoReturn, Optional, Sequence, TextIO, Tuple

from vantrel import __version__
from vantrel._address import Target, format_address, parse_target
from vantrel._impls import CONNECTION_MODULES, connection_module, pure_python
from vantrel._outfile import (
    ARROW_KINDS,
    KINDS,
    PARQUET_COMPRESSIONS,
    STDOUT,
    ArrowOptions,
    OutputFileError,
    OutputKind,
    check_output,
)
from vantrel._output import FORMATS, OutputError
from vantrel._progress import Progress, received_bytes
from vantrel._settings import url_tls
from vantrel.errors import ConnectError, ConnectionClosed

EXIT_OK = 0
EXIT_SERVER_ERROR = 1   # call: the server answered with an error
EXIT_DEMO_FAILED = 1    # demo: a step did not give the answer it should
EXIT_USAGE = 2          # bad arguments, missing or unreadable files
EXIT_CONNECTION = 3     # no connection, a protocol error, a time-out, an undecodable answer
EXIT_INTERRUPTED = 130  # Ctrl-C (128 + SIGINT)
EXIT_SIGNALLED = 128    # call: + the number of the SIGTERM or SIGHUP that stopped it

EXIT_CODES_HELP = """\
exit codes:
  0  success
  1  call: the server reported an error; demo: a step failed
  2  bad usage
  3  connection, protocol or time-out error; the module or a codec library is missing
  128+N  call: stopped by signal N (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP); no file is left
"""

IMPL_LABELS = {
    "ext": "vantrel.connection (compiled)",
    "twin": "vantrel._pyconnection (pure Python)",
}
COMPRESSIONS = ("none", "zlib", "snappy", "brotli", "zstd")
DEFAULT_TIMEOUT = 10.0  # call: seconds for the connect, and for the call as a whole


class UsageError(Exception):
    """Bad arguments found after parsing (a file that does not load, ...)."""


class Parser(argparse.ArgumentParser):
    """Usage errors as one line: ``vantrel call: argument --timeout: ... (see ...)``."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, "%s: %s (see '%s --help')\n" % (self.prog, message, self.prog))


def _err(message: str) -> None:
    print("vantrel: %s" % message, file=sys.stderr, flush=True)


# -- argument types ------------------------------------------------------------------


def port_number(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError("%r is not a port number (0 to 65535)" % (text,))
    return int(text)


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        return math.nan


def seconds(text: str) -> float:
    value = _number(text)
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError("%r is not a positive number of seconds" % (text,))
    return value


def grace_seconds(text: str) -> float:
    value = _number(text)
    if not (value >= 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError("%r is not a number of seconds >= 0" % (text,))
    return value


def count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError("%r is not a whole number >= 0" % (text,))
    return int(text)


def existing_file(text: str) -> str:
    if not os.path.isfile(text):
        raise argparse.ArgumentTypeError("no such file: %s" % text)
    return text


def credential(text: str) -> Tuple[str, str]:
    from vantrel.server import parse_credential

    try:
        return parse_credential(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected USER:SECRET") from None


def parse_value(text: str) -> Any:
    """JSON where the text parses as JSON, else the text itself."""
    try:
        return json.loads(text)
    except ValueError:
        return text


def keyword(text: str) -> Tuple[str, Any]:
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError("%r: expected NAME=VALUE" % (text,))
    return name, parse_value(value)


# -- shared pieces of the commands ---------------------------------------------------------


class OutputClosed(Exception):
    """The reader of the output went away (``vantrel call ... | head``): not a failure."""


class Stopped(BaseException):
    """SIGTERM or SIGHUP during a call: it ends the command as Ctrl-C does
    (a BaseException, so that the file being written is removed on the way)."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


#: The signals that stop ``call`` as Ctrl-C does (those the platform has).
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


@contextmanager
def stopped_by_signals() -> Iterator[None]:
    """While the block runs, SIGTERM and SIGHUP raise :class:`Stopped` in the
    main thread.  A signal ignored when the command started (``nohup``) stays
    ignored; a second signal during the clean-up ends the process at once."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def stop(signum: int, frame: Any) -> None:
        for sig in previous:
            signal.signal(sig, signal.SIG_DFL)
        raise Stopped(signum)

    previous = {sig: signal.getsignal(sig) for sig in STOP_SIGNALS}
    previous = {sig: handler for sig, handler in previous.items() if handler == signal.SIG_DFL}
    for sig in previous:
        signal.signal(sig, stop)
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


class _Exit(Exception):
    """Ends a command with an exit code after its message was printed."""

    def __init__(self, code: int) -> None:
        super().__init__(code)
        self.code = code


def load_impl(args: argparse.Namespace) -> str:
    """The implementation named by ``--impl`` (or the default), once it imports."""
    name = args.impl or ("twin" if pure_python() else "ext")
    try:
        connection_module(name)
    except ImportError as e:
        hint = "; try --impl twin" if name == "ext" else ""
        _err("cannot load %s: %s%s" % (CONNECTION_MODULES[name], e, hint))
        raise _Exit(EXIT_CONNECTION) from None
    return name


def _load_tls(what: str, load: Any, *files: str) -> Any:
    try:
        return load()
    except (ssl.SSLError, OSError) as e:
        raise UsageError("cannot load %s %s: %s" % (what, " / ".join(files),
                                                     getattr(e, "reason", None) or e)) from None


def _looks_like_address(text: str) -> bool:
    return text.startswith(("vantrel://", "[")) or ":" in text


def _call_target(args: argparse.Namespace) -> Tuple[Target, str, List[Any]]:
    """The server, the method and the positional arguments of ``call``.  The
    address may be left out when VANTREL_URL is set: the first word is then
    the method."""
    words: List[Any] = [args.address] + ([] if args.method is None else [args.method])
    if not _looks_like_address(args.address) and os.environ.get("VANTREL_URL"):
        address: Optional[str] = None
    else:
        address = words.pop(0)
    if not words:
        raise UsageError("call needs a METHOD: vantrel call [ADDRESS] METHOD [ARG ...] "
                         "(see 'vantrel call --help')")
    method = str(words.pop(0))
    try:
        target = parse_target(address)
    except ValueError as e:
        if address is not None and not _looks_like_address(address) and not os.environ.get("VANTREL_URL"):
            raise UsageError("no server address: %r is not HOST:PORT or a vantrel:// URL (give the "
                             "address before the method, as in 'vantrel call 127.0.0.1:7878 add 1 2', "
                             "or set VANTREL_URL)" % (address,)) from None
        raise UsageError(str(e)) from None
    return target, method, [parse_value(w) for w in words] + list(args.args)


def _auth(args: argparse.Namespace, target: Target, where: str) -> Dict[str, Any]:
    """The authentication record: ``--user`` (else the URL's user, else
    VANTREL_USER) with ``--password`` (else the URL's, else VANTREL_PASSWORD,
    else a prompt on a terminal).  A user without any password is refused
    here rather than sent without one."""
    user = args.user if args.user is not None else target.user
    if user is None:
        user = os.environ.get("VANTREL_USER")
    if user is None:
        return {}
    password = args.password
    if password is None:
        password = target.password
    if password is None:
        password = os.environ.get("VANTREL_PASSWORD")
    if password is None and sys.stdin.isatty():
        try:
            password = getpass.getpass("password for %s at %s: " % (user, where))
        except EOFError:
            password = None
    if password is None:
        raise UsageError("no password for user %r: give --password, set VANTREL_PASSWORD, "
                         "or run on a terminal to be asked" % (user,))
    return {"user": user, "password": password}


def _missing_codec(exc: BaseException) -> Optional[str]:
    """The codec's own message when ``exc`` comes from a missing codec library."""
    from vantrel.share.codec import CodecUnavailableError

    seen: Optional[BaseException] = exc
    while seen is not None:
        if isinstance(seen, CodecUnavailableError):
            return str(seen)
        seen = seen.__cause__ or seen.__context__
    return None


# -- commands --------------------------------------------------------------------------


def positive_count(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("%r is not a whole number >= 1" % (text,))
    return int(text)


def _serve_credentials(args: argparse.Namespace) -> List[Tuple[str, str]]:
    """The pairs of --auth, --auth-file and VANTREL_SERVE_AUTH, all together."""
    from vantrel.server import parse_credentials, read_credentials

    pairs = list(args.auth)
    for path in args.auth_file:
        try:
            found, warning = read_credentials(path)
        except (OSError, ValueError, UnicodeDecodeError) as e:
            raise UsageError("--auth-file: %s" % (e,)) from None
        if warning is not None:
            _err("warning: " + warning)
        pairs.extend(found)
    env = os.environ.get("VANTREL_SERVE_AUTH")
    if env:
        try:
            pairs.extend(parse_credentials(env, "VANTREL_SERVE_AUTH"))
        except ValueError as e:
            raise UsageError(str(e)) from None
    return pairs


def cmd_serve(args: argparse.Namespace) -> int:
    from vantrel.server import Credentials, Server, demo_handlers, run

    logging.basicConfig(level=getattr(logging, args.log_level.upper()),
                        format="%(asctime)s %(name)s %(levelname)s %(message)s", stream=sys.stderr)
    if (args.tls_cert is None) != (args.tls_key is None):
        raise UsageError("--tls-cert and --tls-key go together")
    tls: Optional[ssl.SSLContext] = None
    if args.tls_cert is not None:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        _load_tls("the certificate", lambda: context.load_cert_chain(args.tls_cert, args.tls_key),
                  args.tls_cert, args.tls_key)
        tls = context
    pairs = _serve_credentials(args)
    try:
        server = Server(demo_handlers(), notice=args.notice, compression=args.compression,
                        authenticator=Credentials(pairs) if pairs else None, tls=tls,
                        idle_timeout=args.idle_timeout, grace=args.grace,
                        handshake_timeout=args.handshake_timeout, write_timeout=args.write_timeout,
                        max_connections=args.max_connections, max_in_flight=args.max_in_flight * 1024 * 1024)
    except ValueError as e:  # a compression whose library is missing
        raise UsageError(str(e)) from None

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
    from vantrel._link import Link
    from vantrel.client import connect
    from vantrel.share.errors import ServerError
    from vantrel.utils import connection_error

    impl = load_impl(args)
    target, method, call_args = _call_target(args)
    where = ", ".join(format_address(h) for h in target.hosts)
    target_file = _output_target(args, stdout)
    fmt = args.format or "auto"
    options = target.options
    timeout = args.timeout or options.get("timeout") or DEFAULT_TIMEOUT
    connect_timeout = args.timeout or options.get("connect_timeout") or DEFAULT_TIMEOUT
    if args.tls or args.tls_ca is not None:  # the flags win over the URL's TLS options
        tls = _load_tls("--tls-ca", lambda: ssl.create_default_context(cafile=args.tls_ca),
                        args.tls_ca or "(system certificates)")
    else:
        try:
            tls = url_tls(options)
        except ValueError as e:
            raise UsageError(str(e)) from None
    auth = _auth(args, target, where)
    address: Any = target.hosts[0] if len(target.hosts) == 1 else list(target.hosts)
    connected = False
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            conn = connect(address, auth, timeout=timeout, connect_timeout=connect_timeout,
                           tls=tls, impl=impl)
        connected = True
        with conn:
            for notice in caught:
                _err("notice from %s: %s" % (where, notice.message))
            watched = args.output is not None or not stdout.isatty()
            with Progress(not args.quiet and sys.stderr.isatty() and watched, sys.stderr,
                          lambda: received_bytes(Link(conn).socket)) as progress:
                call = (method, call_args, dict(args.kw))
                if target_file is None:
                    _write_answer(conn, call, fmt, stdout, progress, binary=_binary_of(stdout))
                else:
                    _write_file(conn, call, target_file, args, stdout, progress)
    except OutputClosed:
        raise
    except ServerError as e:
        _err("server error %s (code %s): %s" % (type(e).__name__, e.code, e))
        return EXIT_SERVER_ERROR
    except (socket.timeout, TimeoutError):
        if connected:
            _err("call timed out after %g s" % timeout)
        else:
            _err("connection to %s timed out after %g s" % (where, connect_timeout))
        return EXIT_CONNECTION
    except (OutputError, OutputFileError) as e:
        _err(str(e))
        return EXIT_USAGE
    except (connection_error, OSError, ValueError) as e:
        missing = _missing_codec(e)
        if missing is not None:
            _err("cannot decode the answer from %s: %s" % (where, missing))
        elif isinstance(e, (ConnectError, ConnectionClosed)):  # their texts name the address
            _err(str(e))
        else:
            _err("connection to %s failed: %s: %s" % (where, type(e).__name__, e))
        return EXIT_CONNECTION
    except Exception as e:  # anything else on the way (an undecodable answer, ...)
        _err("call to %s failed: %s: %s" % (where, type(e).__name__, e))
        return EXIT_CONNECTION
    return EXIT_OK


Call = Tuple[str, List[Any], Dict[str, Any]]


def _output_target(args: argparse.Namespace, stdout: TextIO) -> Optional[OutputKind]:
    """What ``--output`` names (None: stdout as ``--format`` says), checked
    with the options that go with it before anything is sent."""
    if args.output is None:
        if args.parquet_compression is not None or args.row_group_rows is not None:
            raise UsageError("--parquet-compression and --row-group-rows go with --output FILE.parquet")
        return None
    if args.format is not None:
        raise UsageError("--output writes the kind its extension names: leave out --format")
    try:
        target = check_output(args.output, stdout_is_terminal=_is_terminal(stdout))
    except OutputFileError as e:
        raise UsageError(str(e)) from None
    if target.kind != ".parquet" and (args.parquet_compression is not None
                                      or args.row_group_rows is not None):
        raise UsageError("--parquet-compression and --row-group-rows go with a .parquet file, "
                         "not %s" % args.output)
    return target


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def _write_answer(conn: Any, call: Call, fmt: str, out: TextIO, progress: Progress,
                  binary: Optional[BinaryIO] = None) -> None:
    """The answer on ``out`` as it arrives: a stream row by row, a single value
    whole.  A table answer in CSV or JSON lines goes on ``binary`` (the bytes
    under ``out``), a packet at a time."""
    from vantrel._answer import Answer
    from vantrel._output import write_stream, write_value
    from vantrel._outtable import arrow_available, write_table
    from vantrel.results import RowIterator

    method, call_args, kw = call
    if fmt == "csv" and hasattr(out, "reconfigure"):
        out.reconfigure(errors="surrogateescape")  # bytes are written as they are
    by_table = binary is not None and fmt in ("csv", "jsonl")
    arrow = by_table and arrow_available()
    answer = Answer(conn, method, tuple(call_args), kw, raw_tables=arrow)
    try:
        if answer.kind == "response":  # a single value: the answer was read whole
            write_value(answer.first, fmt, out)
            out.flush()
            return
        if by_table and answer.kind == answer.m.MSG_TYPE.TABLE:
            assert binary is not None
            out.flush()
            write_table(answer, fmt, binary, progress.add, arrow)
            binary.flush()
            return
        with RowIterator(answer) as rows:
            write_stream(progress.counted(rows), fmt, out, table2=rows.head is not None,
                         head=rows.head)
            out.flush()
    except BrokenPipeError:  # only writes can break a pipe here: the request is sent
        answer.abandon()
        raise OutputClosed() from None


def _binary_of(out: TextIO) -> Optional[BinaryIO]:
    """The byte stream under a text stream (stdout's buffer), when it has one."""
    binary = getattr(out, "buffer", None)
    return binary if binary is not None and hasattr(binary, "write") else None


def _write_file(conn: Any, call: Call, target: OutputKind, args: argparse.Namespace, stdout: TextIO,
                progress: Progress) -> None:
    """The answer into the file ``--output`` names (or, for ``-``, on stdout),
    of the kind its extension names.  A file is made before the request is
    sent, under a temporary name, and takes its name once the answer is whole."""
    from vantrel._outfile import open_binary, written

    path = args.output
    if target.kind in ARROW_KINDS:
        options = ArrowOptions(compression=args.parquet_compression, row_group_rows=args.row_group_rows
                               or ArrowOptions().row_group_rows)
        if target.kind == STDOUT:
            sink = _binary_of(stdout)
            if sink is None:
                raise UsageError("--output -: this standard output takes no bytes")
            stdout.flush()
            try:
                _write_arrow_answer(conn, call, target.kind, sink, path, progress, options)
                sink.flush()
            except BrokenPipeError:
                raise OutputClosed() from None
            return
        written(path, lambda tmp: _write_arrow_answer(conn, call, target.kind, tmp, path, progress,
                                                      options))
        return

    def write(tmp: str) -> None:
        with open_binary(tmp, target.compression) as raw:
            text = io.TextIOWrapper(raw, encoding="utf-8", errors="surrogateescape", newline="")
            try:
                _write_answer(conn, call, str(KINDS[target.kind]), text, progress, binary=raw)
            finally:
                text.detach()  # (the file is closed here, not by the wrapper)

    written(path, write)


def _write_arrow_answer(conn: Any, call: Call, kind: str, sink: Any, path: str, progress: Progress,
                        options: ArrowOptions) -> None:
    """A table answer (or a feed of dictionaries or single values) written
    through Arrow: parquet, an Arrow IPC file or an Arrow IPC stream."""
    import pyarrow as pa

    from vantrel._answer import Answer
    from vantrel._outfile import arrow_error, feed_batches, write_arrow
    from vantrel.results import ArrowStream, RowIterator

    method, call_args, kw = call
    answer = Answer(conn, method, tuple(call_args), kw, raw_tables=True)
    types = answer.m.MSG_TYPE
    if answer.kind == "empty" or answer.kind == types.TABLE:
        with ArrowStream(answer, None) as stream:
            try:
                write_arrow(pa.RecordBatchReader.from_stream(stream), kind, sink, progress.add, options)
            except Exception as e:
                error = arrow_error(stream, e)
                if error is e:
                    raise
                raise error from None
        return
    if answer.kind == types.FEED:
        with RowIterator(answer) as rows:
            write_arrow(feed_batches(rows, options.row_group_rows), kind, sink, progress.add, options)
        return
    answer.abandon()
    raise OutputFileError("--output %s takes a table answer or a feed, and %s(...) answered with "
                          "%s: write it to a .jsonl file"
                          % (path, method, "a single value" if answer.kind == "response" else "a table2"))


def cmd_demo(args: argparse.Namespace, stdout: TextIO) -> int:
    from vantrel.demo import run_demo

    impl = load_impl(args)
    try:
        run_demo(impl, IMPL_LABELS[impl], rows=args.rows,
                 out=lambda line: print(line, file=stdout, flush=True))
    except Exception as e:
        missing = _missing_codec(e)
        _err("demo failed: %s" % (missing or "%s: %s" % (type(e).__name__, e)))
        return EXIT_DEMO_FAILED
    return EXIT_OK


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="vantrel", description="The vantrel command line: a reference server, "
                    "one remote call, or the whole path on this machine.",
                    epilog=EXIT_CODES_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="vantrel " + __version__,
                        help="print the version and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND",
                                help="'vantrel COMMAND --help' shows its options")

    impl = Parser(add_help=False)
    impl.add_argument("--impl", choices=sorted(CONNECTION_MODULES), default=None,
                      help="connection module: ext (compiled) or twin (pure Python); "
                      "default ext, or twin when VANTREL_PURE_PYTHON=1")

    p = sub.add_parser("serve", help="run the reference server with the demo methods",
                       description="Run the reference server with the demo methods until "
                       "SIGINT or SIGTERM (a second one ends it at once).")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=port_number, default=7878,
                   help="port to listen on; 0 picks a free one (default 7878)")
    p.add_argument("--auth", action="append", default=[], type=credential, metavar="USER:SECRET",
                   help="accept only these credentials (repeatable; visible to other users in "
                   "the process list: prefer --auth-file or VANTREL_SERVE_AUTH); default: accept "
                   "everyone")
    p.add_argument("--auth-file", action="append", default=[], type=existing_file, metavar="FILE",
                   help="accept only the USER:SECRET lines of FILE (repeatable; '#' starts a "
                   "comment line); VANTREL_SERVE_AUTH may hold such lines too")
    p.add_argument("--compression", default="none", choices=COMPRESSIONS,
                   help="compression of the answers (default none)")
    p.add_argument("--notice", default=None, help="text sent with every handshake reply")
    p.add_argument("--tls-cert", type=existing_file, metavar="FILE",
                   help="serve TLS with this certificate (PEM)")
    p.add_argument("--tls-key", type=existing_file, metavar="FILE",
                   help="the certificate's private key (PEM)")
    p.add_argument("--idle-timeout", type=seconds, default=None, metavar="S",
                   help="disconnect clients that send no request for S seconds (default: never)")
    p.add_argument("--handshake-timeout", type=seconds, default=30.0, metavar="S",
                   help="disconnect clients not through the handshake (TLS included) S seconds "
                   "after they connect (default 30)")
    p.add_argument("--write-timeout", type=seconds, default=None, metavar="S",
                   help="disconnect clients that read nothing of their answer for S seconds "
                   "(default: the idle time-out, else 60)")
    p.add_argument("--max-connections", type=positive_count, default=None, metavar="N",
                   help="most connections at once; past it the oldest unauthenticated one goes, "
                   "or the new one is closed (default: the descriptor limit less 64)")
    p.add_argument("--max-in-flight", type=positive_count, default=128, metavar="MIB",
                   help="MiB of request bodies read at once by all clients together; past it, "
                   "new bodies wait (default 128)")
    p.add_argument("--grace", type=grace_seconds, default=2.0, metavar="S",
                   help="how long a shutdown lets answers in progress finish (default 2)")
    p.add_argument("--log-level", default="info", choices=("debug", "info", "warning", "error"),
                   help="least severity of the log lines on stderr (default info)")

    p = sub.add_parser("call", parents=[impl], help="run one remote call and print its result",
                       description="Run one remote call and write its answer as it arrives, "
                       "row by row for a stream, on stdout or into --output FILE.  The "
                       "password comes from --password, else the URL, else VANTREL_PASSWORD, "
                       "else a prompt when a user is given and a terminal is there.  Ctrl-C, "
                       "SIGTERM and SIGHUP stop it (exit 128 + the signal's number), leaving no "
                       "--output file.")
    p.add_argument("address", metavar="ADDRESS",
                   help="the server: HOST:PORT, [V6ADDRESS]:PORT or "
                   "vantrel://[USER[:PASSWORD]@]HOST[:PORT][?tls=true&timeout=S]; "
                   "may be left out when VANTREL_URL is set")
    p.add_argument("method", nargs="?", metavar="METHOD", help="the remote method")
    p.add_argument("args", nargs="*", type=parse_value, metavar="ARG",
                   help="positional arguments (none or more): JSON where it parses, else text")
    p.add_argument("--kw", action="append", default=[], type=keyword, metavar="NAME=VALUE",
                   help="a named argument, VALUE as for ARG (repeatable)")
    p.add_argument("--user", help="user name for the handshake (default: the URL's, "
                   "else VANTREL_USER)")
    p.add_argument("--password", help="password (visible to other users in the process list: "
                   "prefer VANTREL_PASSWORD or the prompt)")
    p.add_argument("--timeout", type=seconds, default=None, metavar="S",
                   help="time-out of the connect and of the call as a whole, in seconds "
                   "(default: the URL's, else 10)")
    p.add_argument("--tls", action="store_true", help="connect with TLS (system certificates)")
    p.add_argument("--tls-ca", type=existing_file, metavar="FILE",
                   help="connect with TLS, trusting the CA certificates in FILE (PEM)")
    p.add_argument("--format", default=None, choices=FORMATS,
                   help="auto (default): columns for tables, JSON otherwise; table: also one "
                   "line per list item; json: one JSON document, a stream as one array; "
                   "jsonl: one JSON document per row; csv: a header line, then the rows. "
                   "NaN and infinities are null in JSON")
    p.add_argument("--output", "-o", metavar="FILE",
                   help="write the answer into FILE instead, its kind by extension: .parquet, "
                   ".arrow or .feather (an Arrow IPC file) for a table answer or a feed (needs "
                   "pyarrow); .csv, .jsonl or .json for any answer, compressed when .gz or .zst "
                   "follows (.csv.gz; .zst needs zstandard); '-': an Arrow IPC stream on stdout, "
                   "not a terminal. A failed or stopped call leaves no file")
    p.add_argument("--parquet-compression", choices=PARQUET_COMPRESSIONS, default=None,
                   help="compression of a .parquet file's columns (default snappy)")
    p.add_argument("--row-group-rows", type=positive_count, default=None, metavar="N",
                   help="rows per row group of a .parquet file (default %d)"
                   % ArrowOptions().row_group_rows)
    p.add_argument("--quiet", "-q", action="store_true",
                   help="no progress line (shown on a terminal's stderr during long answers "
                   "whose rows go to a file or a pipe, when tqdm is installed)")

    p = sub.add_parser("demo", parents=[impl],
                       help="server and client on this machine, the whole path shown",
                       description="Start the reference server in this process, connect "
                       "and show the whole path, one line per step.")
    p.add_argument("--rows", type=count, default=200_000,
                   help="rows of the big table (default 200000)")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # argparse: EXIT_USAGE for bad usage, 0 for --help and --version
        return e.code if isinstance(e.code, int) else EXIT_USAGE
    try:
        if args.command == "serve":
            return cmd_serve(args)
        if args.command == "call":
            with stopped_by_signals():
                return cmd_call(args, sys.stdout)
        if args.command == "demo":
            return cmd_demo(args, sys.stdout)
        raise UsageError("a command is needed: serve, call or demo (see 'vantrel --help')")
    except UsageError as e:
        _err(str(e))
        return EXIT_USAGE
    except _Exit as e:
        return e.code
    except KeyboardInterrupt:
        _err("interrupted")
        return EXIT_INTERRUPTED
    except Stopped as e:
        _err("stopped by %s" % signal.Signals(e.signum).name)
        return EXIT_SIGNALLED + e.signum
    except (BrokenPipeError, OutputClosed):
        # Python's own flush of stdout at exit would fail again: point it at nothing
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_OK
