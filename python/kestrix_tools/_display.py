"""Text made safe to show on a terminal.

Reason strings, names, hints and file names come from whoever wrote the contract, the ABI or the
revert: any of them may hold characters that change how the text around them displays
(terminal controls, bidirectional overrides such as U+202E, zero-width characters, line
separators, other format characters). Everything Python does not count as printable is
escaped, so text always shows as what it is.
"""

from __future__ import annotations

__all__ = ["printable", "printable_json"]


def _escaped(char: str) -> str:
    return char.encode("unicode_escape").decode("ascii")


def printable(text: str) -> str:
    """``text`` with every character that is not printable escaped as Python writes it
    (``\\x1b``, ``\\u202e``, ``\\U000e0041``); printable text comes back unchanged."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else _escaped(c) for c in text)


def _json_escaped(char: str) -> str:
    code = ord(char)
    if code < 0x10000:
        return f"\\u{code:04x}"
    code -= 0x10000
    return f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}"


def printable_json(text: str) -> str:
    """JSON text with every character that is not printable written as a ``\\u`` escape: the
    same JSON value, safe to show. ``text`` must be JSON as ``json.dumps`` writes it without
    indentation, where such characters only occur inside strings."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else _json_escaped(c) for c in text)
