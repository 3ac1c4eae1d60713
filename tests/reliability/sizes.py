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


def scale(short: int, full: int) -> int:
    """``full`` under ``VANTREL_LONG=1``, ``short`` otherwise."""
    return full if LONG else short


_COMMON: Dict[str, Any] = {
    "deadline": None,
    "suppress_health_check": [HealthCheck.too_slow, HealthCheck.data_too_large],
}
settings.register_profile("reliability-short", max_examples=300, derandomize=bool(os.environ.get("CI")),
                          **_COMMON)
settings.register_profile("reliability-long", max_examples=5000, **_COMMON)
PROFILE = "reliability-long" if LONG else "reliability-short"
