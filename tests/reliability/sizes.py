"""Run sizes and Hypothesis profiles of the reliability suite.

Every long-running case takes its size from :func:`scale`: a small size by
default, so that the whole suite stays short, and the full size when the
environment sets ``VANTREL_LONG=1`` (see docs/reliability.md).
"""

from __future__ import annotations

import os
from typing import Any, Dict

from hypothesis import HealthCheck, settings

LONG = os.environ.get("VANTREL_LONG", "") not in ("", "0")
# A factor on the examples of every Hypothesis test (VANTREL_EXAMPLES=0.25):
# CI takes fewer under the sanitizers and the debug interpreter, where each
# example costs many times more, and runs the full number elsewhere.
FACTOR = float(os.environ.get("VANTREL_EXAMPLES", "") or 1)


def scale(short: int, full: int) -> int:
    """``full`` under ``VANTREL_LONG=1``, ``short`` otherwise."""
    return full if LONG else short


def examples(n: int) -> int:
    """``n`` Hypothesis examples, times ``VANTREL_EXAMPLES`` (at least 10)."""
    return max(10, round(n * FACTOR))


_COMMON: Dict[str, Any] = {
    "deadline": None,
    "suppress_health_check": [HealthCheck.too_slow, HealthCheck.data_too_large],
}
settings.register_profile("reliability-short", max_examples=examples(300), derandomize=bool(os.environ.get("CI")),
                          **_COMMON)
settings.register_profile("reliability-long", max_examples=5000, **_COMMON)
PROFILE = "reliability-long" if LONG else "reliability-short"
