"""vantrel.connect: time-outs, refusals and the descriptors they leave behind."""

from __future__ import annotations

import logging
import socket

import pytest

import vantrel
from peer import Peer, close, error_packet, impl_name, open_fds, packet, recv, send
from vantrel.client import Connection, connection_class
from vantrel.share.errors import AuthenticationError
from vantrel.share.protocol import MSG_TYPE
from vantrel.utils import connection_error


def test_connect_is_a_context_manager(impl):
    peer = Peer([recv(), send(packet(MSG_TYPE.RESPONSE, 5))], handshake=True)
    try:
        with vantrel.connect(peer.address, {"user": "ann"}, timeout=7.5,
                             impl=impl_name(impl)) as conn:
            assert isinstance(conn, Connection) and isinstance(conn, impl.Connection)
            assert conn.timeout == 7.5
            assert conn.execute("add", 2, 3) == 5
        assert conn.closed and not conn.is_normal()  # closed by the with block
    finally:
        peer.finish()
    assert peer.received[0].body["user"] == "ann"


def test_pure_python_switch(monkeypatch):
    monkeypatch.setenv("VANTREL_PURE_PYTHON", "1")
    assert connection_class().__mro__[2].__module__ == "vantrel._pyconnection"
    monkeypatch.setenv("VANTREL_PURE_PYTHON", "0")
    assert connection_class().__mro__[2].__module__ == "vantrel.connection"


# -- failed opens: each raises its error and leaves no descriptor open ---------------------

FAILURES = [
    ("never-accepts", None, {}, socket.timeout),  # a listener that never accepts
    ("accepts-silently", [], {}, socket.timeout),
    ("tls-silent", [], {"tls": True}, socket.timeout),
    ("closed", [close()], {}, (connection_error, ConnectionError)),
    ("refused", [recv(), send(error_packet(2, "no"))], {}, AuthenticationError),
]


@pytest.mark.parametrize("script,options,error", [f[1:] for f in FAILURES],
                         ids=[f[0] for f in FAILURES])
def test_failed_connect_leaves_no_descriptor(impl, script, options, error, caplog):
    caplog.set_level(logging.DEBUG, logger="vantrel")
    before = open_fds()
    if script is None:
        listener = socket.create_server(("127.0.0.1", 0), backlog=1)
        address, stop = listener.getsockname(), listener.close
    else:
        peer = Peer(script)
        address, stop = peer.address, peer.finish
    try:
        with pytest.raises(error) as caught:
            vantrel.connect(address, connect_timeout=0.5, impl=impl_name(impl), **options)
    finally:
        stop()  # the listener and what it accepted
    assert open_fds() == before, caught.value  # while the error (and its traceback) lives
    level = logging.WARNING if error is AuthenticationError else logging.DEBUG
    assert [r.levelno for r in caplog.records if r.name == "vantrel"] == [level]
