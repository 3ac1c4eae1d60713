"""User-space instructions per call, counted by callgrind.

Each implementation runs in a child interpreter under ``valgrind
--tool=callgrind``, twice: once with a short and once with a longer run of the
same operation.  The difference of the two totals divided by the difference
of the counts is what one more call costs, with interpreter start-up, imports
and the connection's opening cancelled out.  The answer server runs outside
valgrind, so only the client is counted.  Unlike CPU times, these figures do
not move with the machine's load.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from typing import Any, Dict, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))

#: Scenarios measured, and the (short, long) counts of calls or connections.
COUNTS: Dict[str, Tuple[int, int]] = {"small_call": (200, 1200), "connect": (20, 120)}

_TOTAL = re.compile(r"Collected\s*:\s*(\d+)")


def _total(impl: str, scenario: str, count: int, address: Tuple[str, int]) -> int:
    env = dict(os.environ, PYTHONHASHSEED="0")
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
           sys.executable, os.path.abspath(__file__), "--child", impl, scenario,
           str(count), address[0], str(address[1])]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    match = _TOTAL.search(proc.stderr)
    if proc.returncode != 0 or match is None:
        raise RuntimeError("callgrind run of %s/%s failed:\n%s" % (impl, scenario, proc.stderr[-2000:]))
    return int(match.group(1))


def measure(names: List[str], scenarios: List[str],
            address: Tuple[str, int]) -> Dict[str, Dict[str, Dict[str, Any]]]:
    """``{scenario: {impl: {"instr_per_call": N}}}`` for the scenarios of COUNTS."""
    out: Dict[str, Dict[str, Dict[str, Any]]] = {}
    for scenario in scenarios:
        short, long = COUNTS[scenario]
        out[scenario] = {}
        for name in names:
            diff = _total(name, scenario, long, address) - _total(name, scenario, short, address)
            out[scenario][name] = {"instr_per_call": round(diff / (long - short))}
            print("  %s %s: %d instructions per call" % (
                scenario, name, out[scenario][name]["instr_per_call"]), file=sys.stderr, flush=True)
    return out


def _child(impl: str, scenario: str, count: int, host: str, port: int) -> None:
    sys.path.insert(0, HERE)
    try:
        import vantrel  # noqa: F401
    except ImportError:
        sys.path.insert(1, os.path.join(os.path.dirname(HERE), "src"))
    import impls

    chosen = impls.make(impl, (host, port))
    if scenario == "connect":
        chosen.connect(3)
        chosen.connect(count)
        return
    conn = chosen.open()
    chosen.calls(conn, 20)
    chosen.calls(conn, count)
    chosen.close(conn)


if __name__ == "__main__":
    if len(sys.argv) == 7 and sys.argv[1] == "--child":
        _child(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5], int(sys.argv[6]))
    else:
        raise SystemExit("run through run.py --instructions")
