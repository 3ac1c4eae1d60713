"""JSON bodies, shared by both codecs: one text form and one set of errors.

Both the native codec (``vantrel.share._ccodec``) and the pure-Python one
(``vantrel.share._pycodec``) serialize JSON with :func:`dumps` and decode it
with :func:`loads`: compact UTF-8 text, no NaN or infinity, and
:class:`CodecError` for a body that is not JSON, saying what is wrong and
where, never what the body holds.
"""

from __future__ import annotations

import json
from typing import Any

from ._codecbase import decode_error, paused_collector

__all__ = ["decode", "dumps", "loads"]


def dumps(payload: Any) -> bytes:
    """The JSON body of ``payload``."""
    return json.dumps(payload, ensure_ascii=False, separators=(",", ":"),
                      allow_nan=False).encode("utf-8")


def decode(body: bytes) -> Any:
    """The value of a JSON body, the collector left as it is."""
    try:
        return json.loads(body.decode("utf-8"))
    except (ValueError, RecursionError) as exc:
        error = decode_error("JSON", exc, len(body))
    try:
        raise error
    finally:
        del error  # the traceback holds this frame: no cycle through the local


def loads(body: bytes) -> Any:
    """The value of a JSON body (decoded with the collector paused when it is large)."""
    return paused_collector(decode, body)
