"""JSON text to Python values, refusing nesting that would overflow the C stack.

Python's json parser recurses in C once per nesting level, and how deep it may go differs by
version: 3.11 stops only at the interpreter's recursion limit, which some libraries raise
(importing web3.py sets 100000), so a file of a few hundred kilobytes of "[" would overflow the
thread's stack and crash the process; 3.12 stops at a fixed C limit; 3.13 at its stack size.
The nesting is therefore measured first against one bound, so every version accepts and refuses
the same texts.
"""

from __future__ import annotations

import json

from kestrix_tools import _native

#: Nesting refused before parsing: deeper than any compiler output (syntax trees included) and
#: within what the parser of every supported version handles.
MAX_JSON_DEPTH = 1000


def deeper_than(text: str, limit: int) -> bool:
    """Whether brackets outside strings nest deeper than ``limit``, measured natively in one pass."""
    if text.count("[") + text.count("{") <= limit:
        return False
    return bool(_native.json_nesting_exceeds(text.encode("utf-8", "surrogatepass"), limit))


def parse_json(text: str | bytes, label: str) -> object:
    """The value of a JSON text (bytes in UTF-8, -16 or -32); ValueError naming ``label``."""
    if isinstance(text, str):
        # Few brackets cannot nest deeply: most texts skip the measure and its UTF-8 copy.
        utf8 = None if text.count("[") + text.count("{") <= MAX_JSON_DEPTH else text.encode("utf-8", "surrogatepass")
    else:
        encoding = json.detect_encoding(text)
        try:
            decoded = text.decode(encoding, "surrogatepass")
        except UnicodeDecodeError:
            raise ValueError(f"{label}: not UTF-8 text") from None
        utf8 = text if encoding.startswith("utf-8") else decoded.encode("utf-8", "surrogatepass")
        text = decoded
    # Measured natively in one pass over the bytes, before the parser recurses.
    if utf8 is not None and _native.json_nesting_exceeds(utf8, MAX_JSON_DEPTH):
        raise ValueError(f"{label}: JSON nested more than {MAX_JSON_DEPTH} levels deep")
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"{label}: not valid JSON: {error.msg} (line {error.lineno}, column {error.colno})") from None
    except RecursionError:
        raise ValueError(f"{label}: JSON nested too deeply") from None
