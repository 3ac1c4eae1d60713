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
from types import ModuleType
from typing import Dict

# The codec's choice is the base layer's own (vantrel.share.choice); the same
# environment variable decides it.
from vantrel.share.choice import CODEC_MODULES, codec_module, pure_python

__all__ = ["CODEC_MODULES", "CONNECTION_MODULES", "codec_module", "connection_module", "pure_python"]

#: Implementation key -> module of the connection.
CONNECTION_MODULES: Dict[str, str] = {
    "ext": "vantrel.connection",
    "twin": "vantrel._pyconnection",
}


def connection_module(name: str = "") -> ModuleType:
    """The connection module for ``name`` (``ext`` or ``twin``); by default the
    compiled one, or the twin when ``VANTREL_PURE_PYTHON`` is set."""
    if not name:
        name = "twin" if pure_python() else "ext"
    return importlib.import_module(CONNECTION_MODULES[name])
