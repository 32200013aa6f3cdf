"""The compact texts the native decoder reads the known errors and reason tables from.

``known_errors.json`` and ``reason_codes.json`` are the audited data; reading them as JSON on
every start would cost more than building a whole decoder may, so the build writes these compact
texts next to them (``python _known_compact.py DATA_DIR OUT_DIR``) and the decoder reads those.
This module uses the standard library only, so the build can run it as a script.

Errors: one line per entry, in the JSON's order (sorted by selector):
``selector TAB signature TAB names TAB hint TAB project``, where ``names`` mirrors the parameter
list (``sender,amounts(token,value)`` for a tuple's members). Reasons: one line per entry:
``E|P TAB R|F TAB text TAB meaning`` (exact or prefix; revert string or FailedOp reason).
Text fields escape backslash, tab, newline and carriage return with a backslash.
"""

from __future__ import annotations

import json
import sys
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

ERRORS_JSON = "known_errors.json"
REASONS_JSON = "reason_codes.json"
ERRORS_TEXT = "known_errors.tsv"
REASONS_TEXT = "reason_codes.tsv"


def _escape(text: str) -> str:
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def _names(params: Sequence[Mapping[str, Any]]) -> str:
    parts = []
    for param in params:
        name = str(param.get("name") or "")
        components = param.get("components")
        if isinstance(components, list):
            name += "(" + _names(components) + ")"
        parts.append(name)
    return ",".join(parts)


def compact_errors(document: Mapping[str, Any]) -> str:
    """The errors text of a parsed ``known_errors.json``."""
    projects = {}
    for source in document.get("sources", []):
        if isinstance(source, Mapping):
            projects[source.get("id")] = str(source.get("project") or source.get("id") or "")
    lines = []
    for entry in document.get("errors", []):
        found = entry.get("found") or [{}]
        project = projects.get(found[0].get("source"), "")
        lines.append(
            "\t".join(
                (
                    str(entry["selector"]).lower().removeprefix("0x"),
                    str(entry["signature"]),
                    _names(entry.get("params") or []),
                    _escape(entry.get("hint") or ""),
                    _escape(project),
                )
            )
        )
    return "".join(line + "\n" for line in lines)


def compact_reasons(document: Mapping[str, Any]) -> str:
    """The reasons text of a parsed ``reason_codes.json``."""
    lines = []
    for entry in document.get("entries", []):
        match = {"exact": "E", "prefix": "P"}.get(entry.get("match"))
        scope = {"revert_string": "R", "FailedOp": "F"}.get(entry.get("applies_to", "revert_string"))
        if match is None or scope is None:
            continue
        lines.append("\t".join((match, scope, _escape(str(entry["text"])), _escape(str(entry["meaning"])))))
    return "".join(line + "\n" for line in lines)


def compact_files(data_dir: Path) -> tuple[bytes, bytes]:
    """Both compact texts from the JSON files in ``data_dir`` (empty where a file is missing)."""
    out = []
    for name, compact in ((ERRORS_JSON, compact_errors), (REASONS_JSON, compact_reasons)):
        path = data_dir / name
        text = compact(json.loads(path.read_text(encoding="utf-8"))) if path.is_file() else ""
        out.append(text.encode("utf-8"))
    return out[0], out[1]


def main(argv: Sequence[str]) -> int:
    data_dir, out_dir = Path(argv[0]), Path(argv[1])
    errors, reasons = compact_files(data_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / ERRORS_TEXT).write_bytes(errors)
    (out_dir / REASONS_TEXT).write_bytes(reasons)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
