"""The ratios that the compiled connection is held to, checked on one run's medians."""

from __future__ import annotations

from typing import Any, Dict, List

MB = 1024.0 * 1024.0


def _cpu(figures: Dict[str, Dict[str, Any]], impl: str) -> float:
    cpu: float = figures[impl]["cpu_s"]
    return cpu


#: CPU time of the compiled connection at most this share of ``pure``'s (the
#: twin on the pure-Python codec: what a user gets without the compiled parts).
CPU_EXT_PURE = {"small_call": 0.90, "table_200k": 0.50, "table_200k_zstd": 0.55,
                "table2_200k": 0.90, "feed_1m": 0.90}
#: Peak memory at most the result plus this many times the largest packet
#: (a compressed packet is held beside its expansion while it is decoded).
PEAK_PACKETS = {"table_200k": 1.25}
PEAK_PACKETS_DEFAULT = 2.0


def target(scenario: str, what: str, value: float, limit: float) -> Dict[str, Any]:
    """One checked target: what is compared, the value, the limit, passed or not."""
    return {"scenario": scenario, "what": what, "value": round(value, 4),
            "limit": round(limit, 3), "ok": value <= limit}


def check(scenarios: Dict[str, Dict[str, Dict[str, Any]]],
          info: Dict[str, Dict[str, Any]]) -> List[Dict[str, Any]]:
    """Return one entry per target: what is compared, the value, the limit, passed or not."""
    out: List[Dict[str, Any]] = []

    def add(scenario: str, what: str, value: float, limit: float) -> None:
        out.append(target(scenario, what, value, limit))

    for name, figures in scenarios.items():
        if "ext" not in figures:
            continue
        ext = _cpu(figures, "ext")
        if name in CPU_EXT_PURE and "pure" in figures:
            add(name, "cpu ext/pure", ext / _cpu(figures, "pure"), CPU_EXT_PURE[name])
        if "twin" in figures:
            add(name, "cpu ext/twin", ext / _cpu(figures, "twin"), 1.0)
        peak = figures["ext"].get("peak_mb")
        if peak is None or name not in info:
            continue
        largest = info[name]["largest_packet"] / MB
        packets = PEAK_PACKETS.get(name, PEAK_PACKETS_DEFAULT)
        add(name, "peak_mb ext / (result + %.2f x largest packet)" % packets,
            peak / (figures["ext"]["result_mb"] + packets * largest), 1.0)
    return out


def check_instructions(scenarios: Dict[str, Dict[str, Dict[str, Any]]]) -> List[Dict[str, Any]]:
    """The instruction targets: small_call ext at most 0.65 x pure (aim: 0.55)."""
    figures = scenarios.get("small_call", {})
    if "ext" not in figures or "pure" not in figures:
        return []
    value = figures["ext"]["instr_per_call"] / figures["pure"]["instr_per_call"]
    return [target("small_call", "instructions ext/pure", value, 0.65)]
