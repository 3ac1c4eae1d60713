"""Fixtures shared by the connection tests.

``impl`` runs a test against both connection modules: ``ext`` (the compiled
``vantrel.connection``) and ``twin`` (``vantrel._pyconnection``).  A test marked
``ext_only`` runs for ``ext`` alone; the ``ext`` fixture gives the compiled
module directly.  A compiled module that does not import makes its cases fail,
it is never skipped nor replaced by the twin.

``VANTREL_TEST_TWIN=0`` leaves the twin out of ``impl`` except in tests marked
``both_impls`` (the modules' surface, which must be the same): CI runs the
twin once, on the default Python, and not again for every other build of the
compiled module, which the twin does not depend on.  The differential tests
compare the two modules directly and run everywhere.

``net`` hands out scripted peers and client connections and cleans them up:
client sockets are closed, then every peer is finished and its own failure
reported.
"""

from __future__ import annotations

import os
import socket
import sys
from types import ModuleType
from typing import Any, Dict, List, Optional

import pytest

from peer import Peer, Step, connect
from vantrel._impls import CONNECTION_MODULES, connection_module

_import_errors: Dict[str, BaseException] = {}


def load_impl(name: str) -> ModuleType:
    modname = CONNECTION_MODULES[name]
    if name in _import_errors:
        pytest.fail("cannot import %s: %r" % (modname, _import_errors[name]), pytrace=False)
    try:
        return connection_module(name)
    except Exception as e:  # any load failure of the module under test is a failure
        _import_errors[name] = e
        pytest.fail("cannot import %s: %r" % (modname, e), pytrace=False)


TWIN = os.environ.get("VANTREL_TEST_TWIN", "1") != "0"


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    if "impl" in metafunc.fixturenames:
        marker = metafunc.definition.get_closest_marker
        twin = not marker("ext_only") and (TWIN or marker("both_impls") is not None)
        metafunc.parametrize("impl", ["ext", "twin"] if twin else ["ext"], indirect=True)


@pytest.fixture
def impl(request: pytest.FixtureRequest) -> ModuleType:
    return load_impl(request.param)


@pytest.fixture
def ext() -> ModuleType:
    return load_impl("ext")


# Module state that tests may rebind (through monkeypatch only).  Checked after
# each test; anything left changed is restored and reported.
_GUARDED = tuple(CONNECTION_MODULES.values()) + ("vantrel.share.codec", "vantrel.share.protocol",
                                                 "vantrel.share.errors")


def _snapshot() -> Dict[str, Dict[str, Any]]:
    snap = {}
    for name in _GUARDED:
        mod = sys.modules.get(name)
        if mod is not None:
            # dunders (a warnings registry, say) and the codec's private caches are
            # the modules' own business
            private = "__" if name in CONNECTION_MODULES.values() else "_"
            snap[name] = {k: v for k, v in vars(mod).items() if not k.startswith(private)}
            conn_cls = vars(mod).get("Connection")
            if isinstance(conn_cls, type):
                snap[name + ".Connection"] = dict(vars(conn_cls))
    return snap


@pytest.fixture(autouse=True)
def _module_state_guard():
    before = _snapshot()
    yield
    after = _snapshot()
    changed = []
    for key, old in before.items():
        new = after.get(key, {})
        diff = [k for k in set(old) | set(new) if old.get(k, _MISSING) is not new.get(k, _MISSING)]
        if not diff:
            continue
        changed.append("%s: %s" % (key, sorted(diff)))
        if key.endswith(".Connection"):
            target: Any = vars(sys.modules[key[:-len(".Connection")]])["Connection"]
        else:
            target = sys.modules[key]
        for k in diff:
            if k in old:
                setattr(target, k, old[k])
            else:
                delattr(target, k)
    if changed:
        pytest.fail("test left module state changed (restored now): " + "; ".join(changed))


_MISSING = object()


class Net:
    """Peers and client connections of one test, cleaned up afterwards."""

    def __init__(self) -> None:
        self.peers: List[Peer] = []
        self.sockets: List[socket.socket] = []
        self.files: List[Any] = []

    def peer(self, script: List[Step], handshake: bool = True, timeout: Optional[float] = None) -> Peer:
        p = Peer(script, handshake=handshake) if timeout is None else Peer(script, handshake, timeout)
        self.peers.append(p)
        return p

    def socket(self, peer: Peer) -> socket.socket:
        s = peer.socket()
        self.sockets.append(s)
        return s

    def connect(self, impl: ModuleType, peer: Peer, auth: Optional[Dict[str, Any]] = None) -> Any:
        conn = connect(impl, peer, auth)
        self.sockets.append(conn._socket)
        self.files.append(conn._sf)
        return conn

    def serve(self, impl: ModuleType, script: List[Step], auth: Optional[Dict[str, Any]] = None) -> Any:
        """A connection to a new peer that answers the handshake and then plays ``script``."""
        return self.connect(impl, self.peer(script), auth)

    def close(self) -> None:
        for f in self.files:
            try:
                f.close()
            except (OSError, ValueError):
                pass
        for s in self.sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            # a reader made by a failed construction may still hold the socket:
            # take the descriptor away from both and close it
            fd = s.detach()
            if fd >= 0:
                os.close(fd)
        errors = []
        for p in self.peers:
            try:
                p.finish()
            except AssertionError as e:
                errors.append(str(e))
        if errors:
            pytest.fail("; ".join(errors), pytrace=False)


@pytest.fixture
def net():
    n = Net()
    yield n
    n.close()
