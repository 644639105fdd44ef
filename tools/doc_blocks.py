"""A pytest plugin that runs every code block of README.md and docs/ (Sybil).

    python -m pytest -p doc_blocks README.md docs/     (tools/ on PYTHONPATH)

What each fenced block of a page is, and how it is checked:

- ```python: run, the blocks of one page in one namespace, in page order, from
  the scratch folder below. What a block prints is kept for the next block.
- ```text right after a ```python block, the line before it reading
  `<!-- output -->`: what that block printed, compared line by line (trailing
  blanks aside).
- ```sh with `<!-- run -->` on the line before it: run by bash (-e, -u,
  pipefail) from a scratch folder in which ./wheelhouse is the folder of wheels
  (MARUNDEX_WHEELHOUSE, by default the checkout's dist/) and ./examples and
  ./pyproject.toml are the checkout's; the interpreter running the tests comes
  first on PATH, so `pip` and `python` are its venv's. A non-zero exit fails.
- Any block with `<!-- not run: REASON -->` on the line before it: skipped, and the
  reason is required.
- Any other block fails: every block says which of these it is.
"""

from __future__ import annotations

import contextlib
import importlib
import io
import os
import pathlib
import re
import subprocess
import sys
from typing import Any

import pytest
from sybil import Example, Region, Sybil
from sybil.parsers.markdown.lexers import RawFencedCodeBlockLexer

ROOT = pathlib.Path(__file__).resolve().parents[1]
PRINTED = "_doc_blocks_printed"
MARK = re.compile(r"<!--\s*(output|run|not run:\s*(?P<reason>\S.*?))\s*-->\s*\n$")


def _scratch() -> pathlib.Path:
    """The folder the shell blocks run in, made once per session."""
    scratch = pathlib.Path(os.environ.get("MARUNDEX_DOC_BLOCKS_DIR", ROOT / "build" / "doc-blocks"))
    if not scratch.is_dir():
        scratch.mkdir(parents=True)
        wheelhouse = pathlib.Path(os.environ.get("MARUNDEX_WHEELHOUSE", ROOT / "dist")).resolve()
        (scratch / "wheelhouse").symlink_to(wheelhouse)
        (scratch / "examples").symlink_to(ROOT / "examples")
        (scratch / "pyproject.toml").symlink_to(ROOT / "pyproject.toml")
    return scratch


def _mark(example: Example) -> tuple[str | None, str | None]:
    """The marker on the line before the block: ('run' | 'output' | 'not run', reason)."""
    before = example.document.text[: example.start]
    line = before[before.rstrip("\n").rfind("\n") + 1 :]
    found = MARK.match(line)
    if not found:
        return None, None
    if found["reason"]:
        return "not run", found["reason"]
    return found[1], None


def _where(example: Example) -> str:
    return f"{example.path}, line {example.line}"


def _run_python(example: Example) -> None:
    namespace = example.namespace
    printed = io.StringIO()
    code = compile(example.parsed, f"{example.path}:{example.line}", "exec")
    with contextlib.chdir(_scratch()), contextlib.redirect_stdout(printed):
        exec(code, namespace)
    namespace[PRINTED] = printed.getvalue()


def _check_output(example: Example) -> str | None:
    printed = example.namespace.pop(PRINTED, None)
    if printed is None:
        return f"{_where(example)}: an output block that follows no python block"
    got = [line.rstrip() for line in printed.rstrip("\n").split("\n")]
    want = [line.rstrip() for line in example.parsed.rstrip("\n").split("\n")]
    if got != want:
        return f"{_where(example)}: the block above printed\n" + "\n".join(got) + "\nand the page shows\n" + "\n".join(want)
    return None


def _run_shell(example: Example) -> str | None:
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    env.setdefault("MYPY_CACHE_DIR", str(_scratch() / "mypy-cache"))
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", example.parsed], cwd=_scratch(), env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=1800)
    # What pip installed is imported by the python blocks that follow, in this process.
    importlib.invalidate_caches()
    if done.returncode != 0:
        return f"{_where(example)}: exit status {done.returncode}\n{example.parsed}\n{done.stdout[-6000:]}"
    return None


def evaluate(example: Example) -> str | None:
    language = example.region.lexemes["language"]
    mark, reason = _mark(example)
    if mark == "not run":
        pytest.skip(f"not run: {reason}")
    if language == "python" and mark is None:
        _run_python(example)
        return None
    if language == "text" and mark == "output":
        return _check_output(example)
    if language == "sh" and mark == "run":
        return _run_shell(example)
    return (f"{_where(example)}: a ```{language} block marked {mark or 'nothing'}: mark it <!-- run --> (sh), "
            "<!-- output --> (text after python), or <!-- not run: REASON -->; python runs unmarked")


class AnyFencedBlockParser:
    """Every fenced block of a page, whatever its language."""

    def __init__(self) -> None:
        self.lexer = RawFencedCodeBlockLexer(
            info_pattern=re.compile(r"(?P<language>[\w+-]*)[^\n]*$\n", re.MULTILINE))

    def __call__(self, document: Any) -> Any:
        for lexed in self.lexer(document):
            source = lexed.lexemes["source"]
            yield Region(lexed.start, lexed.end, str(source), evaluate, lexemes=lexed.lexemes)


pytest_collect_file = Sybil(parsers=[AnyFencedBlockParser()], patterns=["*.md"], path=str(ROOT)).pytest()
