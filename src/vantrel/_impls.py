"""The package's compiled modules and their pure-Python twins, in one place.

Tests, benchmarks, the fuzzer and the command line name an implementation of
the connection by a short key: ``ext`` (the compiled module) or ``twin`` (its
pure-Python twin).  Setting the environment variable ``VANTREL_PURE_PYTHON=1``
makes the package use its twins throughout: the command line and the
package's own entry points open twin connections, and ``vantrel.share.codec``
is the pure-Python codec.
"""

from __future__ import annotations

import importlib
import os
from types import ModuleType
from typing import Dict

#: Implementation key -> module of the connection.
CONNECTION_MODULES: Dict[str, str] = {
    "ext": "vantrel.connection",
    "twin": "vantrel._pyconnection",
}


#: Implementation key -> module of the packet codec.
CODEC_MODULES: Dict[str, str] = {
    "ext": "vantrel.share._ccodec",
    "twin": "vantrel.share._pycodec",
}


def pure_python() -> bool:
    """True when ``VANTREL_PURE_PYTHON`` asks for the pure-Python twins."""
    return os.environ.get("VANTREL_PURE_PYTHON", "").strip() not in ("", "0")


def connection_module(name: str = "") -> ModuleType:
    """The connection module for ``name`` (``ext`` or ``twin``); by default the
    compiled one, or the twin when ``VANTREL_PURE_PYTHON`` is set."""
    if not name:
        name = "twin" if pure_python() else "ext"
    return importlib.import_module(CONNECTION_MODULES[name])


def codec_module() -> ModuleType:
    """The packet codec: the native one when it is built and ``VANTREL_PURE_PYTHON``
    is not set, else the pure-Python twin."""
    if not pure_python():
        try:
            return importlib.import_module(CODEC_MODULES["ext"])
        except ModuleNotFoundError as exc:  # not built; any other failure is reported
            if exc.name != CODEC_MODULES["ext"]:
                raise
    return importlib.import_module(CODEC_MODULES["twin"])
