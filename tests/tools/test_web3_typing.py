"""The web3 part of the companion type-checks under mypy --strict, and so does code using it."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


def test_web3_modules_and_their_use_pass_mypy_strict(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    (tmp_path / "use_tools.py").write_text(textwrap.dedent("""
        from typing import TYPE_CHECKING
        import kestrix
        import kestrix_tools
        if TYPE_CHECKING:
            from kestrix import DecodeResult

        def on_revert(error: Exception) -> str | None:
            result = kestrix_tools.explain(error, kestrix.EvmErrorDecoder())
            if result is None:
                return kestrix_tools.revert_data(error)
            return result["message"] or result["error_name"] or result["kind"]

        found: "DecodeResult | None" = kestrix_tools.explain({"data": "0x"})
        bare: "DecodeResult" = kestrix_tools.explain(ValueError())
        data: str = kestrix_tools.revert_data(b"")
        kestrix_tools.explain(ValueError(), decoder="0x")
    """))
    mypy = [sys.executable, "-m", "mypy", "--no-incremental", "--strict"]
    modules = ["-m", "kestrix_tools._explain", "-m", "kestrix_tools._revert_data"]
    checked = subprocess.run(mypy + modules, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert checked.returncode == 0, checked.stdout
    checked = subprocess.run(mypy + ["use_tools.py"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    errors = [line.split(":")[1] for line in checked.stdout.splitlines() if ": error:" in line]
    assert errors == ["15", "16", "17"], checked.stdout
