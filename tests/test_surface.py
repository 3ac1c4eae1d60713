"""What a newcomer meets first, on every entry point: arguments that cannot be
encoded, a missing pyarrow, mistyped options, credentials and their
precedence, TLS options in a URL, and the texts of the small errors."""

from __future__ import annotations

import asyncio
import socket
from typing import Any, Callable, Iterator, List, Tuple

import pytest

import vantrel
import vantrel.aio
import vantrel.aio.results as aresults
import vantrel.results as results
from peer import impl_name
from vantrel.server import ServerThread, demo_server


@pytest.fixture
def server() -> Iterator[ServerThread]:
    thread = ServerThread(demo_server(notice=None))
    thread.start()
    yield thread
    thread.stop()


# -- arguments that cannot be encoded --------------------------------------------------

# (args, kwargs, the argument named in the error, its place in the text)
UNENCODABLE: List[Tuple[Tuple[Any, ...], Any, Any, str]] = [
    ((object(),), {}, 0, "argument 1 (object)"),
    ((1, 2, {3}), {}, 2, "argument 3 (set)"),
    ((1,), {"rows": object()}, "rows", "argument rows= (object)"),
]


def _blocking_paths(conn: Any) -> List[Callable[..., Any]]:
    return [conn.execute,
            lambda m, *a, **k: list(results.iter_rows(conn, m, *a, **k)),
            lambda m, *a, **k: results.fetch_arrow(conn, m, *a, **k)]


def _check_encode_error(error: BaseException, argument: Any, text: str) -> None:
    assert isinstance(error, vantrel.EncodeError), repr(error)
    assert isinstance(error, (vantrel.Error, TypeError, vantrel.CodecError))
    assert error.method == "echo" and error.argument == argument
    assert str(error).startswith("call 'echo': cannot encode %s: " % text), str(error)


@pytest.mark.parametrize("args, kwargs, argument, text", UNENCODABLE)
def test_unencodable_argument_blocking(impl: Any, server: ServerThread, args: Any, kwargs: Any,
                                       argument: Any, text: str) -> None:
    pytest.importorskip("pyarrow")
    with vantrel.connect(server.address, impl=impl_name(impl)) as conn:
        for call in _blocking_paths(conn):
            with pytest.raises(TypeError) as caught:
                call("echo", *args, **kwargs)
            _check_encode_error(caught.value, argument, text)
            assert conn.execute("echo", 5) == 5  # nothing was sent, the connection is usable
    assert server.address is not None
    bare = impl.Connection(socket.create_connection(server.address), {})  # no call life: the same error
    try:
        with pytest.raises(vantrel.EncodeError):
            bare.execute("echo", *args, **kwargs)
        assert bare.execute("echo", 5) == 5
    finally:
        bare.close()


@pytest.mark.parametrize("args, kwargs, argument, text", UNENCODABLE)
def test_unencodable_argument_aio(server: ServerThread, args: Any, kwargs: Any,
                                  argument: Any, text: str) -> None:
    async def main() -> None:
        conn = await vantrel.aio.connect(server.address)
        try:
            for call in (conn.execute, lambda m, *a, **k: aresults.iter_rows(conn, m, *a, **k).__anext__()):
                with pytest.raises(TypeError) as caught:
                    await call("echo", *args, **kwargs)
                _check_encode_error(caught.value, argument, text)
                assert await conn.execute("echo", 5) == 5
        finally:
            await conn.close()
    asyncio.run(main())


# -- the Arrow readers without pyarrow ---------------------------------------------------


def test_arrow_readers_check_pyarrow_before_sending(server: ServerThread, monkeypatch: Any) -> None:
    monkeypatch.setitem(__import__("sys").modules, "pyarrow", None)  # as if not installed
    calls: List[Any] = [("table", (2,), {})]
    with vantrel.connect(server.address) as conn, vantrel.Pool(server.address, max_size=1) as pool:
        for read in (lambda: results.fetch_arrow(conn, "table", 2),
                     lambda: results.fetch_arrow_many(pool, calls)):
            with pytest.raises(ImportError, match=r"pyarrow is needed .*pip install pyarrow"):
                read()
            assert conn.execute("echo", 5) == 5  # nothing was sent
        assert pool.execute("echo", 5) == 5

    async def main() -> None:
        conn = await vantrel.aio.connect(server.address)
        pool = vantrel.aio.Pool(server.address, max_size=1)
        try:
            for read in (lambda: aresults.fetch_arrow(conn, "table", 2),
                         lambda: vantrel.aio.fetch_arrow_many(pool, calls)):
                with pytest.raises(ImportError, match="pip install pyarrow"):
                    await read()
                assert await conn.execute("echo", 5) == 5
        finally:
            await conn.close()
            await pool.close()
    asyncio.run(main())


# -- mistyped options --------------------------------------------------------------------

OPTION_TYPOS = [
    # (how the option is given, the text expected)
    (lambda a: vantrel.Pool(a, max_sise=3),
     "unknown option 'max_sise' (did you mean 'max_size'? valid: "),
    (lambda a: vantrel.aio.Pool(a, conect_timeout=3),
     "unknown option 'conect_timeout' (did you mean 'connect_timeout'? valid: "),
    (lambda a: vantrel.connect("vantrel://%s:%d?timout=1" % a),
     "unknown option 'timout' (did you mean 'timeout'"),
    (lambda a: vantrel.Pool("vantrel://%s:%d?zzz=1" % a),
     "unknown option 'zzz' (valid: "),
]


@pytest.mark.parametrize("make, text", OPTION_TYPOS)
def test_option_typos_name_the_nearest_and_all_valid(server: ServerThread, make: Any, text: str) -> None:
    with pytest.raises((TypeError, ValueError)) as caught:
        make(server.address)
    message = str(caught.value)
    assert text in message, message
    valid = message.rsplit("valid: ", 1)[1].rstrip(")'").split(", ")
    assert valid == sorted(valid) and "timeout" in valid
