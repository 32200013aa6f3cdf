"""The Decoder's modules type-check under mypy --strict as installed, and so does code using it."""

from __future__ import annotations

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


def test_decoder_modules_and_their_use_pass_mypy_strict(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    (tmp_path / "use_decoder.py").write_text(textwrap.dedent("""
        from pathlib import Path
        from typing import TYPE_CHECKING
        from kestrix_tools import Decoder
        if TYPE_CHECKING:
            from kestrix import DecodeResult

        decoder = Decoder(abi=[{"type": "error", "name": "E", "inputs": []}], signatures=["F()"], paths=[Path("out")])
        result: "DecodeResult" = decoder.decode(memoryview(b""))
        errors: tuple[str, ...] = Decoder(abi="[]", signatures="G()", paths="out").errors
        Decoder(abi=5)
        decoder.decode(5)
        decoder.errors = ()
        explanation = decoder.explain("0x")
        root_name: str | None = explanation.root.error_name
        depth: int = explanation.depth + len(explanation.chain)
        args: dict[str, object] = explanation.chain[0].args
        from kestrix_tools import explain
        maybe = explain({"data": "0x"}, chain=True)
        depth = maybe.depth  # None when the error carries no revert data
    """))
    mypy = [sys.executable, "-m", "mypy", "--no-incremental", "--strict"]
    modules = ["-m", "kestrix_tools.decoder", "-m", "kestrix_tools._artifacts", "-m", "kestrix_tools._explanation",
               "-m", "kestrix_tools._render", "-m", "kestrix_tools._wrappers", "-m", "kestrix_tools._explain",
               "-m", "kestrix_tools._display"]
    checked = subprocess.run(mypy + modules, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    checked = subprocess.run(mypy + ["use_decoder.py"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    errors = re.findall(r"^use_decoder\.py:(\d+): error:", checked.stdout, re.MULTILINE)
    assert errors == ["11", "12", "13", "20"], checked.stdout + checked.stderr
