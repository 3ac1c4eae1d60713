"""Loading the connection module: defaults, probe variant, surface, load-time failures.

Each case loads the module in a fresh interpreter, with stand-ins for the
sibling modules inserted into ``sys.modules`` before the import.
"""

from __future__ import annotations

import itertools
import json
import os
import re
import select
import sys
import sysconfig
from typing import Any, Dict

import pytest

from peer import run_python

# the fresh interpreters load the same package as this one

PRELUDE = r'''
import importlib, json, sys, types
import vantrel.share.protocol as protocol

def stand_in(name, **attrs):
    m = types.ModuleType(name)
    vars(m).update(attrs)
    sys.modules[name] = m
    return m

def unused(*a, **k):
    raise AssertionError("stand-in called")

def codec(**over):
    attrs = dict(snappy=None, brotli=None, msgpack=None, zstd=None,
                 unpack_header=unused, pack_one=unused, unpack_one=unused)
    attrs.update(over)
    return stand_in("vantrel.share.codec", **attrs)

def load():
    try:
        return importlib.import_module(MODNAME), None
    except BaseException as e:
        return None, [type(e).__name__, str(e)]

def report(**kw):
    print(json.dumps(kw))
'''


def run_py(modname: str, body: str) -> Dict[str, Any]:
    code = "MODNAME = %r\n%s\n%s" % (modname, PRELUDE, body)
    proc = run_python("-c", code)
    assert proc.returncode == 0, proc.stderr
    report: Dict[str, Any] = json.loads(proc.stdout.strip().splitlines()[-1])
    return report


# -- defaults ----------------------------------------------------------------------

# a present library may be any object but None, a false one included
_PRESENT = ["0", "object()", "False", "''"]
COMBOS = [tuple(_PRESENT[(i + j) % 4] if present else "None" for j, present in enumerate(flags))
          + (["None", "0", "object()"][i % 3],)
          for i, flags in enumerate(itertools.product([False, True], repeat=3))]


def expected_compression(brotli, zstd, snappy):
    for name, v in (("BROTLI", brotli), ("ZSTD", zstd), ("SNAPPY", snappy)):
        if v != "None":
            return name
    return "ZLIB"


@pytest.mark.parametrize("brotli, zstd, snappy, msgpack", COMBOS)
def test_defaults_follow_available_codecs(impl, brotli, zstd, snappy, msgpack):
    out = run_py(impl.__name__, f'''
c = codec(brotli={brotli}, zstd={zstd}, snappy={snappy}, msgpack={msgpack})
mod, err = load()
assert err is None, err
report(cm=str(mod.DEFAULT_COMPRESSION_METHOD), st=str(mod.DEFAULT_SERIALIZER_TYPE),
       cm_is_member=mod.DEFAULT_COMPRESSION_METHOD in list(protocol.COMPRESSION_METHOD),
       same=all(getattr(mod, n) is getattr(c, n) for n in
                ("snappy", "brotli", "msgpack", "zstd", "unpack_header", "pack_one", "unpack_one")))
''')
    assert out == {"cm": expected_compression(brotli, zstd, snappy),
                   "st": "JSON" if msgpack == "None" else "MSGPACK",
                   "cm_is_member": True, "same": True}


# -- liveness probe variant ------------------------------------------------------

PROBE = r'''
import select as real, socket
calls = []

def rec_select(r, w, x, t):
    calls.append(["select", len(r), len(w), len(x), t])
    return real.select(r, w, x, t)

class RecPoll:
    def __init__(self):
        calls.append(["poll()"])
        self.p = real.poll()
    def register(self, fd, mask):
        calls.append(["register", mask == real.POLLIN | real.POLLERR])
        self.p.register(fd, mask)
    def poll(self, *a):
        calls.append(["poll"] + list(a))
        return self.p.poll(*a)

def poll_lookup_fails(name):
    if name == "poll":
        raise RuntimeError("no poll here")
    raise AttributeError(name)

common = dict(select=rec_select, error=real.error)
variants = {
    "poll": dict(common, poll=RecPoll, POLLIN=real.POLLIN, POLLERR=real.POLLERR),
    "select": common,
    "lookup-fails": dict(common, __getattr__=poll_lookup_fails),
}
codec()
stand_in("select", **variants[VARIANT])
mod, err = load()
assert err is None, err
lst = socket.create_server(("127.0.0.1", 0))
cli = socket.create_connection(lst.getsockname(), timeout=5)
srv, _ = lst.accept()
res = [mod._is_connection_normal(cli)]
n_idle = len(calls)
srv.sendall(b"x")
real.select([cli], [], [], 5)
res.append(mod._is_connection_normal(cli))
res.append(cli.recv(1).decode())
srv.close()
real.select([cli], [], [], 5)
res.append(mod._is_connection_normal(cli))
report(name=mod._is_connection_normal.__name__, results=res, idle_calls=calls[:n_idle],
       kinds=sorted({c[0] for c in calls}))
'''


@pytest.mark.parametrize("variant", [
    pytest.param("poll", marks=pytest.mark.skipif(not hasattr(select, "poll"), reason="no poll() (Windows)")),
    "select", "lookup-fails"])
def test_probe_variant_chosen_at_load(impl, variant):
    out = run_py(impl.__name__, "VARIANT = %r\n%s" % (variant, PROBE))
    assert out["name"] == "_is_connection_normal"
    assert out["results"] == [True, False, "x", False]
    if variant == "poll":
        assert out["idle_calls"] == [["poll()"], ["register", True], ["poll", 0]]
        assert out["kinds"] == ["poll", "poll()", "register"]
    else:
        assert out["idle_calls"] == [["select", 1, 0, 1, 0]]
        assert out["kinds"] == ["select"]


# -- load failures --------------------------------------------------------------------

MISSING = {
    "HEADER_LENGTH": 'stand_in("vantrel.share.protocol", **{k: v for k, v in vars(protocol).items() '
                     'if k != "HEADER_LENGTH"})',
    "get_error": 'stand_in("vantrel.share.errors")',
    "zstd": 'del codec().zstd',
    "unpack_one": 'del codec().unpack_one',
    "connection_error": 'codec(); stand_in("vantrel.utils")',
}


@pytest.mark.parametrize("name", list(MISSING))
def test_missing_sibling_name_fails_the_load(impl, name):
    out = run_py(impl.__name__, MISSING[name] + "\nmod, err = load()\nreport(err=err)")
    kind, message = out["err"]
    assert kind == "ImportError"
    assert re.match(r"cannot import name '?%s'?( |$)" % name, message), message


def test_enumeration_without_a_used_member_fails_the_load(impl):
    out = run_py(impl.__name__, '''
class CM:
    NONE, ZLIB, SNAPPY, ZSTD = 0, 1, 2, 4
stand_in("vantrel.share.protocol", **dict(vars(protocol), COMPRESSION_METHOD=CM))
codec(brotli=object())
mod, err = load()
report(err=err)
''')
    assert out["err"][0] == "AttributeError" and "BROTLI" in out["err"][1]


# -- surface ----------------------------------------------------------------------------

NAMES = ["socket", "select", "warnings", "MSG_TYPE", "SERIALIZATION_TYPE", "COMPRESSION_METHOD",
         "HEADER_LENGTH", "get_error", "snappy", "brotli", "msgpack", "unpack_header", "pack_one",
         "unpack_one", "zstd", "connection_error", "DEFAULT_COMPRESSION_METHOD",
         "DEFAULT_SERIALIZER_TYPE", "_is_connection_normal", "ProtocolError", "Connection"]
MEMBERS = ["sock_factory", "set_sock_factory", "__init__", "set_timeout", "is_normal",
           "_read_one_packet", "_do_auth", "close", "execute", "feed_unpack", "table_unpack",
           "table2_unpack"]


@pytest.mark.both_impls
def test_module_surface(impl):
    out = run_py(impl.__name__, '''
import inspect, socket, select, warnings
import vantrel.share.codec as K, vantrel.share.errors as E, vantrel.utils as U
mod, err = load()
assert err is None, err
C = mod.Connection
PE = mod.ProtocolError
sources = dict(socket=socket, select=select, warnings=warnings)
sources.update((n, getattr(protocol, n)) for n in
               ("MSG_TYPE", "SERIALIZATION_TYPE", "COMPRESSION_METHOD", "HEADER_LENGTH"))
sources.update((n, getattr(K, n)) for n in
               ("snappy", "brotli", "msgpack", "unpack_header", "pack_one", "unpack_one", "zstd"))
sources.update(get_error=E.get_error, connection_error=U.connection_error)
# what every class statement leaves in the class namespace
BOOKKEEPING = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__",
               "__firstlineno__", "__static_attributes__"}
methods = [n for n in vars(C) if n not in BOOKKEEPING | {"sock_factory"}]
report(
    names=[k for k in vars(mod) if not k.startswith("__")],
    members=[k for k in vars(C) if k == "__init__" or not k.startswith("__")],
    imported=[n for n, v in sources.items() if getattr(mod, n) is not v],
    plain_class=[type(C) is type, C.__bases__ == (object,), C.__qualname__, C.__module__],
    qualnames={n: getattr(C, n).__qualname__ for n in methods},
    generators=[n for n in methods if inspect.isgeneratorfunction(getattr(C, n))],
    factory=[C.sock_factory is socket.create_connection,
             isinstance(vars(C)["sock_factory"], staticmethod),
             isinstance(vars(C)["set_sock_factory"], staticmethod)],
    probe=[mod._is_connection_normal.__name__, mod._is_connection_normal.__qualname__],
    protocol_error=[PE.__bases__ == (U.connection_error,), PE.__doc__,
                    sorted(set(vars(PE)) - BOOKKEEPING),
                    PE("boom").args == ("boom",), str(PE("boom")) == "boom"],
)
''')
    assert [n for n in out["names"] if n in NAMES] == NAMES
    assert [n for n in out["names"] if n not in NAMES and not n.startswith("_")] == []
    assert out["members"] == MEMBERS
    assert out["imported"] == []
    assert out["plain_class"] == [True, True, "Connection", impl.__name__]
    assert out["qualnames"] == {n: "Connection." + n for n in MEMBERS[1:]}
    assert out["generators"] == []
    assert out["factory"] == [True, True, True]
    assert out["probe"] == ["_is_connection_normal"] * 2
    assert out["protocol_error"] == [True, None, [], True, True]


# -- load guards of the compiled module ------------------------------------------------------

@pytest.mark.ext_only
def test_second_module_object_is_refused(ext):
    out = run_py(ext.__name__, '''
import importlib.util
mod, err = load()
assert err is None, err
before = dict(vars(mod))
again = None
try:
    mod.__spec__.loader.exec_module(mod)
except BaseException as e:
    again = [type(e).__name__, str(e)]
unchanged = all(vars(mod).get(k) is v for k, v in before.items())
spec = importlib.util.spec_from_file_location("vantrel.connection", mod.__file__)
reinit = None
try:
    spec.loader.exec_module(importlib.util.module_from_spec(spec))
except BaseException as e:
    reinit = [type(e).__name__, str(e)]
report(again=again, unchanged=unchanged, reinit=reinit)
''')
    assert out == {"again": None, "unchanged": True, "reinit": [
        "RuntimeError",
        "Module 'connection' has already been imported. Re-initialisation is not supported."]}


@pytest.mark.ext_only
def test_second_interpreter_is_refused(ext, tmp_path):
    out_file = tmp_path / "sub.json"
    out = run_py(ext.__name__, '''
try:
    import _interpreters as interpreters
    interp = interpreters.create("legacy")
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        report(skip="no subinterpreter support")
        raise SystemExit(0)
    interp = (interpreters.create(isolated=False) if sys.version_info >= (3, 12)
              else interpreters.create())
mod, err = load()
assert err is None, err
interpreters.run_string(interp, """
import json
try:
    import vantrel.connection
    res = None
except BaseException as e:
    res = [type(e).__name__, str(e)]
with open(%r, "w") as f:
    json.dump(res, f)
""")
with open(%r) as f:
    report(sub=json.load(f))
''' % (str(out_file), str(out_file)))
    if "skip" in out:
        pytest.skip(out["skip"])
    assert out["sub"] == [
        "ImportError",
        "Interpreter change detected - this module can only be loaded into one interpreter per process."]


@pytest.mark.ext_only
def test_fast_paths_are_those_of_the_build(ext):
    """The paths over CPython's internals are compiled in only for the versions
    whose layouts they mirror, with the GIL, and never in a public-API build
    (VANTREL_PUBLIC_API=ON, as the build was made)."""
    public = os.environ.get("VANTREL_PUBLIC_API", "").upper() in ("1", "ON", "TRUE", "YES")
    known = (3, 9) <= sys.version_info[:2] <= (3, 13) and not sysconfig.get_config_var("Py_GIL_DISABLED")
    expected = set()
    if known and not public:
        expected = {"dict_entries", "globals_cache"}
        if sys.version_info[:2] >= (3, 12):
            expected.add("deferred_collection")
    assert ext._fast_paths == frozenset(expected)
