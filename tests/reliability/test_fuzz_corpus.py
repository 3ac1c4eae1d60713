"""A short run of the packet fuzzer (fuzz/fuzz_packet.py): its corpus, then seeded mutations.

Every input goes through the compiled module and the twin, which must agree;
only the documented exception types may come out.  Long runs: docs/reliability.md.
"""

from __future__ import annotations

import importlib.util
import os
from types import ModuleType

import pytest

from .sizes import scale

FUZZ_DIR = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "fuzz")


def _harness() -> ModuleType:
    spec = importlib.util.spec_from_file_location("fuzz_packet", os.path.join(FUZZ_DIR, "fuzz_packet.py"))
    assert spec is not None and spec.loader is not None
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


@pytest.fixture(scope="module")
def harness() -> ModuleType:
    return _harness()


@pytest.fixture(scope="module")
def target(harness: ModuleType):
    return harness.Target("ext", differential=True)


def test_corpus_replays_cleanly(harness: ModuleType, target) -> None:
    for name, data in harness.read_corpus([os.path.join(FUZZ_DIR, "corpus")]):
        try:
            target(data)
        except harness.Finding as e:
            pytest.fail("%s: %s" % (os.path.basename(name), e))


def test_seeded_mutations(harness: ModuleType, target) -> None:
    corpus = [d for _, d in harness.read_corpus([os.path.join(FUZZ_DIR, "corpus")])]
    findings = harness.run_mutate(target, corpus, runs=scale(400, 20000), seconds=0, seed=7)
    assert findings == 0
