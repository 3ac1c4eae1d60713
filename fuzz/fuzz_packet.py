#!/usr/bin/env python3
"""Fuzz the connection's packet path with arbitrary server bytes.

One input is one exchange with a scripted loopback peer.  The first byte picks
the entry point, the rest is what the peer writes there, after which it ends
its side of the stream:

    byte 0 % 3 == 0   the reply to the handshake (the constructor, then one call)
    byte 0 % 3 == 1   the answer to ``execute`` (then a second ``execute``)
    byte 0 % 3 == 2   packets read one by one with ``_read_one_packet``

The exchanges are those of the differential harness, tests/differential.py,
which also says which exceptions may come out of them.  An undocumented
exception, a hang (a socket time-out: the peer always ends its stream), a
crash, or (with ``--differential``) a difference between the compiled module
and the pure-Python twin is a finding.

Engines: ``atheris`` (libFuzzer, coverage-guided on the Python side) when it
is installed, otherwise ``mutate``, a built-in mutational engine seeded with
the corpus that keeps inputs giving new outcomes.

    python fuzz/fuzz_packet.py WORK fuzz/corpus                  # atheris, endless
    python fuzz/fuzz_packet.py -runs=20000 WORK fuzz/corpus      # atheris, bounded
    python fuzz/fuzz_packet.py --engine mutate --runs 5000 fuzz/corpus
    python fuzz/fuzz_packet.py --replay fuzz/corpus              # each file once

libFuzzer writes the inputs it keeps into its first corpus directory: give it
a scratch directory WORK first so that the seeds in fuzz/corpus stay as they
are.  Options of this script come first; the rest goes to libFuzzer (atheris).
``--impl ext|twin`` picks the module under test (default ext, the compiled
one); ``--differential`` runs every input through both and compares them.
"""

from __future__ import annotations

import argparse
import faulthandler
import os
import random
import re
import sys
import time
from typing import Any, Dict, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
try:  # the installed package (the sanitizer build, say), else the source tree
    import vantrel
except ImportError:
    sys.path.insert(0, os.path.join(HERE, os.pardir, "src"))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))  # the harness: peer.py, differential.py

WATCHDOG = 120.0  # one input taking longer than this is a hang: dump the stacks and exit
MAX_LEN = 1 << 16
MODES = ("handshake", "execute", "reader")  # by the input's first byte

try:
    import atheris
except ImportError:
    atheris = None

if atheris is not None:
    with atheris.instrument_imports(include=["vantrel"]):
        import vantrel._pyconnection  # noqa: F401
        from vantrel.share import codec, errors, protocol  # noqa: F401

from differential import RUNNERS, Finding, compare, huge_allocations_abort  # noqa: E402
from vantrel._impls import CONNECTION_MODULES, connection_module  # noqa: E402
from vantrel.share.codec import unpack_header  # noqa: E402
from vantrel.share.protocol import HEADER_LENGTH  # noqa: E402

# Under AddressSanitizer a failed huge allocation aborts the process unless
# ASAN_OPTIONS has allocator_may_return_null=1; without it, inputs whose
# headers announce such a body are skipped (and counted).
HUGE = 1 << 32  # far more than this machine lends at once
HUGE_ABORTS = huge_allocations_abort()


def announces_huge_body(stream: bytes) -> bool:
    pos = 0
    while pos + HEADER_LENGTH <= len(stream):
        length = unpack_header(stream[pos:pos + HEADER_LENGTH])[3]
        if length >= HUGE:
            return True
        pos += HEADER_LENGTH + max(length, 0)
    return False


class Target:
    """One input, one exchange: through ``impl``, or with ``differential`` through it and the twin."""

    def __init__(self, impl: str, differential: bool) -> None:
        self.impl = impl
        self.mod = connection_module(impl)
        self.differential = differential
        self.runs = 0
        self.skipped = 0
        self.outcomes: Dict[Tuple[Any, ...], int] = {}

    def __call__(self, data: bytes) -> Tuple[Any, ...]:
        data = bytes(data[:MAX_LEN])
        if HUGE_ABORTS and announces_huge_body(data[1:]):
            self.skipped += 1
            return ("skipped",)
        mode = MODES[data[0] % 3] if data else "execute"
        faulthandler.dump_traceback_later(WATCHDOG, exit=True)
        try:
            out = compare(mode, data[1:], self.impl, "twin") if self.differential else RUNNERS[mode](self.mod, data[1:])
        finally:
            faulthandler.cancel_dump_traceback_later()
        self.runs += 1
        key = tuple(o[:1] + tuple(re.sub(r"[0-9]+", "N", str(x))[:40] for x in o[1:3]) for o in out)
        self.outcomes[key] = self.outcomes.get(key, 0) + 1
        return key


# -- the built-in engine ------------------------------------------------------------

_INTERESTING_LENGTHS = [0, 1, -1, 11, 12, 13, 255, 65535, 1 << 31, (1 << 63) - 1, -(1 << 63)]


def _mutate(rng: random.Random, data: bytes, pool: List[bytes]) -> bytes:
    b = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(9)
        pos = rng.randrange(len(b) + 1)
        if op == 0 and b:  # flip a bit
            i = rng.randrange(len(b))
            b[i] ^= 1 << rng.randrange(8)
        elif op == 1 and b:  # set a byte
            b[rng.randrange(len(b))] = rng.choice([0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x7F, 0x80, 0xFF,
                                                   rng.randrange(256)])
        elif op == 2:  # insert random bytes
            b[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
        elif op == 3 and b:  # delete a run
            del b[pos:pos + rng.randint(1, 16)]
        elif op == 4:  # truncate
            del b[pos:]
        elif op == 5 and pool:  # splice in a piece of another input
            other = rng.choice(pool)
            i = rng.randrange(len(other) + 1)
            b[pos:pos] = other[i:i + rng.randint(1, 64)]
        elif op == 6 and len(b) > 1:  # duplicate a run (repeated packets)
            i = rng.randrange(len(b))
            b[pos:pos] = b[i:i + rng.randint(1, 48)]
        elif op == 7 and len(b) >= 1 + HEADER_LENGTH:  # a header's length field
            start = 1 + rng.randrange(0, len(b) - HEADER_LENGTH)
            value = rng.choice(_INTERESTING_LENGTHS + [rng.randrange(-4, 64)])
            b[start + 4:start + 12] = value.to_bytes(8, "big", signed=True)
        elif op == 8 and b:  # another entry point
            b[0] = rng.randrange(3)
    return bytes(b[:MAX_LEN])


def read_corpus(paths: List[str]) -> List[Tuple[str, bytes]]:
    files = []
    for path in paths:
        names = [os.path.join(path, n) for n in sorted(os.listdir(path))] if os.path.isdir(path) else [path]
        for name in names:
            if os.path.isfile(name):
                with open(name, "rb") as f:
                    files.append((name, f.read()))
    return files


def run_mutate(target: Target, corpus: List[bytes], runs: int, seconds: float, seed: int) -> int:
    rng = random.Random(seed)
    pool = list(corpus) or [b"\x01"]
    seen = set()
    findings = 0
    deadline = time.monotonic() + seconds if seconds > 0 else None
    for data in pool[:]:
        seen.add(target(data))
    done = 0
    while (runs <= 0 or done < runs) and (deadline is None or time.monotonic() < deadline):
        data = _mutate(rng, rng.choice(pool), pool)
        done += 1
        try:
            key = target(data)
        except Finding as e:
            findings += 1
            name = os.path.join(os.getcwd(), "finding-%d-%s.bin" % (os.getpid(), findings))
            with open(name, "wb") as f:
                f.write(data)
            print("FINDING (input saved to %s): %s" % (name, e), flush=True)
            continue
        if key not in seen:  # a new kind of outcome: keep the input to mutate further
            seen.add(key)
            pool.append(data)
    return findings


def main(argv: List[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--impl", choices=sorted(CONNECTION_MODULES), default="ext")
    ap.add_argument("--differential", action="store_true",
                    help="run every input through the twin too and compare")
    ap.add_argument("--engine", choices=["atheris", "mutate"],
                    default="atheris" if atheris is not None else "mutate")
    ap.add_argument("--runs", type=int, default=0, help="mutate: inputs to try (0: no limit)")
    ap.add_argument("--seconds", type=float, default=0, help="mutate: time budget (0: none)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--replay", action="store_true", help="run each corpus file once and stop")
    args, rest = ap.parse_known_args(argv[1:])
    target = Target(args.impl, args.differential)
    corpus_dirs = [a for a in rest if not a.startswith("-")]
    started = time.monotonic()
    findings = 0
    try:
        if args.replay:
            for name, data in read_corpus(corpus_dirs):
                try:
                    target(data)
                except Finding as e:
                    findings += 1
                    print("FINDING in %s: %s" % (name, e), flush=True)
        elif args.engine == "atheris":
            if atheris is None:
                ap.error("atheris is not installed")
            if not any(a.startswith("-timeout=") for a in rest):
                rest.append("-timeout=%d" % int(WATCHDOG))
            if not any(a.startswith("-max_len=") for a in rest):
                rest.append("-max_len=4096")
            atheris.Setup([argv[0]] + rest, lambda data: target(data))
            atheris.Fuzz()  # exits the process at the end of the runs
        else:
            corpus = [d for _, d in read_corpus(corpus_dirs)]
            findings = run_mutate(target, corpus, args.runs, args.seconds, args.seed)
    finally:
        elapsed = time.monotonic() - started
        print("fuzz_packet: %s%s, %d executions in %.1f s (%.0f/s), %d outcome kinds, %d findings%s"
              % (target.mod.__name__, " vs twin" if args.differential else "", target.runs,
                 elapsed, target.runs / max(elapsed, 1e-9), len(target.outcomes), findings,
                 ", %d inputs skipped (huge bodies abort under ASan)" % target.skipped
                 if target.skipped else ""),
              flush=True)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
