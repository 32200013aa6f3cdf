"""The real traces in data/traces (go-ethereum's tracer test data; see its README.md)."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

TRACES = Path(__file__).parent / "data" / "traces"
SOURCES = json.loads((TRACES / "sources.json").read_text())
#: file name ("calltracer/revert_reason.json") -> transaction hash and block
META = {entry["file"]: entry for entry in SOURCES["traces"]}


def load(name: str) -> Any:
    return json.loads((TRACES / name).read_text())


def call_trace(name: str) -> Any:
    return load(f"calltracer/{name}.json")


def flat_trace(name: str) -> Any:
    return load(f"flat/{name}.json")


#: Traces held in both shapes, so a node can answer either way for the same transaction.
BOTH_SHAPES = ("revert_reason", "inner_throw_outer_revert", "inner_create_oog_outer_throw", "oog", "delegatecall")


def run(capsys: Any, *argv: str) -> tuple[int, str, str]:
    """The command in this process: its exit status, standard output and error."""
    from kestrix_tools import cli

    try:
        status = cli.main(list(argv))
    except SystemExit as stop:
        status = int(stop.code or 0)
    out, err = capsys.readouterr()
    return status, out, err
