"""Every Python block of README.md runs as written, one test per block, named by its heading.

- A block with ``>>>`` prompts is a doctest: each printed result must match exactly.
- Any other block runs as a script; when a ```text block follows it directly, that block is the
  exact text the script prints.
- Every block starts from a fresh namespace, so it must import what it uses.
- A block that cannot run here is skipped only when the line right before its fence is
  ``<!-- readme-test: skip: <reason> -->`` with a reason.
"""

from __future__ import annotations

import contextlib
import doctest
import io
import re
from dataclasses import dataclass
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
PYTHON_LANGUAGES = {"python", "py", "pycon"}
FENCE = re.compile(r"^(`{3,})\s*([\w+-]*)\s*$")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")
SKIP = re.compile(r"^<!--\s*readme-test:\s*skip\b:?\s*(.*?)\s*-->\s*$")


@dataclass
class Block:
    name: str
    line: int  # of the first code line, 1-based
    code: str
    expected_output: str | None
    skip_reason: str | None


def slug(text: str) -> str:
    return re.sub(r"[^a-z0-9]+", "-", text.lower()).strip("-") or "top"


@dataclass
class Fence:
    language: str
    opening: int  # index of the opening fence line
    closing: int  # index of the closing fence line
    code: str
    heading: str


def fences(lines: list[str]) -> list[Fence]:
    found: list[Fence] = []
    heading = "top"
    index = 0
    while index < len(lines):
        fence = FENCE.match(lines[index])
        if fence is None:
            title = HEADING.match(lines[index])
            if title:
                heading = title.group(1)
            index += 1
            continue
        closing = index + 1
        while closing < len(lines) and lines[closing].rstrip() != fence.group(1):
            closing += 1
        assert closing < len(lines), f"README.md:{index + 1}: code fence never closed"
        found.append(Fence(fence.group(2).lower(), index, closing, "".join(lines[index + 1:closing]), heading))
        index = closing + 1
    return found


def readme_blocks() -> list[Block]:
    lines = README.read_text(encoding="utf-8").splitlines(keepends=True)
    all_fences = fences(lines)
    blocks: list[Block] = []
    names: dict[str, int] = {}
    for fence, following in zip(all_fences, all_fences[1:] + [None]):
        if fence.language not in PYTHON_LANGUAGES:
            continue
        base = slug(fence.heading)
        names[base] = names.get(base, 0) + 1
        name = base if names[base] == 1 else f"{base}-{names[base]}"
        expected = None
        if following is not None and following.language == "text" and \
                not "".join(lines[fence.closing + 1:following.opening]).strip():
            expected = following.code
        skip_reason = None
        marker = SKIP.match(lines[fence.opening - 1]) if fence.opening > 0 else None
        if marker:
            skip_reason = marker.group(1)
            assert skip_reason, f"README.md:{fence.opening}: a skipped block needs a reason"
        blocks.append(Block(name, fence.opening + 2, fence.code, expected, skip_reason))
    return blocks


BLOCKS = readme_blocks()


def run_doctest(block: Block) -> None:
    parser = doctest.DocTestParser()
    test = parser.get_doctest(block.code, {"__name__": "__readme__"}, block.name, str(README), block.line - 1)
    report = io.StringIO()
    runner = doctest.DocTestRunner(verbose=False)
    result = runner.run(test, out=report.write, clear_globs=True)
    assert result.failed == 0, report.getvalue()


def run_script(block: Block) -> None:
    # Line numbers in tracebacks point into README.md.
    code = compile("\n" * (block.line - 1) + block.code, str(README), "exec")
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(code, {"__name__": "__readme__"})
    if block.expected_output is not None:
        assert printed.getvalue() == block.expected_output


def test_readme_has_python_blocks() -> None:
    assert BLOCKS, "README.md has no Python blocks"


@pytest.mark.parametrize("block", BLOCKS, ids=[block.name for block in BLOCKS])
def test_readme_block(block: Block) -> None:
    if block.skip_reason is not None:
        pytest.skip(block.skip_reason)
    if doctest.DocTestParser().get_examples(block.code):
        run_doctest(block)
    else:
        run_script(block)
