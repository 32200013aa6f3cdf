"""JSON text to Python values, refusing nesting that would overflow the C stack.

Python's json parser recurses in C once per nesting level and stops only at the interpreter's
recursion limit. Some libraries raise that limit (importing web3.py sets 100000), and then a
file of a few hundred kilobytes of "[" would overflow the thread's stack and crash the process
instead of raising. When the limit is that high, the nesting is measured first.
"""

from __future__ import annotations

import json
import re
import sys

#: Nesting refused when the recursion limit is above it: deeper than any compiler output
#: (syntax trees included) and well inside a thread's stack.
MAX_JSON_DEPTH = 5000

_STRING = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"', re.DOTALL)
_NOT_BRACKET = re.compile(r"[^\[\]{}]+")


def _deeper_than(text: str, limit: int) -> bool:
    """Whether brackets outside strings nest deeper than ``limit``, in one linear pass."""
    if text.count("[") + text.count("{") <= limit:
        return False
    depth = 0
    for bracket in _NOT_BRACKET.sub("", _STRING.sub("", text)):
        if bracket in "[{":
            depth += 1
            if depth > limit:
                return True
        else:
            depth -= 1
    return False


def parse_json(text: str | bytes, label: str) -> object:
    """The value of a JSON text (bytes in UTF-8, -16 or -32); ValueError naming ``label``."""
    if not isinstance(text, str):
        try:
            text = text.decode(json.detect_encoding(text), "surrogatepass")
        except UnicodeDecodeError:
            raise ValueError(f"{label}: not UTF-8 text") from None
    if sys.getrecursionlimit() > MAX_JSON_DEPTH and _deeper_than(text, MAX_JSON_DEPTH):
        raise ValueError(f"{label}: JSON nested more than {MAX_JSON_DEPTH} levels deep")
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"{label}: not valid JSON: {error.msg} (line {error.lineno}, column {error.colno})") from None
    except RecursionError:
        raise ValueError(f"{label}: JSON nested too deeply") from None
