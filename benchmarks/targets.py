"""The ratios that the compiled connection is held to, checked on one run's medians."""

from __future__ import annotations

from typing import Any, Dict, List

MB = 1024.0 * 1024.0


def _cpu(figures: Dict[str, Dict[str, Any]], impl: str) -> float:
    cpu: float = figures[impl]["cpu_s"]
    return cpu


def check(scenarios: Dict[str, Dict[str, Dict[str, Any]]],
          info: Dict[str, Dict[str, Any]]) -> List[Dict[str, Any]]:
    """Return one entry per target: what is compared, the value, the limit, passed or not."""
    out: List[Dict[str, Any]] = []

    def add(scenario: str, what: str, value: float, limit: float) -> None:
        out.append({"scenario": scenario, "what": what, "value": round(value, 4),
                    "limit": round(limit, 3), "ok": value <= limit})

    for name, figures in scenarios.items():
        if "ext" not in figures:
            continue
        ext = _cpu(figures, "ext")
        if "twin" in figures:
            twin = _cpu(figures, "twin")
            limit = {"table_200k": 0.78, "feed_1m": 0.90, "table2_200k": 0.90}.get(name, 1.0)
            add(name, "cpu ext/twin", ext / twin, limit)
            if name == "table_200k" and "floor" in figures:
                floor = _cpu(figures, "floor")
                if twin > floor:
                    add(name, "cpu (ext-floor)/(twin-floor)", (ext - floor) / (twin - floor), 0.60)
        if name == "small_call" and "floor" in figures:
            add(name, "cpu ext/floor", ext / _cpu(figures, "floor"), 1.05)
        if name == "small_call" and "pure" in figures:
            add(name, "cpu ext/pure", ext / _cpu(figures, "pure"), 0.90)
        peak = figures["ext"].get("peak_mb")
        if peak is None:
            continue
        if "twin" in figures and figures["twin"].get("peak_mb") is not None:
            add(name, "peak_mb ext/twin", peak / figures["twin"]["peak_mb"], 1.0)
        bound = figures["ext"]["result_mb"] + 2 * info[name]["largest_packet"] / MB
        add(name, "peak_mb ext / (result + 2 x largest packet)", peak / bound, 1.0)
    return out


def check_instructions(scenarios: Dict[str, Dict[str, Dict[str, Any]]]) -> List[Dict[str, Any]]:
    """The instruction targets: small_call ext at most 0.65 x pure (moonshot 0.55)."""
    figures = scenarios.get("small_call", {})
    if "ext" not in figures or "pure" not in figures:
        return []
    value = figures["ext"]["instr_per_call"] / figures["pure"]["instr_per_call"]
    return [{"scenario": "small_call", "what": "instructions ext/pure", "value": round(value, 4),
             "limit": 0.65, "ok": value <= 0.65}]
