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
from types import FrameType
from typing import Any, Callable, Dict, Optional

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


#: The notices already shown, per line of the application, under the "default"
#: action of the warning filters.  The package's own, not the caller's
#: ``__warningregistry__`` (which would keep every distinct notice for as long
#: as the caller's module lives), and bounded: once it holds
#: :data:`NOTICES_KEPT` of them it starts again, so a notice may then be shown
#: again.
_shown: Dict[Any, Any] = {}
NOTICES_KEPT = 16


def deliver_notice(notice: Any, on_notice: Optional[NoticeHandler]) -> None:
    """Hand a notice (not None) to ``on_notice``, or issue it as a warning
    attributed to the first line outside this package that led here."""
    if notice is None:
        return
    if on_notice is not None:
        on_notice(notice)
        return
    frame = _outside_frame()
    if len(_shown) > NOTICES_KEPT:
        _shown.clear()
    category = notice.__class__ if isinstance(notice, Warning) else UserWarning
    if frame is None:
        warnings.warn_explicit(notice, category, "sys", 1, registry=_shown)
        return
    globs = frame.f_globals
    warnings.warn_explicit(notice, category, frame.f_code.co_filename, frame.f_lineno,
                           module=globs.get("__name__", "<string>"), registry=_shown,
                           module_globals=globs)


def _outside_frame() -> Optional[FrameType]:
    # The first frame whose file is not in the package (what warnings.warn's
    # stacklevel would find).
    frame: Optional[FrameType] = sys._getframe(2)  # the caller of deliver_notice
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame = frame.f_back
    return frame
