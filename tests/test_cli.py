"""The ``vantrel`` command line, run as a subprocess against real loopback servers."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
from typing import Any, Dict, Iterator, Tuple

import pytest

import vantrel
from peer import PACKAGE_ROOT, Peer, close, connect_to, impl_name, packet, python_env, recv, run_python, send
from vantrel.server import ServerThread, demo_server
from vantrel.share.codec import pack_header
from vantrel.share.errors import AuthenticationError
from vantrel.share.protocol import MSG_TYPE, SERIALIZATION_TYPE

TIMEOUT = 30.0
NOTICE = "cli test notice"


def env(**extra: str) -> Dict[str, str]:
    e = python_env()
    e.pop("PYTHONWARNINGS", None)
    e.pop("VANTREL_PASSWORD", None)
    e.update(extra)
    return e


def vantrel_cli(*args: str, timeout: float = TIMEOUT,
                **extra_env: str) -> subprocess.CompletedProcess[str]:
    return run_python("-m", "vantrel", *args, timeout=timeout, env=env(**extra_env))


def one_clean_message(stderr: str) -> str:
    lines = stderr.strip().splitlines()
    assert len(lines) == 1, stderr
    assert "Traceback" not in stderr
    return lines[0]


@pytest.fixture(scope="module")
def server() -> Iterator[str]:
    thread = ServerThread(demo_server(notice=None))
    host, port = thread.start()
    yield "%s:%d" % (host, port)
    thread.stop()


@pytest.fixture(scope="module")
def noticed() -> Iterator[str]:
    thread = ServerThread(demo_server(notice=NOTICE))
    host, port = thread.start()
    yield "%s:%d" % (host, port)
    thread.stop()


def free_port() -> int:
    with socket.create_server(("127.0.0.1", 0)) as s:
        port: int = s.getsockname()[1]
        return port


# -- call: success and output formats ---------------------------------------------------

OUTPUTS = [
    (["add", "2", "40"], ["42"]),
    (["echo", "plain text"], ['"plain text"']),
    (["echo", "1", "[2, 3]", '{"k": null}', "true"], ['[1, [2, 3], {"k": null}, true]']),
    (["echo", "-5"], ["-5"]),
    (["table", "--kw", "rows=2"], ["id  name  score", "--  ----  -----",
                                   " 0  ada     0.0", " 1  bob     1.5"]),
    (["table", "2", "--format", "json"], ['[{"id": 0, "name": "ada", "score": 0.0}, '
                                          '{"id": 1, "name": "bob", "score": 1.5}]']),
    (["table2", "2", "--format", "table"], ["t  value", "-  -----", "0      0", "1      1"]),
    (["table2", "2", "--format", "json"], ['[["t", "value"], [[0, 0], [1, 1]]]']),
    (["feed", "1", "--format", "json"], ['[{"seq": 0, "text": "event 0"}]']),
    (["echo", "NaN", "[Infinity, -Infinity, 1.5]", "--format", "json"],
     ["[null, [null, null, 1.5]]"]),
    (["feed", "0", "--format", "table"], ["(empty)"]),
    (["echo", "a", "b", "--format", "table"], ['"a"', '"b"']),
]


@pytest.mark.parametrize("args,lines", OUTPUTS, ids=[" ".join(a) for a, _ in OUTPUTS])
def test_call_prints_result(server, args, lines):
    proc = vantrel_cli("call", server, *args, "--impl", "twin")
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.splitlines() == lines


def test_call_big_table_as_columns(impl, server):
    proc = vantrel_cli("call", server, "big_table", "1200", "--kw", "batch=500",
                       "--format", "table", "--impl", impl_name(impl))
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].split() == ["id", "group", "count", "price", "ratio", "code", "label", "active"]
    assert len(lines) == 2 + 1200
    assert lines[-1].split() == ["1199", "15", "393", "299.75", "0.99", "c1199", "theta", "false"]


def test_call_shows_notice_on_stderr(impl, noticed):
    proc = vantrel_cli("call", noticed, "add", "1", "2", "--impl", impl_name(impl))
    assert proc.returncode == 0
    assert proc.stdout == "3\n"
    assert NOTICE in one_clean_message(proc.stderr)


# -- call: failures ------------------------------------------------------------------------


@pytest.mark.parametrize("args,text,out", [
    (["fail", "disk on fire"], "RemoteExecutionError (code 5): RuntimeError: disk on fire", ""),
    (["nope"], "MethodNotFoundError (code 3)", ""),
    (["add", "1"], "InvalidArgumentsError (code 4)", ""),
    # the items before the error were written as they came
    (["broken_feed", "5", "--kw", "after=2"], "feed broken after 2", "[0, 1"),
    (["broken_feed", "5", "--kw", "after=2", "--format", "jsonl"], "feed broken after 2",
     "0\n1\n"),
])
def test_call_server_error_exits_1(impl, server, args, text, out):
    proc = vantrel_cli("call", server, *args, "--impl", impl_name(impl))
    assert proc.returncode == 1
    assert proc.stdout == out
    assert text in one_clean_message(proc.stderr)


def test_call_refused_handshake_exits_1(impl):
    with ServerThread(demo_server(authenticator=lambda rec: rec.get("password") == "pw")) as (h, p):
        address = "%s:%d" % (h, p)
        ok = vantrel_cli("call", address, "add", "1", "2", "--user", "u",
                         "--impl", impl_name(impl), VANTREL_PASSWORD="pw")
        bad = vantrel_cli("call", address, "add", "1", "2", "--user", "u", "--password", "nope",
                          "--impl", impl_name(impl))
    assert (ok.returncode, ok.stdout) == (0, "3\n")
    assert bad.returncode == 1
    assert "AuthenticationError (code 2)" in one_clean_message(bad.stderr)


NOT_A_FILE = "/nonexistent/vantrel-test.pem"

USAGE_ERRORS = [
    (["call", "localhost", "add"], "no server address: 'localhost' is not HOST:PORT or a vantrel:// URL"),
    (["call", "vantrel://127.0.0.1:7878?tls_ca=" + NOT_A_FILE, "add"], "cannot load tls_ca="),
    (["call", "127.0.0.1:notaport", "add"], "port 'notaport' is not an integer"),
    (["call", "127.0.0.1:99999", "add"], "port 99999 out of range"),
    (["call", "vantrel://127.0.0.1:7878?tls=maybe", "add"], "is not true or false"),
    (["call", "127.0.0.1:7878"], "call needs a METHOD"),
    (["call", "127.0.0.1:7878", "add", "--output", "answer.txt"], "must end in .parquet"),
    (["call", "127.0.0.1:7878", "add", "--output", "/nonexistent/a.csv"], "no such folder"),
    (["call", "127.0.0.1:7878", "add", "-o", "a.csv", "--format", "json"], "leave out --format"),
    (["call", "127.0.0.1:7878", "add", "-o", "a.parquet.gz"], "not compressed as a whole"),
    (["call", "127.0.0.1:7878", "add", "-o", "a.csv", "--row-group-rows", "5"], "go with a .parquet file"),
    (["call", "127.0.0.1:7878", "add", "--parquet-compression", "zstd"], "go with --output"),
    (["call", "127.0.0.1:7878", "add", "-o", "a.parquet", "--row-group-rows", "0"], "whole number >= 1"),
    (["call", "127.0.0.1:7878", "add", "--kw", "novalue"], "NAME=VALUE"),
    (["call", "127.0.0.1:7878", "add", "--format", "xml"], "invalid choice"),
    (["call", "127.0.0.1:7878", "add", "--impl", "other"], "invalid choice"),
    (["call", "127.0.0.1:7878", "add", "--timeout", "soon"], "positive number of seconds"),
    (["call", "127.0.0.1:7878", "add", "--timeout", "0"], "positive number of seconds"),
    (["call", "127.0.0.1:7878", "add", "--timeout", "-1"], "positive number of seconds"),
    (["call", "127.0.0.1:7878", "add", "--timeout", "nan"], "positive number of seconds"),
    (["call", "127.0.0.1:7878", "add", "--tls-ca", NOT_A_FILE], "no such file: " + NOT_A_FILE),
    (["call", "127.0.0.1:7878", "add", "--tls-ca", __file__], "cannot load --tls-ca"),
    (["serve", "--port", "70000"], "not a port number"),
    (["serve", "--port", "-1"], "not a port number"),
    (["serve", "--idle-timeout", "0"], "positive number of seconds"),
    (["serve", "--auth", "nocolon"], "USER:SECRET"),
    (["serve", "--auth-file", NOT_A_FILE], "no such file: " + NOT_A_FILE),
    (["serve", "--max-connections", "0"], "whole number >= 1"),
    (["serve", "--write-timeout", "-1"], "positive number of seconds"),
    (["serve", "--compression", "lz4"], "invalid choice"),
    (["serve", "--tls-cert", NOT_A_FILE, "--tls-key", __file__], "no such file: " + NOT_A_FILE),
    (["serve", "--tls-cert", __file__], "go together"),
    (["serve", "--tls-cert", __file__, "--tls-key", __file__], "cannot load the certificate"),
    (["demo", "--rows", "many"], "whole number"),
    (["frobnicate"], "invalid choice"),
    ([], "a command is needed"),
]


@pytest.mark.parametrize("args,text", USAGE_ERRORS, ids=[" ".join(a) for a, _ in USAGE_ERRORS])
def test_bad_usage_is_one_line_exit_2(args, text):
    proc = vantrel_cli(*args)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert text in one_clean_message(proc.stderr)


def test_version_and_help():
    from vantrel.cli import build_parser

    proc = vantrel_cli("--version")
    assert (proc.returncode, proc.stdout) == (0, "vantrel %s\n" % vantrel.__version__)
    parsers = [build_parser()]
    subparsers: Any = parsers[0]._subparsers  # argparse keeps them in a private attribute
    parsers += list(subparsers._group_actions[0].choices.values())
    for parser in parsers:
        undocumented = [a.dest for a in parser._actions if not a.help]
        assert undocumented == [], parser.prog
        assert "``" not in parser.format_help()


def test_connection_refused_exits_3(impl):
    proc = vantrel_cli("call", "127.0.0.1:%d" % free_port(), "add", "1", "2",
                       "--impl", impl_name(impl))
    assert proc.returncode == 3
    assert "ConnectionRefusedError" in one_clean_message(proc.stderr)


def test_timeout_exits_3(impl, server):
    proc = vantrel_cli("call", server, "sleep", "5", "--timeout", "0.3", "--impl", impl_name(impl))
    assert proc.returncode == 3
    assert one_clean_message(proc.stderr) == "vantrel: call timed out after 0.3 s"


def test_missing_codec_library_is_named_with_its_extra(impl, tmp_path):
    (tmp_path / "zstandard.py").write_text("raise ImportError('hidden for this test')\n")
    path = os.pathsep.join([str(tmp_path), PACKAGE_ROOT])
    with ServerThread(demo_server(notice=None, compression="zstd")) as (host, port):
        small = vantrel_cli("call", "%s:%d" % (host, port), "add", "1", "2",
                            "--impl", impl_name(impl), PYTHONPATH=path)
        big = vantrel_cli("call", "%s:%d" % (host, port), "big_table", "2000",
                          "--impl", impl_name(impl), PYTHONPATH=path)
    assert (small.returncode, small.stdout) == (0, "3\n")
    assert big.returncode == 3
    assert "vantrel[fast]" in one_clean_message(big.stderr)


@pytest.mark.parametrize("reply", [
    b"\x63" * 12,                                                   # invalid message type
    pack_header(MSG_TYPE.HANDSHAKE, SERIALIZATION_TYPE.MSGPACK, 0, 1) + b"\xc1",  # undecodable
    packet(MSG_TYPE.RESPONSE, 1),   # not a HANDSHAKE
    b"",                                                             # closed
], ids=["bad-type", "undecodable", "not-handshake", "closed"])
def test_protocol_error_exits_3(impl, reply):
    peer = Peer([recv(), send(reply), close()], handshake=False)
    try:
        proc = vantrel_cli("call", "%s:%d" % peer.address, "add", "--impl", impl_name(impl),
                           "--timeout", "5")
    finally:
        peer.finish()
    assert proc.returncode == 3
    assert "ProtocolError" in one_clean_message(proc.stderr)


# -- serve ---------------------------------------------------------------------------------------


def start_serve(*args: str) -> Tuple[subprocess.Popen[str], Tuple[str, int]]:
    proc = subprocess.Popen([sys.executable, "-m", "vantrel", "serve", "--port", "0", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env())
    assert proc.stdout is not None
    line = proc.stdout.readline()  # "vantrel: serving on HOST:PORT (methods: ...)"
    if "serving on" not in line:
        proc.kill()
        out, err = proc.communicate(timeout=TIMEOUT)
        pytest.fail("serve did not start: %r %r" % (line, err))
    host, port = line.split("serving on ")[1].split()[0].rsplit(":", 1)
    return proc, (host, int(port))


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_serve_until_signal(impl, sig):
    proc, address = start_serve("--auth", "ann:pa55word", "--compression", "zlib",
                                "--notice", "hi there")
    try:
        with pytest.warns(UserWarning, match="hi there"):
            conn = connect_to(impl, address, {"user": "ann", "password": "pa55word"}, TIMEOUT)
        try:
            assert len(conn.execute("big_table", 3000)) == 3000  # zlib-compressed batches
            assert conn.execute("add", 1, 2) == 3
        finally:
            conn.close()
        refused = vantrel_cli("call", "%s:%d" % address, "add", "1", "2", "--user", "ann",
                              "--password", "wrong-pw", "--impl", impl_name(impl))
        assert refused.returncode == 1
        proc.send_signal(sig)
        _, err = proc.communicate(timeout=TIMEOUT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, err
    assert "Traceback" not in err and "shutting down" in err
    assert "pa55word" not in err and "wrong-pw" not in err


def signal_twice_during_an_answer(proc: subprocess.Popen[str], address: Tuple[str, int],
                                  impl: str = "ext") -> str:
    """SIGTERM while a 60 s answer holds the shutdown, then SIGTERM again: the server's stderr."""
    assert proc.stderr is not None
    try:
        conn = vantrel.connect(address, impl=impl)
        conn._socket.sendall(packet(MSG_TYPE.REQUEST, ("sleep", (60,), {})))
        with conn:
            proc.send_signal(signal.SIGTERM)
            while "waiting up to" not in proc.stderr.readline():  # the answer holds the shutdown
                pass
            proc.send_signal(signal.SIGTERM)
            _, err = proc.communicate(timeout=TIMEOUT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    return err


def test_second_signal_ends_serve_at_once(impl):
    proc, address = start_serve("--grace", "60")
    err = signal_twice_during_an_answer(proc, address, impl_name(impl))
    assert proc.returncode == 128 + signal.SIGTERM
    assert "received SIGTERM again, exiting at once" in err


# The main thread blocks SIGTERM, so the signals land on another thread: the
# serving thread must still act on the second one at once.
SERVE_WITH_A_THREAD = r'''
import logging, signal, sys, threading, time
from vantrel.server import Server, demo_handlers, run
logging.basicConfig(level=logging.INFO, stream=sys.stderr)
threading.Thread(target=time.sleep, args=(3600,), daemon=True).start()
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
run(Server(demo_handlers(), grace=60), "127.0.0.1", 0,
    on_ready=lambda address: print("serving on %s:%d" % address, flush=True))
'''


@pytest.mark.skipif(not hasattr(signal, "pthread_sigmask"), reason="POSIX thread signals")
def test_second_signal_taken_by_another_thread_ends_serving_at_once():
    proc = subprocess.Popen([sys.executable, "-c", SERVE_WITH_A_THREAD], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env())
    assert proc.stdout is not None
    line = proc.stdout.readline()  # "serving on HOST:PORT"
    if "serving on" not in line:
        proc.kill()
        pytest.fail("the server did not start: %r %r" % (line, proc.communicate(timeout=TIMEOUT)[1]))
    err = signal_twice_during_an_answer(proc, ("127.0.0.1", int(line.rsplit(":", 1)[1])))
    assert proc.returncode == 128 + signal.SIGTERM
    assert "received SIGTERM again, exiting at once" in err


def test_serve_port_in_use_exits_3():
    with socket.create_server(("127.0.0.1", 0)) as busy:
        proc = vantrel_cli("serve", "--port", str(busy.getsockname()[1]))
    assert proc.returncode == 3
    assert "cannot serve" in proc.stderr and "Traceback" not in proc.stderr


# -- demo ------------------------------------------------------------------------------------------


def test_demo_exits_0(impl):
    proc = vantrel_cli("demo", "--impl", impl_name(impl))
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert proc.stderr == ""
    for text in ("welcome to the vantrel demo server", "200,000 rows x 8 columns", "rows/s",
                 "RemoteExecutionError (code 5)", "AuthenticationError (code 2)",
                 "True before, True after the error", "done in"):
        assert text in out, out


def test_help_exits_0():
    proc = vantrel_cli("--help")
    assert proc.returncode == 0
    assert all(cmd in proc.stdout for cmd in ("serve", "call", "demo"))


def test_serve_secrets_from_a_file_and_the_environment(impl, tmp_path, monkeypatch):
    """--auth-file and VANTREL_SERVE_AUTH keep secrets out of the process list; a file that
    others may read is named in a warning, a bad line by its number only."""
    secrets = tmp_path / "secrets"
    secrets.write_text("# users\nann:file-pw\n\nbob:with:colons\n")
    for mode, warned in ((0o600, False), (0o640, True)):
        secrets.chmod(mode)
        proc, address = start_serve("--auth-file", str(secrets))
        try:
            for user, password in (("ann", "file-pw"), ("bob", "with:colons")):
                connect_to(impl, address, {"user": user, "password": password}, TIMEOUT).close()
            with pytest.raises(AuthenticationError):
                connect_to(impl, address, {"user": "ann", "password": "other"}, TIMEOUT)
        finally:
            proc.terminate()
            _, err = proc.communicate(timeout=TIMEOUT)
        assert ("can be read by its group" in err) == warned, err
        assert "file-pw" not in err and "colons" not in err
    monkeypatch.setenv("VANTREL_SERVE_AUTH", "cyd:env-pw")
    proc, address = start_serve()
    monkeypatch.delenv("VANTREL_SERVE_AUTH")
    try:
        connect_to(impl, address, {"user": "cyd", "password": "env-pw"}, TIMEOUT).close()
        with pytest.raises(AuthenticationError):
            connect_to(impl, address, {"user": "ann", "password": "file-pw"}, TIMEOUT)
    finally:
        proc.terminate()
        proc.communicate(timeout=TIMEOUT)
    secrets.write_text("ann:file-pw\nno-colon-secret\n")
    bad = vantrel_cli("serve", "--auth-file", str(secrets))
    assert bad.returncode == 2 and "line 2: expected USER:SECRET" in bad.stderr
    assert "no-colon-secret" not in bad.stderr
