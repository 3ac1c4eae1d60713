"""The runnable examples of README.md and docs/*.md run and give what the text says.

A fenced block is runnable when its info string has the word ``run`` after
the language (it still renders as that language)::

    ```python run
    conn.execute("add", 2, 3)   # -> 5
    ```

    ```console run
    $ vantrel call 127.0.0.1:7878 add 2 3
    5
    ```

- ``python run``: the blocks of one file run in order in one namespace, as a
  reader would type them.  A line ``EXPRESSION  # -> VALUE`` whose VALUE is
  a Python literal (a remark in parentheses may follow it) is checked: the
  expression must equal it.
- ``python sketch`` (or ``console sketch``): a shape to read, not to run (a
  signature, a server that runs for ever); every ``python`` and ``console``
  block is one or the other (:func:`test_every_example_runs_or_is_a_sketch`).
- ``console run``: each ``$ COMMAND`` runs (``vantrel`` is this package's
  command, leading ``NAME=VALUE`` words are its environment) and its stdout
  must be the lines that follow, up to the next ``$``.

The examples talk to ``vantrel serve --auth alice:secret`` as the README
starts it, on a free loopback port: the port 7878 in a block is replaced by
that port, and VANTREL_URL names the server.
"""

from __future__ import annotations

import ast
import os
import re
import shlex
import subprocess
import sys
from typing import Any, Dict, Iterator, List, NamedTuple

import pytest

from peer import python_env

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if not os.path.isdir(os.path.join(ROOT, "docs")):
    pytest.skip("the docs are not beside the tests", allow_module_level=True)
TIMEOUT = 60.0
FENCE = re.compile(r"^```(\w+)[ \t]+run[ \t]*$")
CHECK = re.compile(r"^(\s*)(\S.*?)\s+# -> (.+?)(?:\s+\([^()]*\))?$")
OPTIONAL = ("pyarrow", "polars", "pandas")


class Block(NamedTuple):
    path: str   # relative to the project root
    line: int   # of the opening fence
    lang: str
    text: str

    @property
    def name(self) -> str:
        return "%s:%d" % (self.path, self.line)


def doc_files() -> List[str]:
    docs = sorted(os.path.join("docs", f) for f in os.listdir(os.path.join(ROOT, "docs"))
                  if f.endswith(".md"))
    return ["README.md"] + docs


def blocks(path: str) -> List[Block]:
    """The runnable blocks of one Markdown file, in order."""
    found = []
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        lines = f.read().splitlines()
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if m is None:
            i += 1
            continue
        start = i
        i += 1
        body = []
        while i < len(lines) and lines[i].strip() != "```":
            body.append(lines[i])
            i += 1
        if i == len(lines):
            raise AssertionError("%s:%d: the block is not closed" % (path, start + 1))
        found.append(Block(path, start + 1, m.group(1), "\n".join(body) + "\n"))
        i += 1
    return found


ALL = [b for path in doc_files() for b in blocks(path)]


def checked(source: str) -> str:
    """``source`` with each ``EXPRESSION  # -> LITERAL`` line made a check."""
    out = []
    for number, line in enumerate(source.splitlines(), 1):
        m = CHECK.match(line)
        if m is not None:
            indent, expression, expected = m.groups()
            try:
                ast.literal_eval(expected)
                ast.parse(expression, mode="eval")
            except (ValueError, SyntaxError):
                pass
            else:
                line = "%s__check((%s), (%s), %d)" % (indent, expression, expected, number)
        out.append(line)
    return "\n".join(out) + "\n"


@pytest.fixture(scope="module")
def server() -> Iterator[int]:
    """``vantrel serve --auth alice:secret`` on a free port."""
    proc = subprocess.Popen([sys.executable, "-m", "vantrel", "serve", "--port", "0",
                             "--auth", "alice:secret", "--log-level", "warning"],
                            stdout=subprocess.PIPE, text=True, env=python_env())
    assert proc.stdout is not None
    line = proc.stdout.readline()
    if "serving on" not in line:
        proc.kill()
        pytest.fail("the server did not start: %r" % line)
    try:
        yield int(line.split("serving on ")[1].split()[0].rsplit(":", 1)[1])
    finally:
        proc.terminate()
        proc.wait(TIMEOUT)
        proc.stdout.close()


_namespaces: Dict[str, Dict[str, Any]] = {}
_done: Dict[str, int] = {}


def _run_python(block: Block, port: int) -> None:
    namespace = _namespaces.setdefault(block.path, {"__name__": "__doc__"})
    # the blocks of the file before this one, when a selection skipped them
    for earlier in ALL:
        if earlier.path == block.path and earlier.lang == "python" \
                and _done.get(block.path, 0) < earlier.line < block.line:
            _run_python(earlier, port)

    def check(got: Any, expected: Any, number: int) -> None:
        assert got == expected, "%s, line %d of the block: %r, not %r" % (
            block.name, number, got, expected)

    namespace["__check"] = check
    source = checked(re.sub(r"\b7878\b", str(port), block.text))
    try:
        exec(compile(source, block.name, "exec"), namespace)
    except ModuleNotFoundError as e:
        if e.name in OPTIONAL:
            pytest.skip("%s needs %s" % (block.name, e.name))
        raise
    _done[block.path] = block.line


def _run_console(block: Block, port: int) -> None:
    text = re.sub(r"\b7878\b", str(port), block.text)
    commands: List[List[str]] = []
    for line in text.splitlines():
        if line.startswith("$ "):
            commands.append([line[2:]])
        elif commands:
            commands[-1].append(line)
        elif line.strip():
            raise AssertionError("%s: output before any command: %r" % (block.name, line))
    for command, *expected in commands:
        words = shlex.split(command)
        env = python_env()
        for name in ("VANTREL_PASSWORD", "VANTREL_USER"):
            env.pop(name, None)
        while words and re.match(r"^[A-Z_][A-Z0-9_]*=", words[0]):
            name, _, value = words.pop(0).partition("=")
            env[name] = value
        assert words[0] == "vantrel", "%s: only vantrel commands run: %s" % (block.name, command)
        proc = subprocess.run([sys.executable, "-m", "vantrel", *words[1:]], capture_output=True,
                              text=True, timeout=TIMEOUT, env=env, stdin=subprocess.DEVNULL)
        got = [line.rstrip() for line in proc.stdout.splitlines()]
        assert (proc.returncode, got) == (0, [line.rstrip() for line in expected]), \
            "%s: $ %s\n%s" % (block.name, command, proc.stderr)


@pytest.mark.parametrize("block", ALL, ids=[b.name for b in ALL])
def test_doc_example(block: Block, server: int, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("VANTREL_URL", "vantrel://127.0.0.1:%d" % server)
    if block.lang == "python":
        _run_python(block, server)
    elif block.lang == "console":
        _run_console(block, server)
    else:
        raise AssertionError("%s: no way to run a %s block" % (block.name, block.lang))


def test_every_example_runs_or_is_a_sketch():
    """A Python or console block that is neither run nor marked a sketch is an
    example nobody checks."""
    unmarked = []
    for path in doc_files():
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                m = re.match(r"^```(python|console|pycon)\b(.*)$", line.rstrip())
                if m is not None and m.group(2).split() not in (["run"], ["sketch"]):
                    unmarked.append("%s:%d" % (path, number))
    assert unmarked == []


def test_checked_lines_become_checks():
    source = checked('x = 2  # -> 3\nf(x)  # -> 3 (three)\ng()  # -> a list\n'
                     '    h(), 1  # -> [1], 1\n')
    assert source.splitlines() == ['x = 2  # -> 3', "__check((f(x)), (3), 2)", "g()  # -> a list",
                                   '    __check((h(), 1), ([1], 1), 4)']
