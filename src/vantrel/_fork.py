"""Connections and fork(): which process may use a socket.

A child made by ``fork()`` inherits the parent's sockets.  If both processes
use one, each reads the other's answers.  So a connection (or a pool) notes
the process generation it was opened in, and a process that finds itself in
a later generation never touches the inherited socket: it neither sends nor
shuts it down, but forgets it (:func:`forget`) and opens a new one.

``generation`` is bumped in the child right after every ``fork()``, so the
check is one comparison of two integers.
"""

from __future__ import annotations

import os
import threading
import weakref
from typing import Any

from vantrel.errors import ConnectionClosed

__all__ = ["check", "forget", "generation", "inherited", "lock", "track"]

#: Bumped in the child after each fork(): 0 in a process that never forked.
generation = 0
#: Serialises the clean-up of inherited state; made anew in each child, where
#: a lock held by another thread of the parent at the fork stays held for good.
lock = threading.Lock()


#: The sockets of the connections this process opened (see :func:`track`).
_sockets: weakref.WeakSet[Any] = weakref.WeakSet()


def track(sock: Any) -> None:
    """Let go of ``sock`` in every child forked later: its descriptor there is
    pointed at /dev/null, so that a call of the child on the inherited
    connection sends nothing to the parent's peer and reads an end of file,
    which the connection reports as :func:`inherited`."""
    _sockets.add(sock)


def _after_fork_in_child() -> None:
    global generation, lock, _sockets
    generation += 1
    lock = threading.Lock()
    inherited_sockets, _sockets = list(_sockets), weakref.WeakSet()
    for sock in inherited_sockets:
        try:
            forget(sock.fileno())
        except (OSError, ValueError):
            pass


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def inherited(what: str = "this connection") -> ConnectionClosed:
    """The error for using, after ``fork()``, a connection opened before it."""
    return ConnectionClosed(
        "%s was opened in the parent of this process (pid %d) before fork(); "
        "a connection serves only the process that opened it: open a new one"
        % (what, os.getpid()), reason="inherited through fork()")


def check(opened: int, what: str = "this connection") -> None:
    """Raise :func:`inherited` unless ``opened`` (the ``generation`` noted when
    the connection was opened) is this process's."""
    if opened != generation:
        raise inherited(what)


def forget(fd: int) -> None:
    """Let go of an inherited socket descriptor without sending anything on it:
    the descriptor is pointed at /dev/null, so that nothing this process does
    with the socket object later (closing it, collecting it) can reach the
    connection, which stays the parent's.  Closing it would also send nothing
    while the parent holds it, but the socket object would close the number
    again later, when it may belong to another file."""
    if fd < 0:
        return
    null = os.open(os.devnull, os.O_RDWR)
    try:
        os.dup2(null, fd)
    finally:
        os.close(null)
