"""Which packet codec the package runs on: the native one or its pure-Python twin.

``VANTREL_PURE_PYTHON=1`` in the environment makes the package use its
pure-Python twins throughout (``vantrel._impls`` chooses the connection module
by the same test); otherwise the native codec ``vantrel.share._ccodec`` when
it is built.
"""

from __future__ import annotations

import importlib
import os
from types import ModuleType
from typing import Dict

__all__ = ["CODEC_MODULES", "codec_module", "pure_python"]

#: Implementation key -> module of the packet codec.
CODEC_MODULES: Dict[str, str] = {
    "ext": "vantrel.share._ccodec",
    "twin": "vantrel.share._pycodec",
}


def pure_python() -> bool:
    """True when ``VANTREL_PURE_PYTHON`` asks for the pure-Python twins."""
    return os.environ.get("VANTREL_PURE_PYTHON", "").strip() not in ("", "0")


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
