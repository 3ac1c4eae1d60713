"""Measuring one run: client CPU and wall time, or peak traced memory."""

from __future__ import annotations

import gc
import os
import time
import tracemalloc
from typing import Any, Callable, Tuple

try:
    import resource
except ImportError:  # pragma: no cover - not a Unix
    resource = None  # type: ignore[assignment]

MB = 1024.0 * 1024.0


def system_time() -> float:
    if resource is not None:
        return resource.getrusage(resource.RUSAGE_SELF).ru_stime
    return os.times().system


def timed(run: Callable[[], Any]) -> Tuple[float, float, float]:
    """Return ``(cpu_s, wall_s, sys_s)`` of one call of ``run``.

    ``cpu_s`` is the client's CPU time (``time.process_time``), user and
    system together; ``sys_s`` the system part of it.  The result is dropped,
    and garbage collected, outside the measured span.
    """
    gc.collect()
    s0 = system_time()
    c0 = time.process_time()
    w0 = time.perf_counter()
    result = run()
    w1 = time.perf_counter()
    c1 = time.process_time()
    s1 = system_time()
    del result
    gc.collect()
    return c1 - c0, w1 - w0, s1 - s0


def traced(run: Callable[[], Any]) -> Tuple[float, float, Any]:
    """Return ``(peak_mb, result_mb, result)`` of one call of ``run``.

    ``peak_mb`` is the highest traced memory during the call above what was
    traced before it; ``result_mb`` what is still traced once it has returned,
    that is the size of its result.
    """
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = run()
        after, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return (peak - before) / MB, (after - before) / MB, result
