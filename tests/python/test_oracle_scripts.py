"""The C++ oracle tests skip (exit 77, which ctest reports as skipped) when the interpreter
CMake found lacks their oracle packages, so `ctest` run by hand never fails for that reason."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
ORACLES = sorted(ROOT.glob("tests/*/*_oracle.py"))


@pytest.mark.parametrize("script", ORACLES, ids=[s.name for s in ORACLES])
def test_an_oracle_without_its_packages_skips(script: pathlib.Path) -> None:
    # -S -I: no site-packages, so pycryptodome, eth-abi and hypothesis are all missing.
    run = subprocess.run([sys.executable, "-S", "-I", str(script), "/bin/false"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 77, run.stderr
    assert "skipped" in run.stdout
