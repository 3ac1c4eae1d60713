"""Installing from the source distribution on a machine without a C++ compiler."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[1]


@pytest.mark.slow
def test_sdist_without_compiler_names_the_fix(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    if not (SOURCE / "CMakeLists.txt").is_file():
        pytest.skip("needs the source tree")
    build = pytest.importorskip("scikit_build_core.build")
    monkeypatch.chdir(SOURCE)
    sdist = tmp_path / build.build_sdist(str(tmp_path))
    env = dict(os.environ, CC="/nonexistent/cc", CXX="/nonexistent/c++")
    proc = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation",
         "--disable-pip-version-check", "-w", str(tmp_path / "wheels"),
         "--config-settings=build-dir=%s" % (tmp_path / "build"), str(sdist)],
        capture_output=True, text=True, env=env, timeout=300)
    out = proc.stdout + proc.stderr
    assert proc.returncode != 0
    # one unbroken line that names both ways out
    assert "vantrel: building from source needs a C++20 compiler" in out
    assert "install one, or install a binary wheel (pip install --only-binary vantrel vantrel)" in out
    assert not (tmp_path / "wheels").exists() or not list((tmp_path / "wheels").iterdir())
