"""A time limit on a stretch of one task's work, on every supported Python.

``with Deadline(seconds, what):`` cancels the current task when the time is up
and turns the cancellation into ``TimeoutError``, like ``asyncio.timeout``
(Python 3.11 and later), without a task of its own.  A cancellation that came
from elsewhere passes through as ``CancelledError``.
"""

from __future__ import annotations

import asyncio
from types import TracebackType
from typing import Optional, Type

from vantrel.errors import duration_text

__all__ = ["Deadline"]


class Deadline:
    def __init__(self, seconds: float, what: str) -> None:
        self._seconds = seconds
        self._what = what
        self._task: Optional[asyncio.Task[object]] = None
        self._handle: Optional[asyncio.TimerHandle] = None
        self._cancelling = 0
        self.expired = False

    def __enter__(self) -> Deadline:
        task = asyncio.current_task()
        if task is None:
            raise RuntimeError("a deadline needs a running task")
        self._task = task
        cancelling = getattr(task, "cancelling", None)
        if cancelling is not None:
            self._cancelling = cancelling()
        self._handle = asyncio.get_running_loop().call_later(self._seconds, self._expire)
        return self

    def _expire(self) -> None:
        self.expired = True
        assert self._task is not None
        self._task.cancel()

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        assert self._handle is not None and self._task is not None
        self._handle.cancel()
        if not self.expired:
            return
        uncancel = getattr(self._task, "uncancel", None)
        if uncancel is not None and uncancel() > self._cancelling:
            return  # also cancelled from elsewhere: that cancellation goes on
        if exc_type is not None and issubclass(exc_type, asyncio.CancelledError):
            raise TimeoutError("%s took longer than %s" % (self._what, duration_text(self._seconds))) from None
