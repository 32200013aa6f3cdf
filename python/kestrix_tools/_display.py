"""Text from revert data made safe to print: nothing in it may drive the terminal."""

from __future__ import annotations

__all__ = ["printable"]


def printable(text: str) -> str:
    """Text with control characters escaped, so that no hint or name drives the terminal."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)
