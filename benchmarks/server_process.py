"""Start answer_server.py in a process of its own and stop it again."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from typing import Any, Dict, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))


class AnswerServer:
    """The pre-encoded-answer server, running in a child process."""

    def __init__(self) -> None:
        from bootstrap import child_env

        self._proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "answer_server.py")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=child_env())
        assert self._proc.stdout is not None
        line = self._proc.stdout.readline()
        if not line:
            self._proc.wait(10)
            raise RuntimeError("the answer server did not start (exit code %r)"
                               % self._proc.returncode)
        hello = json.loads(line)
        self.address: Tuple[str, int] = ("127.0.0.1", int(hello["port"]))
        self.info: Dict[str, Dict[str, Any]] = hello["info"]

    def stop(self) -> None:
        # Closing its standard input makes the server exit.
        if self._proc.stdin is not None:
            self._proc.stdin.close()
        try:
            self._proc.wait(10)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait(10)
        if self._proc.stdout is not None:
            self._proc.stdout.close()

    def __enter__(self) -> AnswerServer:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()
