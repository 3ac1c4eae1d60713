"""The handshake as ``vantrel.connect`` and the asyncio client run it.

They keep the server's notice on the connection (``conn.notice``) and hand it
to an ``on_notice`` callback or a warning themselves, instead of the bare
connection's ``warnings.warn`` inside the handshake; the request and the
check of the reply are the bare connection's.
"""

from __future__ import annotations

import os
import sys
import warnings
from typing import Any, Callable, Optional

#: A callback that receives the server's handshake notice.
NoticeHandler = Callable[[Any], None]

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def handshake_packet(m: Any, auth: Any) -> bytes:
    """The HANDSHAKE packet of ``auth``, as connection module ``m`` builds it."""
    packet: bytes = m.pack_one(auth, m.MSG_TYPE.HANDSHAKE, m.DEFAULT_SERIALIZER_TYPE,
                               m.DEFAULT_COMPRESSION_METHOD, force_compress=True)
    return packet


def check_reply(m: Any, msg_type: Any) -> None:
    """Refuse a reply that is not a HANDSHAKE packet, with the connection's text."""
    if msg_type != m.MSG_TYPE.HANDSHAKE:
        raise m.ProtocolError("handshake message expected while {} received"
                              .format(m.MSG_TYPE[msg_type]))


def deliver_notice(notice: Any, on_notice: Optional[NoticeHandler]) -> None:
    """Hand a notice (not None) to ``on_notice``, or issue it as a warning
    attributed to the first line outside this package that led here."""
    if notice is None:
        return
    if on_notice is not None:
        on_notice(notice)
        return
    warnings.warn(notice, stacklevel=_outside_level())


def _outside_level() -> int:
    # The stack level of the first frame whose file is not in the package,
    # counted as warnings.warn counts (1 is the caller of warn).
    frame = sys._getframe(2)  # the caller of deliver_notice
    level = 2
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame = frame.f_back  # type: ignore[assignment]
        level += 1
    return level
